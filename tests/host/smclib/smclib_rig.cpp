#include "tests/host/smclib/smclib_rig.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/rtl.h"

namespace smclib_test {
namespace {

template <ULONG Slot>
NTSTATUS Recording(PSMARTCARD_EXTENSION e) {
  Rig* rig = Rig::Of(e);
  rig->Record(Slot, e);
  return rig->handler[Slot] ? rig->handler[Slot](e) : STATUS_SUCCESS;
}

template <ULONG... Slots>
constexpr std::array<PREADER_FUNCTION, RDF_MAXIMUM> RecordingTable(
    std::integer_sequence<ULONG, Slots...>) {
  return {&Recording<Slots>...};
}

constexpr auto kRecording = RecordingTable(std::make_integer_sequence<ULONG, RDF_MAXIMUM>{});

TestDeviceExtension* ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<TestDeviceExtension*>(device->DeviceExtension);
}

NTSTATUS CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// A handle's last close must not leave the notification behind.
NTSTATUS Cleanup(PDEVICE_OBJECT device, PIRP irp) {
  Rig::CompleteTracking(&ExtensionOf(device)->smartcard);
  return CompleteAtOnce(device, irp);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  TestDeviceExtension* x = ExtensionOf(device);
  NTSTATUS status = SmartcardDeviceControl(&x->smartcard, irp);
  x->rig->last_returned = status;
  return status;
}

int next_device_number = 0;

}  // namespace

Rig::Rig(Machine& m, std::vector<ULONG> slots) : m_(m) {
  std::u16string number = host::io::Widen(std::to_string(next_device_number++));
  driver_ = m.io.CreateHostDriver(u"\\Driver\\SmcTest" + number);
  driver_->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
  driver_->MajorFunction[IRP_MJ_CLOSE] = CompleteAtOnce;
  driver_->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
  driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
  std::u16string name = u"\\Device\\SmcTest" + number;
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name.c_str());
  NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDeviceExtension), &text,
                                   FILE_DEVICE_SMARTCARD, 0, FALSE, &device_);
  EXPECT_EQ(status, STATUS_SUCCESS);
  device_->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
  extension()->rig = this;
  PSMARTCARD_EXTENSION x = e();
  x->Version = SMCLIB_VERSION;
  EXPECT_EQ(SmartcardInitialize(x), STATUS_SUCCESS);
  x->OsData->DeviceObject = device_;
  x->ReaderCapabilities.CurrentState = SCARD_ABSENT;
  for (ULONG slot : slots) x->ReaderFunction[slot] = kRecording[slot];
  handler[RDF_CARD_TRACKING] = TrackingFunction;
}

void Rig::Close() {
  SmartcardExit(e());
  IoDeleteDevice(device_);
}

void Rig::SetState(ULONG state) {
  KIRQL irql;
  KeAcquireSpinLock(&e()->OsData->SpinLock, &irql);
  e()->ReaderCapabilities.CurrentState = state;
  KeReleaseSpinLock(&e()->OsData->SpinLock, irql);
}

void Rig::Record(ULONG slot, PSMARTCARD_EXTENSION x) {
  ReaderCall call;
  call.slot = slot;
  call.major = x->MajorIoControlCode;
  call.minor = x->MinorIoControlCode;
  call.request_buffer = x->IoRequest.RequestBuffer;
  call.request_length = x->IoRequest.RequestBufferLength;
  if (call.request_buffer) {
    call.request.assign(call.request_buffer, call.request_buffer + call.request_length);
  }
  call.reply_buffer = x->IoRequest.ReplyBuffer;
  call.reply_length = x->IoRequest.ReplyBufferLength;
  call.has_information = x->IoRequest.Information != nullptr;
  if (call.has_information) call.information_on_entry = *x->IoRequest.Information;
  call.current_irp = x->OsData->CurrentIrp;
  calls.push_back(std::move(call));
}

std::shared_ptr<Sent> Rig::Send(ULONG code, std::vector<UCHAR>* buffer, ULONG input_length,
                                ULONG output_length) {
  auto sent = std::make_shared<Sent>();
  PIRP irp = m_.io.AllocateSystemIrp(device_->StackSize, "smclib test request", [sent](PIRP irp) {
    sent->completed = true;
    sent->status = irp->IoStatus.Status;
    sent->information = irp->IoStatus.Information;
  });
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = input_length;
  next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  irp->AssociatedIrp.SystemBuffer = buffer && !buffer->empty() ? buffer->data() : nullptr;
  sent->irp = irp;
  sent->returned = IoCallDriver(device_, irp);
  return sent;
}

std::shared_ptr<Sent> Rig::SendUlong(ULONG code, ULONG value, ULONG output_length,
                                     std::vector<UCHAR>* buffer) {
  std::vector<UCHAR> own;
  std::vector<UCHAR>* b = buffer ? buffer : &own;
  b->assign(std::max<size_t>(sizeof(ULONG), output_length), 0xEE);
  __builtin_memcpy(b->data(), &value, sizeof value);
  auto sent = Send(code, b, sizeof value, output_length);
  if (!buffer) sent->own_buffer = std::move(own);
  return sent;
}

NTSTATUS Rig::TrackingFunction(PSMARTCARD_EXTENSION x) {
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  KIRQL irql;
  KeAcquireSpinLock(&x->OsData->SpinLock, &irql);
  if (x->OsData->NotificationIrp) IoSetCancelRoutine(x->OsData->NotificationIrp, CancelTracking);
  KeReleaseSpinLock(&x->OsData->SpinLock, irql);
  IoReleaseCancelSpinLock(cancel_irql);
  return STATUS_PENDING;
}

void Rig::CompleteTracking(PSMARTCARD_EXTENSION x) {
  KIRQL cancel_irql;
  IoAcquireCancelSpinLock(&cancel_irql);
  KIRQL irql;
  KeAcquireSpinLock(&x->OsData->SpinLock, &irql);
  PIRP irp = x->OsData->NotificationIrp;
  x->OsData->NotificationIrp = nullptr;
  KeReleaseSpinLock(&x->OsData->SpinLock, irql);
  if (irp) IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(cancel_irql);
  if (!irp) return;
  irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void Rig::CancelTracking(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteTracking(&ExtensionOf(device)->smartcard);
}

}  // namespace smclib_test
