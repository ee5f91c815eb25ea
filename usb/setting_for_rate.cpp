// Choosing the interface setting whose IN endpoint is polled about as often as the converter
// fills one packet at the line's rate.
#include "usb/converter_protocol.h"
#include "usb/usb_transport.h"

// Milliseconds times bit/s for 8 characters of 11 bits: 8 * 11 * 1000.
#define PACKET_TIME_FACTOR 88000
#define LARGEST_TARGET 255
#define NO_DISTANCE 256  // beyond any distance between two intervals
#define ANY_VALUE (-1)

static ULONG RateOfCode(USHORT RateCode) {
  switch (RateCode) {
    case CONVERTER_RATE_1200:
      return 1200;
    case CONVERTER_RATE_9600:
      return 9600;
    case CONVERTER_RATE_19200:
      return 19200;
    case CONVERTER_RATE_28800:
      return 28800;
    case CONVERTER_RATE_38400:
      return 38400;
    case CONVERTER_RATE_57600:
      return 57600;
    case CONVERTER_RATE_115200:
      return 115200;
  }
  return RateCode;
}

// The next endpoint descriptor of the interface that starts at Interface, after Position (NULL:
// the first), within the configuration's wTotalLength bytes; NULL at the next interface or the
// end. Descriptors of other types between them are stepped over.
static PUSB_ENDPOINT_DESCRIPTOR NextEndpoint(PUSB_CONFIGURATION_DESCRIPTOR Cd,
                                             PUSB_INTERFACE_DESCRIPTOR Interface,
                                             PUSB_ENDPOINT_DESCRIPTOR Position) {
  PUCHAR End = (PUCHAR)Cd + Cd->wTotalLength;
  PUCHAR At = Position == NULL ? (PUCHAR)Interface + Interface->bLength
                               : (PUCHAR)Position + Position->bLength;
  while (At + sizeof(USB_COMMON_DESCRIPTOR) <= End) {
    PUSB_COMMON_DESCRIPTOR Descriptor = (PUSB_COMMON_DESCRIPTOR)At;
    if (Descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || At + Descriptor->bLength > End) {
      return NULL;
    }
    if (Descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) return NULL;
    if (Descriptor->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
        Descriptor->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      return (PUSB_ENDPOINT_DESCRIPTOR)At;
    }
    At += Descriptor->bLength;
  }
  return NULL;
}

// Every IN endpoint of the counted settings of interface 0 is compared with Target; the nearest
// interval wins, the smaller of two equally near ones, the earlier of two equal ones. Without
// any IN endpoint the first setting is taken.
NTSTATUS FindSettingForInterval(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Cd,
                                UCHAR Target, PUCHAR InterfaceNumber, PUCHAR AlternateSetting) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  *InterfaceNumber = 0;
  *AlternateSetting = 0;
  if (Cd == NULL || Extension->InterfaceSettingCount <= 0) return STATUS_INVALID_READ_MODE;
  PUSB_INTERFACE_DESCRIPTOR BestSetting = NULL;
  PUSB_ENDPOINT_DESCRIPTOR BestEndpoint = NULL;
  ULONG BestDistance = NO_DISTANCE;
  for (LONG Setting = 0; Setting < Extension->InterfaceSettingCount; ++Setting) {
    PUSB_INTERFACE_DESCRIPTOR Interface =
        USBD_ParseConfigurationDescriptorEx(Cd, Cd, 0, Setting, ANY_VALUE, ANY_VALUE, ANY_VALUE);
    if (Interface == NULL) continue;
    if (BestSetting == NULL) BestSetting = Interface;
    PUSB_ENDPOINT_DESCRIPTOR Endpoint = NULL;
    for (ULONG i = 0; i < Interface->bNumEndpoints; ++i) {
      Endpoint = NextEndpoint(Cd, Interface, Endpoint);
      if (Endpoint == NULL) break;
      if (!USB_ENDPOINT_DIRECTION_IN(Endpoint->bEndpointAddress)) continue;
      ULONG Distance = Endpoint->bInterval > Target ? Endpoint->bInterval - Target
                                                    : Target - Endpoint->bInterval;
      if (Distance < BestDistance ||
          (Distance == BestDistance && BestEndpoint->bInterval > Endpoint->bInterval)) {
        BestSetting = Interface;
        BestEndpoint = Endpoint;
        BestDistance = Distance;
      }
    }
  }
  if (BestSetting == NULL) return STATUS_INVALID_READ_MODE;
  *InterfaceNumber = BestSetting->bInterfaceNumber;
  *AlternateSetting = BestSetting->bAlternateSetting;
  return STATUS_SUCCESS;
}

NTSTATUS SelectSettingForRate(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR Cd,
                              USHORT RateCode) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  // Settings are chosen within the configuration of a started device.
  if (Cd == NULL || Extension->ConfigurationDescriptor == NULL ||
      Extension->ConfigurationHandle == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  ULONG Rate = RateOfCode(RateCode);
  if (Rate == 0) return STATUS_INVALID_PARAMETER;
  ULONG Target = PACKET_TIME_FACTOR / Rate;
  if (Target > LARGEST_TARGET) Target = LARGEST_TARGET;

  USBD_INTERFACE_INFORMATION Selection;
  RtlZeroMemory(&Selection, sizeof(Selection));
  FindSettingForInterval(DeviceObject, Cd, (UCHAR)Target, &Selection.InterfaceNumber,
                         &Selection.AlternateSetting);
  // The pipe table and the reading thread's pipe change together with the interface; a pending
  // IN transfer of the reading thread gives way first.
  AcquireConverter(DeviceObject);
  NTSTATUS Status = SelectInterface(DeviceObject, Cd, &Selection);
  if (Status == STATUS_SUCCESS) BuildPipeTable(DeviceObject);
  ReleaseConverter(DeviceObject);
  return Status;
}
