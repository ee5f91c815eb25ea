#include "tests/reader/reader_bench.h"

#include <algorithm>
#include <cstring>

namespace reader_test {
namespace {

constexpr uint8_t kPcbNs = 0x40;
constexpr uint8_t kRBlock = 0x80;
constexpr uint8_t kResynchRequest = 0xC0, kResynchResponse = 0xE0;
constexpr uint8_t kIfsRequest = 0xC1, kIfsResponse = 0xE1;

NTSTATUS LibraryTrackingDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
  IoMarkIrpPending(irp);
  KIRQL irql = KfAcquireSpinLock(&extension->OsData->SpinLock);
  extension->OsData->NotificationIrp = irp;
  KfReleaseSpinLock(&extension->OsData->SpinLock, irql);
  NTSTATUS status = extension->ReaderFunction[RDF_CARD_TRACKING](extension);
  if (status != STATUS_PENDING) {
    irql = KfAcquireSpinLock(&extension->OsData->SpinLock);
    extension->OsData->NotificationIrp = nullptr;
    KfReleaseSpinLock(&extension->OsData->SpinLock, irql);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

}  // namespace

ReaderFarEnd::ReaderFarEnd(test_support::TestSerialLine& line, AnswerFn answer_fn)
    : answer(std::move(answer_fn)), line_(line) {
  line_.on_write = [this](const Bytes& block) { OnBlock(block); };
}

std::vector<Ticks> ReaderFarEnd::StatusQueryTimes() const {
  std::vector<Ticks> out;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i] == kGetStatus) out.push_back(times[i]);
  }
  return out;
}

void ReaderFarEnd::Send(uint8_t nad, uint8_t pcb, const Bytes& inf) {
  last_sent_ = sim::t1::Encode({nad, pcb, inf});
  line_.Send(last_sent_, delay);
}

void ReaderFarEnd::OnBlock(const Bytes& block) {
  ASSERT_GE(block.size(), 4u);
  if (silent) return;
  uint8_t pcb = block[1];
  Bytes inf(block.begin() + 3, block.end() - 1);
  if ((pcb & kRBlock) == 0) {
    int ns = (pcb & kPcbNs) ? 1 : 0;
    if (ns != rx_seq_) {  // our answer was lost: say it again
      line_.Send(last_sent_, delay);
      return;
    }
    rx_seq_ ^= 1;
    commands.push_back(inf);
    nads.push_back(block[0]);
    times.push_back(Now());
    std::optional<FarAnswer> a = answer ? answer(inf, block[0]) : std::nullopt;
    if (!a) return;
    Send(a->nad, tx_seq_ ? kPcbNs : 0, a->inf);
    tx_seq_ ^= 1;
    return;
  }
  if (pcb == kResynchRequest) {
    rx_seq_ = tx_seq_ = 0;
    Send(0, kResynchResponse, {});
  } else if (pcb == kIfsRequest) {
    Send(0, kIfsResponse, inf);
  } else if (!last_sent_.empty()) {
    line_.Send(last_sent_, delay);
  }
}

std::unique_ptr<ReaderFarEnd> StatusReader(LinkBench& b, const Bytes* status) {
  return std::make_unique<ReaderFarEnd>(
      *b.line, [status](const Bytes& command, uint8_t) -> std::optional<FarAnswer> {
        if (command == kGetStatus) return FarAnswer{*status, kFromReader};
        return FromReader("90 00");
      });
}

host::kernel::RunResult RunReader(const std::function<void(LinkBench&)>& body, uint64_t seed) {
  return test_support::RunWithLink(test_support::LinkBenchOptions{.seed = seed, .device = true},
                                   body);
}

Ticks Now() { return host::kernel::Kernel::Current().Now(); }

void Sleep(Ticks duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void SetState(LinkBench& b, ULONG state) { b.extension->ReaderCapabilities.CurrentState = state; }

std::unique_ptr<Notification> SendNotification(LinkBench& b, bool cancel_first) {
  b.driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LibraryTrackingDispatch;
  auto n = std::make_unique<Notification>();
  KeInitializeEvent(&n->done, NotificationEvent, FALSE);
  n->irp = IoBuildDeviceIoControlRequest(IOCTL_SMARTCARD_IS_ABSENT, b.device, nullptr, 0, nullptr,
                                         0, FALSE, &n->done, &n->iosb);
  EXPECT_NE(n->irp, nullptr);
  if (cancel_first) {
    EXPECT_FALSE(IoCancelIrp(n->irp)) << "nothing to call yet";
  }
  EXPECT_EQ(IoCallDriver(b.device, n->irp), STATUS_PENDING);
  return n;
}

Call Power(LinkBench& b, ULONG minor, ULONG capacity) {
  Call c;
  // As from the library: the system buffer, which holds at least the power code, with the
  // caller's output length.
  c.reply.assign(std::max<ULONG>(capacity, sizeof(ULONG)), 0xEE);
  auto& io = b.extension->IoRequest;
  io.Information = &c.information;
  io.RequestBuffer = c.reply.data();
  io.RequestBufferLength = sizeof(ULONG);
  io.ReplyBuffer = c.reply.data();
  io.ReplyBufferLength = capacity;
  b.extension->MinorIoControlCode = minor;
  c.status = ReaderCardPower(b.extension);
  c.reply.resize(c.status == STATUS_SUCCESS && c.information <= capacity ? c.information
                                                                         : capacity);
  io = {};
  return c;
}

Call SetProtocol(LinkBench& b, ULONG mask, ULONG capacity) {
  Call c;
  c.reply.assign(capacity, 0xEE);
  auto& io = b.extension->IoRequest;
  io.Information = &c.information;
  io.ReplyBuffer = c.reply.data();
  io.ReplyBufferLength = capacity;
  b.extension->MinorIoControlCode = mask;
  c.status = ReaderSetProtocol(b.extension);
  io = {};
  return c;
}

Call Transmit(LinkBench& b, const Bytes& request, ULONG capacity) {
  Call c;
  Bytes in = request;
  c.reply.assign(capacity, 0xEE);
  auto& io = b.extension->IoRequest;
  io.Information = &c.information;
  io.RequestBuffer = in.data();
  io.RequestBufferLength = ULONG(in.size());
  io.ReplyBuffer = c.reply.data();
  io.ReplyBufferLength = capacity;
  c.status = ReaderTransmit(b.extension);
  io = {};
  return c;
}

Bytes WithHeader(ULONG protocol, const Bytes& command) {
  SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
  Bytes out(sizeof(header) + command.size());
  std::memcpy(out.data(), &header, sizeof(header));
  std::copy(command.begin(), command.end(), out.begin() + sizeof(header));
  return out;
}

}  // namespace reader_test
