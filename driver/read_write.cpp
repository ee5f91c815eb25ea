// Read and write requests reach the transport's dispatch routines counted in IoCount, so that a
// removal frees the receive queue and the pipes only after the last of them has left. They come
// from applications (on Windows 98/Me a removal does not wait for the handles to close) and from
// the serial I/O adapter, and neither is otherwise held back by the removal. A stopped device
// refuses them.
#include "driver/driver.h"
#include "usb/usb_transport.h"

static NTSTATUS Counted(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDRIVER_DISPATCH Transport) {
  IoIncrement(DeviceObject);
  // Looked at after the count is up: a removal that has begun has changed the state before it
  // gave its own counts back, so either it waits for this request or the request sees it.
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  NTSTATUS Status;
  if (!DeviceStillThere(Extension)) {
    Status = CompleteRequest(Irp, STATUS_DELETE_PENDING);
  } else if (CurrentPnpState(Extension) == PNP_STATE_STOPPED) {
    // The configuration is released: its pipe handles must not reach the bus.
    Status = CompleteRequest(Irp, STATUS_DEVICE_NOT_READY);
  } else {
    Status = Transport(DeviceObject, Irp);
  }
  IoDecrement(DeviceObject);
  return Status;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Counted(DeviceObject, Irp, ZarUSBSerConv_Read);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Counted(DeviceObject, Irp, ZarUSBSerConv_Write);
}
