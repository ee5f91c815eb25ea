// How close the USB transport comes to what the converter allows: bytes written through the
// write dispatch and read back through the receive queue, per second of virtual time.
//
// The far end of the serial line answers like the reader does: once a whole block has arrived it
// sends the block back. For each block size from 1 to 261 bytes, at 9600 and at 115200 bit/s
// (8E1, 11 bits a character), one WRITE of the block and one READ of as many bytes are timed from
// the write's start to the read's end; B/s is the block's bytes read back per second of that.
//
// The bound is the shortest such exchange that the line and the interrupt pipes allow:
// - the line: the block's characters out, then back, 2n character times;
// - the pipes, 8 bytes a polling period each way (setting 0's bInterval of 10 ms is polled every
//   8 ms): p = ceil(n / 8) OUT packets one period apart, the first one at once at best, and as
//   many IN packets, the first one a period after the last OUT packet: (2p - 1) periods.
// The ratio is the measured rate over the bound's. "read" is what came back when the converter's
// receive FIFO could not hold what the line brought faster than the IN pipe drains it.
//
// The benchmark runs the transport's start-time routines on the device itself, as the transport's
// tests do: the device is not started by Plug and Play, so no reader link comes up on the line.
#include <cstdio>
#include <vector>

#include "driver/driver.h"
#include "host/io/io_manager.h"
#include "host/io/pnp_manager.h"
#include "host/io/system_irp.h"
#include "host/smclib/library.h"
#include "host/usb/usb_bus.h"
#include "sim/converter/usb_serial_converter.h"
#include "sim/serial_line.h"
#include "sim/serial_line_port.h"
#include "usb/usb_transport.h"

namespace {

using host::kernel::Ticks;
using namespace sim::converter;

constexpr unsigned kBitsPerCharacter = 11;
constexpr unsigned kPacket = 8;
constexpr Ticks kPollingPeriod = host::kernel::Milliseconds(8);
constexpr unsigned kLargestBlock = 261;
constexpr unsigned kShownSizes[] = {1,   2,   4,   7,   8,   9,   16,  17,  32, 64,
                                    100, 128, 129, 140, 160, 200, 254, 255, 261};
// The read waits for the whole block, or 50 ms of silence once bytes came.
constexpr SERIAL_TIMEOUTS kReadTimeouts = {50, 0, 10000, 0, 0};

struct Result {
  Ticks took = 0;
  ULONG_PTR read = 0;
};

struct Rate {
  unsigned bits_per_second;
  USHORT code;
};
constexpr Rate kRates[] = {{9600, kRate9600}, {115200, kRate115200}};

host::io::SystemResult Send(PDEVICE_OBJECT fdo, UCHAR major, std::vector<UCHAR>& buffer) {
  ULONG length = ULONG(buffer.size());
  return host::io::SendSystemIrp(host::io::IoManager::Current(), fdo, "benchmark", major, 0,
                                 [&](PIRP irp, PIO_STACK_LOCATION next) {
                                   irp->AssociatedIrp.SystemBuffer = buffer.data();
                                   irp->Flags |= major == IRP_MJ_READ ? IRP_READ_OPERATION
                                                                      : IRP_WRITE_OPERATION;
                                   next->Parameters.Read.Length = length;
                                 });
}

// Every block size at one rate, on a converter whose far end sends each block back whole.
std::vector<Result> MeasureAtRate(host::kernel::Kernel& k, host::io::IoManager& io,
                                  host::usb::UsbBus& bus, PDRIVER_OBJECT driver, const Rate& rate) {
  std::vector<Result> results(kLargestBlock + 1);
  sim::SerialLine line(k);
  sim::SerialLinePort port(line.converter_end());
  sim::UsbSerialConverter converter(k, port);
  sim::UartSettings settings{rate.bits_per_second, 8, sim::Parity::kEven, 1};
  line.reader_end().Configure(settings);
  std::vector<uint8_t> collected;
  size_t expected = 0;
  line.reader_end().SetReceiveCallback([&](const sim::ReceivedCharacter& c) {
    collected.push_back(c.value);
    if (collected.size() == expected) {
      line.reader_end().Transmit(collected);
      collected.clear();
    }
  });
  // Under a hardware id no driver is registered for, with the driver's AddDevice called here:
  // nothing starts the device but the benchmark.
  PDEVICE_OBJECT pdo = bus.Plug(converter, u"USB\\VID_F7A5&PID_0C01&TRANSPORT_BENCHMARK");
  AddDevice(driver, pdo);
  PDEVICE_OBJECT fdo = io.AttachedDevice(pdo);
  PDEVICE_EXTENSION ext = DeviceExtensionOf(fdo);
  if (GetDeviceDescriptor(fdo, &ext->DeviceDescriptor) != STATUS_SUCCESS ||
      SelectConfiguration(fdo) != STATUS_SUCCESS || BuildPipeTable(fdo) != STATUS_SUCCESS ||
      StartReadingThread(fdo) != STATUS_SUCCESS) {
    std::fprintf(stderr, "the transport did not start\n");
  }
  ZarUSBSerConv_WritePort(fdo, kRequestLineSettings, rate.code, 0);
  ZarUSBSerConv_WritePort(fdo, kRequestLineSettings, kParityEven | kStopBitsOne, 0);
  ext->Timeouts = kReadTimeouts;
  for (unsigned n = 1; n <= kLargestBlock; ++n) {
    std::vector<UCHAR> block(n), answer(n);
    for (unsigned i = 0; i < n; ++i) block[i] = UCHAR(i * 13 + n);
    expected = n;
    collected.clear();
    Ticks start = k.Now();
    Send(fdo, IRP_MJ_WRITE, block);
    results[n].read = Send(fdo, IRP_MJ_READ, answer).information;
    results[n].took = k.Now() - start;
    // Whatever is left on its way is purged before the next block.
    host::kernel::Ticks settle = host::kernel::Milliseconds(20);
    LARGE_INTEGER wait;
    wait.QuadPart = -settle;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    ZarUSBSerConv_WritePort(fdo, kRequestPurge, kPurgeReceive | kPurgeTransmit, 0);
    QueueReset(&ext->ReceiveQueue);
  }
  TearDownDevice(fdo);
  bus.Unplug(pdo);
  line.reader_end().SetReceiveCallback(nullptr);
  return results;
}

// The shortest exchange of an n-byte block the line and the pipes allow.
Ticks BoundTime(unsigned n, unsigned bits_per_second) {
  Ticks line = Ticks(2) * n * kBitsPerCharacter * host::kernel::kTicksPerSecond / bits_per_second;
  Ticks packets = (n + kPacket - 1) / kPacket;
  Ticks pipes = (2 * packets - 1) * kPollingPeriod;
  return line > pipes ? line : pipes;
}

}  // namespace

int main() {
  host::kernel::Kernel k;
  host::io::IoManager io(k);
  host::io::PnpManager pnp(io);
  host::smclib::SmartcardLibrary library(k);
  host::usb::UsbBus bus(io, pnp);
  std::vector<std::vector<Result>> table;
  auto run = k.Run([&] {
    PDRIVER_OBJECT driver = io.LoadDriver(u"\\Driver\\Zarq7usb", DriverEntry,
                                          u"\\Registry\\Machine\\System\\Services\\Zarq7usb");
    for (const Rate& rate : kRates) table.push_back(MeasureAtRate(k, io, bus, driver, rate));
  });
  if (!run.ok()) {
    std::fprintf(stderr, "the machine stopped: %s\n", run.report.c_str());
    return 1;
  }
  std::printf("Transport: WRITE of a block, READ of its answer (the block sent back whole)\n");
  std::printf("%6s", "bytes");
  for (const Rate& rate : kRates) {
    // rate/bound: the measured rate over the bound's, 1.00 at best (lower is slower).
    std::printf(" | %6u bit/s: %7s %7s %7s %10s %4s", rate.bits_per_second, "ms", "B/s", "bound",
                "rate/bound", "read");
  }
  std::printf("\n");
  for (unsigned n : kShownSizes) {
    std::printf("%6u", n);
    for (size_t r = 0; r < table.size(); ++r) {
      const Result& result = table[r][n];
      double seconds = double(result.took) / host::kernel::kTicksPerSecond;
      double bound =
          n / (double(BoundTime(n, kRates[r].bits_per_second)) / host::kernel::kTicksPerSecond);
      std::printf(" | %13s %7.1f %7.1f %7.1f %10.2f %4lu", "", seconds * 1000,
                  result.read / seconds, bound, result.read / seconds / bound,
                  (unsigned long)result.read);
    }
    std::printf("\n");
  }
  for (size_t r = 0; r < table.size(); ++r) {
    double lowest = 2, highest = 0;
    unsigned short_reads = 0;
    for (unsigned n = 1; n <= kLargestBlock; ++n) {
      const Result& result = table[r][n];
      double ratio =
          double(BoundTime(n, kRates[r].bits_per_second)) * result.read / (double(result.took) * n);
      lowest = ratio < lowest ? ratio : lowest;
      highest = ratio > highest ? ratio : highest;
      short_reads += result.read < n;
    }
    std::printf("%u bit/s, sizes 1 to %u: rate/bound %.2f to %.2f; %u blocks came back short\n",
                kRates[r].bits_per_second, kLargestBlock, lowest, highest, short_reads);
  }
  return 0;
}
