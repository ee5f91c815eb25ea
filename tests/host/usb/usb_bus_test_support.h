// A machine with the I/O and Plug and Play managers and the USB bus, and a client that acts as a
// driver would below its device: raw URBs built with the USBD helpers, sent to the PDO as
// internal device-control IRPs built with IoBuildDeviceIoControlRequest, from an emulated thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/io/io_manager.h"
#include "host/io/pnp_manager.h"
#include "host/io/power_manager.h"
#include "host/kernel/kernel.h"
#include "host/usb/usb_bus.h"
#include "platform/usbdlib.h"
#include "platform/wdm.h"

namespace usb_bus_test {

using namespace host::kernel;
using host::usb::UsbBus;

struct Machine {
  explicit Machine(uint64_t seed = 1)
      : k(KernelOptions{.seed = seed}), io(k), pnp(io), power(io, pnp), bus(io, pnp) {}
  Kernel k;
  host::io::IoManager io;
  host::io::PnpManager pnp;
  host::io::PowerManager power;
  UsbBus bus;
};

// One URB in flight: its IRP (valid until `done`), event and status block.
struct InFlight {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  bool done() { return KeReadStateEvent(&event) != 0; }
  NTSTATUS Wait() {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
};

// Sends the URB to the PDO; the IRP is the I/O manager's until it completes.
inline std::unique_ptr<InFlight> Send(PDEVICE_OBJECT pdo, URB* urb) {
  auto f = std::make_unique<InFlight>();
  KeInitializeEvent(&f->event, NotificationEvent, FALSE);
  f->irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0,
                                         TRUE, &f->event, &f->iosb);
  EXPECT_NE(f->irp, nullptr);
  IoGetNextIrpStackLocation(f->irp)->Parameters.Others.Argument1 = urb;
  f->returned = IoCallDriver(pdo, f->irp);
  return f;
}

// Sends the URB and waits for it: the IRP's final status.
inline NTSTATUS Submit(PDEVICE_OBJECT pdo, URB* urb) {
  auto f = Send(pdo, urb);
  if (f->returned != STATUS_PENDING) return f->returned;
  return f->Wait();
}

inline void Sleep(Ticks t) {
  LARGE_INTEGER d;
  d.QuadPart = -t;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

// The URBs a driver builds.
inline URB DescriptorUrb(UCHAR type, UCHAR index, void* buffer, ULONG length, USHORT language = 0) {
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                               buffer, nullptr, length, nullptr);
  return urb;
}

inline URB VendorUrb(UCHAR request, USHORT value, bool in, void* buffer, ULONG length,
                     USHORT index = 0) {
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_ENDPOINT,
                        sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request,
                        value, index, buffer, nullptr, length, nullptr);
  return urb;
}

inline URB PipeUrb(USBD_PIPE_HANDLE pipe, bool in, void* buffer, ULONG length) {
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(
      &urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr, length,
      in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_SHORT_TRANSFER_OK, nullptr);
  return urb;
}

// The whole configuration descriptor, read as the driver does: a first read, then wTotalLength.
inline std::vector<uint8_t> ReadConfiguration(PDEVICE_OBJECT pdo, ULONG first_read,
                                              std::vector<ULONG>* returned = nullptr) {
  std::vector<uint8_t> cd(first_read);
  URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, cd.data(), first_read);
  EXPECT_EQ(Submit(pdo, &urb), STATUS_SUCCESS);
  if (returned) returned->push_back(urb.UrbControlDescriptorRequest.TransferBufferLength);
  USHORT total = USHORT(cd[2] | cd[3] << 8);
  if (total <= urb.UrbControlDescriptorRequest.TransferBufferLength) {
    cd.resize(total);
    return cd;
  }
  cd.assign(total, 0);
  urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, cd.data(), total);
  EXPECT_EQ(Submit(pdo, &urb), STATUS_SUCCESS);
  if (returned) returned->push_back(urb.UrbControlDescriptorRequest.TransferBufferLength);
  return cd;
}

// A select-configuration URB for interface 0 (setting 0) built with the USBD library; free it
// with ExFreePool.
inline PURB SelectConfigurationUrb(std::vector<uint8_t>& cd, ULONG maximum_transfer = 8) {
  auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
  PURB urb = USBD_CreateConfigurationRequestEx(c, list);
  if (!urb) return nullptr;
  auto& i = urb->UrbSelectConfiguration.Interface;
  for (ULONG p = 0; p < i.NumberOfPipes; ++p) i.Pipes[p].MaximumTransferSize = maximum_transfer;
  return urb;
}

}  // namespace usb_bus_test
