// Where an APDU's time went (the tool's --timing), on the whole stack in virtual time: the parts
// cover the exchange exactly, each is what the line and the bus recorded, and a driver that cost
// nothing is never slower than this one.
#include "tools/timing_report.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"
#include "sim/reader_profile.h"
#include "sim/uart_settings.h"
#include "tools/session_runner.h"

using namespace tools;
using host::kernel::Ticks;

namespace {

const std::vector<uint8_t> kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
// READ PATTERN of 252 bytes: a 258-character answer block.
const std::vector<uint8_t> kLongAnswer = {0x80, 0xF0, 0x00, 0xFC};

// WRITE PATTERN with 255 data bytes and Le: 261 bytes, two blocks chained.
std::vector<uint8_t> ChainedCommand() {
  std::vector<uint8_t> c = {0x80, 0xF2, 0x00, 0x00, 0xFF};
  for (int i = 0; i < 0xFF; ++i) c.push_back(uint8_t(i));
  c.push_back(0x00);
  return c;
}

// Each APDU through \Device\USBTESK0 (T=1, the line switched to `rate`), recorded.
std::vector<ExchangeRecord> Exchanges(const std::string& profile_text, uint32_t rate,
                                      const std::vector<std::vector<uint8_t>>& apdus,
                                      uint64_t seed = 1) {
  sim::ReaderProfile profile;
  std::string error;
  EXPECT_TRUE(sim::ParseReaderProfile(profile_text, &profile, &error)) << error;
  host::machine::MachineOptions options;
  options.kernel.seed = seed;
  host::machine::Machine machine(options);
  std::vector<ExchangeRecord> records;
  host::kernel::RunResult result = machine.Run([&](host::machine::Machine& m) {
    host::machine::ConverterOptions converter_options;
    converter_options.rig.reader.reader = profile.options;
    host::machine::Converter& converter = m.Plug(converter_options);
    host::machine::ReaderHandle reader(m);
    ASSERT_EQ(reader.Open(host::machine::DeviceName(0)), STATUS_SUCCESS);
    ASSERT_EQ(reader.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(reader.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    if (rate != 9600) {
      ASSERT_EQ(reader.SwitchRate(rate).status, STATUS_SUCCESS);
    }
    for (const std::vector<uint8_t>& apdu : apdus) {
      ExchangeRecorder recorder(converter, rate, m.Now());
      host::io::IoResult answer = reader.Transmit(apdu, 300);
      EXPECT_EQ(answer.status, STATUS_SUCCESS);
      records.push_back(recorder.Finish(m.Now()));
    }
  });
  EXPECT_TRUE(result.ok()) << result.report;
  return records;
}

// The parts cover the exchange, none is negative or longer than it, and a driver that cost
// nothing would have been done no later.
void ExpectWhole(const ExchangeRecord& r, const std::string& what) {
  TimingParts parts = SplitExchange(r);
  Ticks exchange = r.end - r.start;
  EXPECT_EQ(parts.Total(), exchange) << what;
  for (size_t i = 0; i < kTimingParts; ++i) {
    EXPECT_GE(parts.ticks[i], 0) << what << ": " << TimingPartName(TimingPart(i));
    EXPECT_LE(parts.ticks[i], exchange) << what << ": " << TimingPartName(TimingPart(i));
  }
  Ticks ideal = IdealDriverTime(r);
  EXPECT_GT(ideal, 0) << what;
  EXPECT_LE(ideal, exchange) << what;
}

}  // namespace

TEST(Timing, TheLineAndTheBusAsRecordedWithTheIdealReader) {
  std::vector<ExchangeRecord> slow = Exchanges("ideal", 9600, {kSelectMf});
  std::vector<ExchangeRecord> fast = Exchanges("ideal", 115200, {kLongAnswer});
  ASSERT_EQ(slow.size(), 1u);
  ASSERT_EQ(fast.size(), 1u);
  for (const ExchangeRecord* r : {&slow[0], &fast[0]}) {
    ExpectWhole(*r, "ideal reader");
    ASSERT_EQ(r->blocks.size(), 2u);
  }
  // SELECT MF: an 11-character block out, a 6-character answer, back to back on the line (the
  // host's second packet is in before the first eight characters are out); to a tick a character.
  TimingParts select = SplitExchange(slow[0]);
  EXPECT_NEAR(double(select[TimingPart::kLineHost]), 11 * sim::BitsToTicks(11, 9600), 11);
  EXPECT_NEAR(double(select[TimingPart::kLineReader]), 6 * sim::BitsToTicks(11, 9600), 6);
  // Its last character waits for the next poll of the IN pipe, at most one period.
  EXPECT_GT(select[TimingPart::kInPoll], 0);
  EXPECT_LE(select[TimingPart::kInPoll], slow[0].polling_period);
  // At 115200 bit/s the 258-character answer comes faster than 8-byte polls take it: the
  // converter holds what they have not fetched, and most of it waits after its last character.
  TimingParts read = SplitExchange(fast[0]);
  EXPECT_NEAR(double(read[TimingPart::kLineReader]), 258 * sim::BitsToTicks(11, 115200), 258);
  EXPECT_GT(read[TimingPart::kInPoll], 20 * fast[0].polling_period);
  // The tool's own text shows the same parts.
  std::string text = FormatTiming(slow[0]);
  EXPECT_NE(text.find("line, host's blocks"), std::string::npos) << text;
  EXPECT_NE(text.find("1 block, 11 characters"), std::string::npos) << text;
}

TEST(Timing, EveryPartAccountedForWithTheRealisticReaderChainingAndBothRates) {
  for (uint32_t rate : {9600u, 115200u}) {
    for (uint64_t seed : {1u, 2u, 3u}) {
      std::vector<ExchangeRecord> records =
          Exchanges("realistic", rate, {kSelectMf, kLongAnswer, ChainedCommand()}, seed);
      ASSERT_EQ(records.size(), 3u);
      for (size_t i = 0; i < records.size(); ++i) {
        ExpectWhole(records[i], std::to_string(rate) + " bit/s seed " + std::to_string(seed) +
                                    " APDU " + std::to_string(i));
      }
      // The chained command: four blocks (I, R, I, answer), the reader's and card's time twice.
      EXPECT_EQ(records[2].blocks.size(), 4u);
      EXPECT_GT(SplitExchange(records[2])[TimingPart::kReaderCard], 0);
    }
  }
}

TEST(Timing, TheToolPrintsTheSplitAfterEachApdu) {
  SessionOptions o;
  o.timing = true;
  std::string error;
  ASSERT_TRUE(sim::ParseReaderProfile("realistic", &o.reader_profile, &error));
  o.apdus = {kSelectMf, kLongAnswer};
  std::ostringstream out, err;
  ASSERT_EQ(RunSession(o, out, err), 0) << err.str();
  std::string text = out.str();
  // After each APDU's answer: the exchange, then nine parts that add up to it (to the printed
  // microsecond, nine roundings).
  std::regex total(R"(timing: ([0-9.]+) ms from the request)");
  std::regex part(R"(^    [a-zA-Z ,']+ +([0-9.]+) ms)");
  std::istringstream lines(text);
  std::vector<double> totals, sums;
  int parts = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, total)) {
      totals.push_back(std::stod(m[1]));
      sums.push_back(0);
      parts = 0;
    } else if (std::regex_search(line, m, part) && !sums.empty() && parts < int(kTimingParts)) {
      sums.back() += std::stod(m[1]);
      ++parts;
    }
  }
  ASSERT_EQ(totals.size(), 2u) << text;
  for (size_t i = 0; i < totals.size(); ++i) EXPECT_NEAR(sums[i], totals[i], 0.005) << text;
  EXPECT_LT(text.find("< 90 00"), text.find("timing:")) << text;
  // Without --timing, nothing of it.
  o.timing = false;
  std::ostringstream quiet, quiet_err;
  ASSERT_EQ(RunSession(o, quiet, quiet_err), 0);
  EXPECT_EQ(quiet.str().find("timing:"), std::string::npos);
}
