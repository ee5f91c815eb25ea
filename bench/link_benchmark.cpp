// How close an APDU exchange through the driver's link comes to what the serial line allows.
//
// For command and answer sizes from 5 to 261 bytes, at 9600 bit/s and at 115200 bit/s (after the
// reader's rate switch), the virtual time of one IOCTL_SMARTCARD_TRANSMIT is set beside its lower
// bound: every character of every block that crossed the line, both ways, at 11 bits (8E1) per
// character, plus the card's time (its processing and the bytes between reader and card). The
// ratio is what the reader's and the link's turnarounds, pauses, waits and acknowledgements cost
// on top. A second ratio sets the time beside the APDU bytes alone (no block framing, no
// acknowledgement blocks): what the T=1 framing and chaining cost. The reader plays the
// realistic profile (sim/reader_profile.h), printed above the table.
//
// The machine runs on Windows' clock tick (timers, delays and wait time-outs end on the 15.625 ms
// tick), as the driver would; --exact-timing lets them end at their due time instead. The first
// line of the output says which.
#include <cstdio>
#include <string_view>
#include <vector>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "sim/cards/builtin_card.h"
#include "sim/reader_profile.h"
#include "sim/uart_settings.h"
#include "tests/support/reader_session.h"

namespace {

using host::kernel::Ticks;

constexpr unsigned kRates[] = {9600, 115200};
constexpr unsigned kSizes[] = {5, 8, 16, 32, 64, 128, 192, 254, 255, 261};
constexpr uint8_t kWritePatternHeader[] = {sim::kClaProprietary, sim::kInsWritePattern, 0, 0};
constexpr size_t kMaxLc = 255;

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
  Ticks bound;
  Ticks payload;
  bool ok;
};

// The characters back to back in the link's framing (8E1), rounded down: a lower bound.
Ticks LineTime(size_t characters, unsigned rate) {
  return Ticks(sim::BitsToTicks(characters * sim::kLinkSettings.BitsPerCharacter(), rate));
}

bool MeasureAtRate(unsigned rate, host::kernel::Timing timing, const sim::ReaderProfile& profile,
                   std::vector<Row>* rows) {
  host::kernel::Kernel kernel(host::kernel::KernelOptions{.timing = timing});
  host::io::IoManager io(kernel);
  host::smclib::SmartcardLibrary library(kernel);
  bool ok = true;
  host::kernel::RunResult result = kernel.Run([&] {
    test_support::ReaderSessionOptions options;
    options.reader = profile.options;
    test_support::ReaderSession session(kernel, io, options);
    if (!NT_SUCCESS(session.Start()) || !NT_SUCCESS(session.Power(SCARD_COLD_RESET).status) ||
        !NT_SUCCESS(session.SetProtocol(SCARD_PROTOCOL_T1).status) ||
        (rate != 9600 && !NT_SUCCESS(session.SwitchRate(rate)))) {
      std::fprintf(stderr, "link_benchmark: the session did not come up at %u bit/s\n", rate);
      ok = false;
      return;
    }
    auto measure = [&](const char* kind, unsigned size, const std::vector<uint8_t>& command,
                       size_t expected_answer) {
      size_t before = session.trace().Blocks().size();
      Ticks start = kernel.Now();
      test_support::ControlResult answer = session.Transmit(command, 300);
      Ticks took = kernel.Now() - start;
      std::vector<sim::DecodedBlock> blocks = session.trace().Blocks();
      size_t characters = 0;
      for (size_t i = before; i < blocks.size(); ++i) characters += blocks[i].bytes.size();
      Ticks processing = session.rig().card()->ProcessingTime(command) +
                         profile.options.card_time_base +
                         Ticks(command.size() + expected_answer) * profile.options.card_byte_time;
      Ticks bound = LineTime(characters, rate) + processing;
      Ticks payload = LineTime(command.size() + expected_answer, rate) + processing;
      bool right = NT_SUCCESS(answer.status) && answer.output.size() == expected_answer &&
                   answer.output[expected_answer - 2] == 0x90;
      ok = ok && right;
      rows->push_back({rate, kind, size, blocks.size() - before, took, bound, payload, right});
    };
    for (unsigned n : kSizes) measure("command", n, CommandOfSize(n), 2);
    for (unsigned n : kSizes) measure("answer", n, CommandForAnswerOfSize(n), n);
  });
  if (!result.ok()) {
    std::fprintf(stderr, "link_benchmark: the machine stopped: %s\n", result.report.c_str());
    return false;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool exact = argc > 1 && std::string_view(argv[1]) == "--exact-timing";
  if (argc > 1 && !exact) {
    std::fprintf(stderr, "usage: link_benchmark [--exact-timing]\n");
    return 2;
  }
  host::kernel::Timing timing =
      exact ? host::kernel::Timing::kExact : host::kernel::Timing::kClockTick;
  std::printf("timing: %s\n", exact ? "exact (timers and time-outs end at their due time)"
                                    : "Windows clock tick (timers and time-outs end on the "
                                      "15.625 ms tick)");
  std::vector<Row> rows;
  bool ok = true;
  sim::ReaderProfile profile = sim::RealisticProfile();
  for (unsigned rate : kRates) ok = MeasureAtRate(rate, timing, profile, &rows) && ok;
  std::printf("reader profile: %s\n", sim::DescribeReaderProfile(profile).c_str());
  std::printf("%8s  %-7s  %5s  %6s  %12s  %12s  %6s  %10s  %6s\n", "bit/s", "what", "bytes",
              "blocks", "exchange ms", "line ms", "ratio", "apdu ms", "ratio");
  for (const Row& r : rows) {
    double took = double(r.took) / host::kernel::kTicksPerMillisecond;
    double bound = double(r.bound) / host::kernel::kTicksPerMillisecond;
    double payload = double(r.payload) / host::kernel::kTicksPerMillisecond;
    std::printf("%8u  %-7s  %5u  %6zu  %12.2f  %12.2f  %6.2f  %10.2f  %6.2f%s\n", r.rate, r.kind,
                r.size, r.blocks, took, bound, took / bound, payload, took / payload,
                r.ok ? "" : "  WRONG ANSWER");
  }
  return ok ? 0 : 1;
}
