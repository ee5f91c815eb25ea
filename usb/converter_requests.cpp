// The converter's vendor requests on its default pipe, addressed to an endpoint, one URB each.
#include "driver/pool_tag.h"
#include "usb/converter_protocol.h"
#include "usb/usb_transport.h"

#define VENDOR_REQUEST_URB_LENGTH sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
#define READ_PORT_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

static PURB AllocateVendorUrb(void) {
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, VENDOR_REQUEST_URB_LENGTH, DRIVER_POOL_TAG);
  if (Urb != NULL) RtlZeroMemory(Urb, VENDOR_REQUEST_URB_LENGTH);
  return Urb;
}

static void BuildVendorRequest(PURB Urb, ULONG TransferFlags, UCHAR Request, USHORT Value,
                               USHORT Index, PVOID Buffer, ULONG Length) {
  UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_ENDPOINT, (USHORT)VENDOR_REQUEST_URB_LENGTH,
                        TransferFlags, 0, Request, Value, Index, Buffer, NULL, Length, NULL);
}

// A pending IN transfer of the reading thread gives way at once, and the thread starts no other
// before the request has had the converter.
static NTSTATUS SubmitUnderUsbMutex(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  AcquireConverter(DeviceObject);
  NTSTATUS Status = SubmitUrb(DeviceObject, Urb);
  ReleaseConverter(DeviceObject);
  return Status;
}

static USHORT ReplyWord(const UCHAR* Reply, ULONG Offset) {
  return (USHORT)(Reply[Offset] | (Reply[Offset + 1] << 8));
}

// A vendor request IN whose 8-byte reply lands in Reply; bytes the converter does not send read as
// zero.
static NTSTATUS ReadReply(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value, USHORT Index,
                          UCHAR Reply[CONVERTER_REPLY_LENGTH]) {
  PURB Urb = AllocateVendorUrb();
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  if (Urb != NULL) {
    RtlZeroMemory(Reply, CONVERTER_REPLY_LENGTH);
    BuildVendorRequest(Urb, READ_PORT_TRANSFER_FLAGS, Request, Value, Index, Reply,
                       CONVERTER_REPLY_LENGTH);
    Status = SubmitUnderUsbMutex(DeviceObject, Urb);
    ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  }
  return Status;
}

NTSTATUS ZarUSBSerConv_ReadPort(PDEVICE_OBJECT DeviceObject, UCHAR Request, PUSHORT Value,
                                PUSHORT Index) {
  UCHAR Reply[CONVERTER_REPLY_LENGTH];
  NTSTATUS Status = ReadReply(DeviceObject, Request, Value != NULL ? *Value : 0,
                              Index != NULL ? *Index : 0, Reply);
  if (NT_SUCCESS(Status)) {
    if (Value != NULL) *Value = ReplyWord(Reply, 0);
    if (Index != NULL) *Index = ReplyWord(Reply, 2);
  }
  return Status;
}

NTSTATUS ReadConverterCounters(PDEVICE_OBJECT DeviceObject, PCONVERTER_COUNTERS Counters) {
  UCHAR Reply[CONVERTER_REPLY_LENGTH];
  NTSTATUS Status = ReadReply(DeviceObject, CONVERTER_REQUEST_COUNTERS, 0, 0, Reply);
  if (!NT_SUCCESS(Status)) return Status;
  Counters->ReceiveLevel = ReplyWord(Reply, CONVERTER_COUNTER_RECEIVE_LEVEL);
  Counters->ReceiveDropped = ReplyWord(Reply, CONVERTER_COUNTER_RECEIVE_DROPPED);
  Counters->ReceiveErrors = ReplyWord(Reply, CONVERTER_COUNTER_RECEIVE_ERRORS);
  return Status;
}

NTSTATUS ZarUSBSerConv_WritePort(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value,
                                 USHORT Index) {
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  AcquireConverter(DeviceObject);
  PURB Urb = AllocateVendorUrb();
  if (Urb != NULL) {
    BuildVendorRequest(Urb, USBD_TRANSFER_DIRECTION_OUT, Request, Value, Index, NULL, 0);
    Status = SubmitUrb(DeviceObject, Urb);
    ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  }
  ReleaseConverter(DeviceObject);
  return Status;
}

NTSTATUS SetPortValue(PDEVICE_OBJECT DeviceObject, USHORT Value) {
  PURB Urb = AllocateVendorUrb();
  if (Urb == NULL) return STATUS_UNSUCCESSFUL;
  BuildVendorRequest(Urb, USBD_TRANSFER_DIRECTION_OUT, CONVERTER_REQUEST_PORT, Value, 0, NULL, 0);
  NTSTATUS Status = SubmitUnderUsbMutex(DeviceObject, Urb);
  ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  return Status;
}

NTSTATUS WritePortData(PDEVICE_OBJECT DeviceObject, PVOID Data, ULONG Length) {
  PURB Urb = AllocateVendorUrb();
  if (Urb == NULL) return STATUS_UNSUCCESSFUL;
  BuildVendorRequest(Urb, USBD_TRANSFER_DIRECTION_OUT, CONVERTER_REQUEST_PORT, 0, 0, Data, Length);
  NTSTATUS Status = SubmitUnderUsbMutex(DeviceObject, Urb);
  ExFreePoolWithTag(Urb, DRIVER_POOL_TAG);
  return Status;
}
