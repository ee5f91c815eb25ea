// How close an APDU exchange over the whole stack comes to what the line, the reader, the card and
// the USB allow.
//
// A machine with the driver loaded through its entry point and one converter plugged in; an
// application opens \Device\USBTESK0, resets the card, selects T=1 and (at 115200 bit/s) asks for
// the reader's rate switch with the driver's raw reader command. For command and answer sizes
// from 5 to 261 bytes, the virtual time of one IOCTL_SMARTCARD_TRANSMIT, from the application's
// call to its completion, is set beside two lower bounds:
// - the exchange's own record (tools/timing_report.h): what a driver that cost nothing would take
//   against the same line, reader and card: each block's characters as the line recorded them
//   (the reader's pauses between them included), the reader's and card's time between the host's
//   last character and the reader's first, and the bus's polling schedule (the host's blocks go
//   out in 8-byte packets one a poll from the moment the request came; the answers come back the
//   same way). Its ratio is what the driver costs: 1.00 for a driver that adds nothing, whatever
//   the reader's habits.
// - back to back: every character of every block at 11 bits (8E1) each, plus the card's
//   processing and the profile's time between reader and card; or the USB polling: every block
//   crosses the interrupt pipes in 8-byte packets, one packet a polling period each way, no two
//   packets of the exchange in one poll (N packets take N - 1 periods), the card's time counting
//   only where it is longer than the period; the larger of the two. Its ratio also holds what the
//   reader takes beyond that (turnarounds, pauses between characters, polls that find too little).
// Both reader profiles (sim/reader_profile.h) are measured, each described above its table.
//
// The machine runs on Windows' clock tick (timers, delays and wait time-outs end on the 15.625 ms
// tick), as the driver would; --exact-timing lets them end at their due time instead. The first
// line of the output says which.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "host/io/io_manager.h"
#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"
#include "sim/cards/builtin_card.h"
#include "sim/reader_profile.h"
#include "sim/reader_protocol.h"
#include "sim/t1_block.h"
#include "sim/uart_settings.h"
#include "tools/timing_report.h"

namespace {

using host::kernel::Ticks;

constexpr unsigned kRates[] = {9600, 115200};
constexpr unsigned kSizes[] = {5, 8, 16, 32, 64, 128, 192, 254, 255, 261};
constexpr uint8_t kWritePatternHeader[] = {sim::kClaProprietary, sim::kInsWritePattern, 0, 0};
constexpr size_t kMaxLc = 255;
constexpr ULONG kAnswerRoom = 300;
constexpr size_t kPacket = 8;
constexpr uint8_t kSw1Success = 0x90;

// A command of n bytes (5..261) the built-in card answers 90 00: WRITE PATTERN with n - 5 data
// bytes, and an Le byte to reach 261.
std::vector<uint8_t> CommandOfSize(unsigned n) {
  std::vector<uint8_t> c(std::begin(kWritePatternHeader), std::end(kWritePatternHeader));
  size_t lc = n - 5 > kMaxLc ? kMaxLc : n - 5;
  c.push_back(uint8_t(lc));
  for (size_t i = 0; i < lc; ++i) c.push_back(uint8_t(i));
  while (c.size() < n) c.push_back(0);  // Le
  return c;
}

// A 4-byte command whose answer is n bytes: READ PATTERN of n - 2 bytes and the status word.
std::vector<uint8_t> CommandForAnswerOfSize(unsigned n) {
  unsigned data = n - 2;
  return {sim::kClaProprietary, sim::kInsReadPattern, uint8_t(data >> 8), uint8_t(data)};
}

struct Row {
  unsigned rate;
  const char* kind;
  unsigned size;
  size_t blocks;
  Ticks took;
  Ticks recorded;  // what a driver that cost nothing would take, from the exchange's record
  Ticks line;
  Ticks usb;
  std::string outcome;  // empty when the answer was right
};

// The characters back to back in the link's framing (8E1), rounded down: a lower bound.
Ticks LineTime(size_t characters, unsigned rate) {
  return Ticks(sim::BitsToTicks(characters * sim::kLinkSettings.BitsPerCharacter(), rate));
}

// Measures every size at one rate on a machine of its own; false with a reason in *why when the
// session did not come up, *unsupported when that is because the driver has no raw reader command.
bool MeasureAtRate(unsigned rate, host::kernel::Timing timing, const sim::ReaderProfile& profile,
                   std::vector<Row>* rows, std::string* why, bool* unsupported) {
  host::machine::MachineOptions options;
  options.kernel.timing = timing;
  host::machine::Machine machine(options);
  host::kernel::RunResult result = machine.Run([&](host::machine::Machine& m) {
    host::machine::ConverterOptions converter_options;
    converter_options.rig.reader.reader = profile.options;
    host::machine::Converter& converter = m.Plug(converter_options);
    host::machine::ReaderHandle reader(m);
    auto failed = [&](const char* step, NTSTATUS status) {
      *why = std::string(step) + " failed: " + host::io::StatusName(status);
    };
    NTSTATUS status = reader.Open(host::machine::DeviceName(0));
    if (!NT_SUCCESS(status)) return failed("opening \\Device\\USBTESK0", status);
    if (status = reader.Power(SCARD_COLD_RESET).status; !NT_SUCCESS(status)) {
      return failed("the card reset", status);
    }
    if (status = reader.SetProtocol(SCARD_PROTOCOL_T1).status; !NT_SUCCESS(status)) {
      return failed("the protocol selection", status);
    }
    if (rate != sim::kRateByCode[0]) {
      host::io::IoResult reply = reader.SwitchRate(rate);
      if (!NT_SUCCESS(reply.status)) {
        *unsupported = reply.status == STATUS_INVALID_DEVICE_REQUEST;
        return failed("the rate switch (the driver's raw reader command)", reply.status);
      }
      if (!host::machine::ReaderAccepted(reply.output)) {
        *why = "the reader refused the rate: " + sim::t1::Hex(reply.output);
        return;
      }
    }
    auto measure = [&](const char* kind, unsigned size, const std::vector<uint8_t>& command,
                       size_t expected) {
      tools::ExchangeRecorder recorder(converter, rate, m.Now());
      Ticks start = m.Now();
      host::io::IoResult answer = reader.Transmit(command, kAnswerRoom);
      Ticks took = m.Now() - start;
      tools::ExchangeRecord record = recorder.Finish(m.Now());
      size_t characters = 0, packets = 0;
      for (const sim::DecodedBlock& b : record.blocks) {
        characters += b.bytes.size();
        packets += (b.bytes.size() + kPacket - 1) / kPacket;
      }
      Ticks processing = converter.card()->ProcessingTime(command) +
                         profile.options.card_time_base +
                         Ticks(command.size() + expected) * profile.options.card_byte_time;
      Ticks period = converter.polling_period();
      Ticks usb = Ticks(packets - 1) * period + (processing > period ? processing - period : 0);
      Row row{rate,
              kind,
              size,
              record.blocks.size(),
              took,
              tools::IdealDriverTime(record),
              LineTime(characters, rate) + processing,
              usb,
              ""};
      if (!NT_SUCCESS(answer.status)) {
        row.outcome = host::io::StatusName(answer.status);
      } else if (answer.output.size() != expected || answer.output[expected - 2] != kSw1Success) {
        row.outcome = "WRONG ANSWER (" + std::to_string(answer.output.size()) + " bytes)";
      }
      rows->push_back(row);
    };
    for (unsigned n : kSizes) measure("command", n, CommandOfSize(n), 2);
    for (unsigned n : kSizes) measure("answer", n, CommandForAnswerOfSize(n), n);
  });
  if (!result.ok()) {
    *why = "the machine stopped: " + result.report;
    return false;
  }
  return why->empty();
}

double Ms(Ticks t) { return double(t) / host::kernel::kTicksPerMillisecond; }

}  // namespace

int main(int argc, char** argv) {
  bool exact = argc > 1 && std::string_view(argv[1]) == "--exact-timing";
  if (argc > 2 || (argc > 1 && !exact)) {
    std::fprintf(stderr, "usage: link_benchmark [--exact-timing]\n");
    return 2;
  }
  host::kernel::Timing timing =
      exact ? host::kernel::Timing::kExact : host::kernel::Timing::kClockTick;
  std::printf("timing: %s\n", exact ? "exact (timers and time-outs end at their due time)"
                                    : "Windows clock tick (timers and time-outs end on the "
                                      "15.625 ms tick)");
  std::printf(
      "IOCTL_SMARTCARD_TRANSMIT on \\Device\\USBTESK0, the whole stack, against what a driver "
      "that cost nothing would take (record: the exchange's own record of the line and the "
      "bus's polling schedule) and the back-to-back bounds of the line and of the USB polling\n");
  bool ok = true;
  sim::ReaderProfile ideal;
  for (const sim::ReaderProfile& profile : {ideal, sim::RealisticProfile()}) {
    std::printf("\nreader profile: %s\n", sim::DescribeReaderProfile(profile).c_str());
    std::vector<Row> rows;
    // A rate the driver cannot switch to is reported and left out; anything else that fails
    // fails the benchmark.
    for (unsigned rate : kRates) {
      std::string why;
      bool unsupported = false;
      if (!MeasureAtRate(rate, timing, profile, &rows, &why, &unsupported)) {
        std::printf("%u bit/s: not measured: %s\n", rate, why.c_str());
        ok = ok && unsupported;
      }
    }
    std::printf("%8s  %-7s  %5s  %6s  %11s  %9s  %11s  %8s  %8s  %10s\n", "bit/s", "what", "bytes",
                "blocks", "exchange ms", "record ms", "time/record", "line ms", "usb ms",
                "time/bound");
    for (const Row& r : rows) {
      Ticks bound = r.line > r.usb ? r.line : r.usb;
      std::printf("%8u  %-7s  %5u  %6zu  %11.2f  %9.2f  %11.2f  %8.2f  %8.2f  %10.2f%s%s\n", r.rate,
                  r.kind, r.size, r.blocks, Ms(r.took), Ms(r.recorded),
                  double(r.took) / double(r.recorded), Ms(r.line), Ms(r.usb),
                  double(r.took) / double(bound), r.outcome.empty() ? "" : "  ", r.outcome.c_str());
      ok = ok && r.outcome.empty();
    }
  }
  return ok ? 0 : 1;
}
