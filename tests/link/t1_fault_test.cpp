// The exchange engine against a reader model that speaks T=1 as ISO 7816-3 describes it, with
// damage on the line in both directions: an exchange returns exactly the reader's answer or
// fails with a status, never a damaged answer as success.
#include <iostream>
#include <random>

#include "tests/link/link_test_util.h"
#include "tests/support/t1_reader_model.h"

using namespace link_test;
using test_support::Fault;
using test_support::T1ReaderModel;

namespace {

Bytes RandomBytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

}  // namespace

TEST(T1TransceiveWithReaderModel, ThreeHundredBytesEachWayCrossChainedAndIntact) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    T1ReaderModel reader(*b.line, 1);
    std::mt19937_64 rng(7);
    Bytes command = RandomBytes(rng, 300);
    reader.answer = RandomBytes(rng, 300);
    Exchange x = Transceive(b, command, 512);
    ASSERT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, reader.answer);
    EXPECT_EQ(reader.last_command, command);
    // Two command blocks (254 + 46) and two answer blocks with one acknowledgement between.
    ASSERT_EQ(b.line->writes.size(), 3u);
    EXPECT_EQ(b.line->writes[0][1], 0x20);
    EXPECT_EQ(b.line->writes[0][2], 254);
    EXPECT_EQ(b.line->writes[1][1], 0x40);
    EXPECT_EQ(b.line->writes[1][2], 46);
    EXPECT_EQ(ToHex(b.line->writes[2]), "00 90 00 90");
  }));
}

TEST(T1TransceiveWithReaderModel, WaitingTimeExtensionBeforeTheAnswer) {
  ExpectOk(test_support::RunWithLink([](LinkBench& b) {
    T1ReaderModel reader(*b.line, 1);
    reader.wtx_before_answer = 2;
    reader.answer = {0x90, 0x00};
    EXPECT_EQ(Transceive(b, {0x00, 0xA4, 0x04, 0x00}).reply, reader.answer);
  }));
}

struct FaultTally {
  int tried = 0, succeeded = 0, failed = 0, corrupted = 0, injected = 0;
  test_support::FaultCounts faults;
};

// One machine per seed; each runs a series of exchanges of random sizes through a damaged line.
static FaultTally RunDamagedLine(uint64_t seed, double outbound_rate, double inbound_rate,
                                 std::vector<Fault> kinds, int exchanges) {
  FaultTally tally;
  auto result = test_support::RunWithLink(
      [&](LinkBench& b) {
        T1ReaderModel reader(*b.line, seed * 7919);
        std::mt19937_64 rng(seed);
        reader.outbound_fault_rate = outbound_rate;
        reader.inbound_fault_rate = inbound_rate;
        reader.fault_kinds = kinds;
        const size_t chunks[] = {16, 32, 100, 254};
        for (int i = 0; i < exchanges; ++i) {
          reader.chunk = chunks[rng() % 4];
          Bytes command = RandomBytes(rng, 1 + rng() % 300);
          reader.answer = RandomBytes(rng, rng() % 301);
          Exchange x = Transceive(b, command, 512);
          ++tally.tried;
          if (x.status == STATUS_SUCCESS) {
            ++tally.succeeded;
            if (x.reply != reader.answer || reader.last_command != command) ++tally.corrupted;
          } else {
            ++tally.failed;
            // As the next device start's DTR cycle would.
            if (b.reader->LinkState == LINK_STATE_GIVEN_UP)
              b.reader->LinkState = LINK_STATE_RESYNCH_DUE;
          }
        }
        tally.faults = reader.faults;
      },
      seed, 254);
  EXPECT_TRUE(result.ok()) << "seed " << seed << ": " << result.report;
  return tally;
}

TEST(T1TransceiveWithReaderModel, DamagedLineNeverYieldsADamagedAnswer) {
  struct Class {
    const char* name;
    std::vector<Fault> kinds;
  };
  const Class classes[] = {
      {"bit flips", {Fault::kFlipBit}},
      {"dropped bytes", {Fault::kDropByte}},
      {"lost blocks", {Fault::kDropBlock}},
      {"cut-off blocks", {Fault::kTruncate}},
      {"late blocks", {Fault::kLate}},
      {"all kinds",
       {Fault::kFlipBit, Fault::kDropByte, Fault::kDropBlock, Fault::kTruncate, Fault::kLate}},
  };
  for (const Class& c : classes) {
    FaultTally total;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
      FaultTally t = RunDamagedLine(seed, 0.15, 0.1, c.kinds, 12);
      total.tried += t.tried;
      total.succeeded += t.succeeded;
      total.failed += t.failed;
      total.corrupted += t.corrupted;
      total.injected += t.faults.total();
    }
    std::cout << "  " << c.name << ": " << total.injected << " faults, tried " << total.tried
              << ", succeeded " << total.succeeded << ", failed " << total.failed << ", corrupted "
              << total.corrupted << "\n";
    EXPECT_EQ(total.corrupted, 0) << c.name;
    EXPECT_GT(total.succeeded, total.tried / 2) << c.name << ": the link should mostly recover";
    EXPECT_EQ(total.tried, total.succeeded + total.failed);
    EXPECT_GT(total.injected, total.tried / 2) << c.name << ": the line must really be damaged";
  }
}
