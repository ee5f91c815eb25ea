// USBD library calls and the URB building helpers.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: the DDK's own declarations (platform/windows/).
#include "platform/windows/usbdlib.h"
#else
#include "platform/usb.h"

// Size of an interface information record with room for numEndpoints pipes.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                     \
  ((USHORT)(sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
            sizeof(USBD_PIPE_INFORMATION)))

// Size of a select-configuration URB for totalInterfaces interfaces with totalPipes pipes in all.
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes) \
  ((USHORT)(sizeof(struct _URB_SELECT_CONFIGURATION) +                     \
            ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) +   \
            ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

// Size of a select-interface URB whose interface has totalPipes pipes.
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  ((USHORT)(sizeof(struct _URB_SELECT_INTERFACE) +    \
            ((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION)))

extern "C" {

// The first interface descriptor at or after StartPosition inside ConfigurationDescriptor (its
// wTotalLength bytes) that matches every criterion not -1; NULL when none does.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// USBD_ParseConfigurationDescriptorEx from the start, by number and alternate setting only.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting);

// The first descriptor of DescriptorType at or after StartPosition inside the TotalLength
// bytes at DescriptorBuffer; NULL when none does.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// Bytes from the interface descriptor up to the next interface descriptor or BufferEnd.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

// A select-configuration URB from non-paged pool (freed with ExFreePool) with one interface
// information record per list entry, in list order, each with room for its descriptor's
// endpoints; every entry's Interface is pointed at its record. NULL when the pool is exhausted.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// As the Ex form, for alternate setting 0 of each of the configuration's bNumInterfaces
// interfaces; *Siz receives the URB's size. NULL (and *Siz 0) when nothing could be built.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                     PUSHORT Siz);

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

}  // extern "C"

// --- URB building helpers ---

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
  do {                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
    (urb)->UrbHeader.Length = (length);                                                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
  } while (0)

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
  do {                                                                                    \
    (urb)->UrbHeader.Function = (op);                                                     \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);             \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);              \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);            \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                  \
    (urb)->UrbControlGetStatusRequest.Index = (index);                                    \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                   \
  } while (0)

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)      \
  do {                                                                     \
    (urb)->UrbHeader.Function = (op);                                      \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
    (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);   \
    (urb)->UrbControlFeatureRequest.Index = (index);                       \
    (urb)->UrbControlFeatureRequest.UrbLink = (link);                      \
  } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)       \
  do {                                                                                 \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                     \
    (urb)->UrbHeader.Length = (length);                                                \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
  } while (0)

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber,    \
                                       alternateSetting)                                     \
  do {                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                               \
    (urb)->UrbHeader.Length = (length);                                                      \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);               \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                 \
    (urb)->UrbSelectInterface.Interface.Length =                                             \
        (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE)); \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                   \
  } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value,  \
                              index, transferBuffer, transferBufferMDL, transferBufferLength, \
                              link)                                                           \
  do {                                                                                        \
    (urb)->UrbHeader.Function = (cmd);                                                        \
    (urb)->UrbHeader.Length = (length);                                                       \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);        \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);              \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                    \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);             \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                  \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                      \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                      \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                      \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                     \
  } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, \
                                               transferBufferMDL, transferBufferLength, \
                                               transferFlags, link)                     \
  do {                                                                                  \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                \
    (urb)->UrbHeader.Length = (length);                                                 \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                        \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);    \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);          \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                  \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                 \
  } while (0)
#endif  // WINDOWS_KERNEL_BUILD
