// The exchange engine against the simulated reader, with whole blocks damaged on the line in both
// directions: an exchange returns exactly the card's answer or fails with a status, never a
// damaged answer as success.
#include <iostream>
#include <random>

#include "sim/cards/builtin_card.h"
#include "sim/cards/scripted_card.h"
#include "tests/link/sim_link_test_util.h"

using namespace sim_link_test;

namespace {

void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

Bytes RandomBytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

// A link in step with the reader (IFSD `ifsd`), a card in the slot that answers every command with
// the answer set for it, reset, and the next I-block the host sends with N(S) 0.
host::kernel::RunResult RunWithCard(const std::function<void(SimLink&, sim::ScriptedCard&)>& body,
                                    uint64_t seed = 1, UCHAR ifsd = 254) {
  SimLinkOptions options;
  options.card = test_support::SimCardKind::kCustom;
  // The reader keeps a chain while the host repairs a damaged block of it.
  options.reader.block_waiting_time = Seconds(300);
  return RunSimLink(
      [&](Kernel&, SimLink& link) {
        auto card = std::make_shared<sim::ScriptedCard>(sim::BuiltinCard::DualProtocolAtr());
        link.reader().InsertCard(card);
        ASSERT_EQ(link.PowerUp(ifsd), STATUS_SUCCESS);
        ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).status, STATUS_SUCCESS);
        ASSERT_EQ(link.Transceive(T1_NODE_READER, kGetStatus).reply, kStatusCardPowered);
        link.serial().ClearRecord();
        body(link, *card);
      },
      options, seed);
}

enum class Fault { kNone, kFlipBit, kDropByte, kDropBlock, kTruncate, kLate };

// Whole blocks damaged at `rate` as one end sends them: the hook follows the blocks in what the end
// sends (NAD, PCB, LEN, then LEN + 1 more) and damages LEN, INF or LRC of a block drawn. A late
// block comes after the host has stopped waiting and sent again, which drops what has arrived: to
// the host it is lost.
sim::FaultHook BlockDamage(uint64_t seed, double rate, std::vector<Fault> kinds, int* injected) {
  struct State {
    std::mt19937_64 rng;
    size_t position = 0, size = 0, at = 0;
    Fault fault = Fault::kNone;
  };
  auto s = std::make_shared<State>(State{std::mt19937_64(seed)});
  return [=](uint64_t, uint8_t value) {
    auto pick = [&](size_t low, size_t high) {
      return std::uniform_int_distribution<size_t>(low, high)(s->rng);
    };
    if (s->position == 0) {
      bool hit = std::uniform_real_distribution<double>(0, 1)(s->rng) < rate;
      s->fault = hit ? kinds[pick(0, kinds.size() - 1)] : Fault::kNone;
      *injected += hit;
    }
    if (s->position == 2) {
      s->size = size_t(value) + 4;
      s->at = pick(s->fault == Fault::kTruncate ? 3 : 2, s->size - 1);
    }
    bool at = s->position >= 2 && s->position == s->at;
    bool after = s->position >= 2 && s->position >= s->at;
    sim::FaultAction a;
    a.drop = (s->fault == Fault::kDropByte && at) || (s->fault == Fault::kTruncate && after) ||
             s->fault == Fault::kDropBlock || s->fault == Fault::kLate;
    if (s->fault == Fault::kFlipBit && at) a.flip_mask = uint16_t(1u << pick(0, 7));
    if (++s->position == s->size) s->position = s->size = 0;
    return a;
  };
}

}  // namespace

TEST(T1TransceiveWithReaderModel, ThreeHundredBytesEachWayCrossChainedAndIntact) {
  ExpectOk(RunWithCard([](SimLink& link, sim::ScriptedCard& card) {
    std::mt19937_64 rng(7);
    Bytes command = RandomBytes(rng, 300);
    Bytes answer = RandomBytes(rng, 300);
    card.SetStandingAnswer(answer);
    SimExchange x = link.Transceive(T1_NODE_CARD, command, 512);
    ASSERT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, answer);
    EXPECT_EQ(card.last_command(), command);
    // Two command blocks (254 + 46) and two answer blocks with one acknowledgement between.
    std::vector<Bytes> writes;
    for (const auto& r : link.serial().requests())
      if (r.code == SMARTCARD_WRITE) writes.push_back(r.data);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0][1], 0x20);
    EXPECT_EQ(writes[0][2], 254);
    EXPECT_EQ(writes[1][1], 0x40);
    EXPECT_EQ(writes[1][2], 46);
    EXPECT_EQ(ToHex(writes[2]), "00 90 00 90");
  }));
}

TEST(T1TransceiveWithReaderModel, WaitingTimeExtensionBeforeTheAnswer) {
  ExpectOk(RunWithCard([](SimLink& link, sim::ScriptedCard& card) {
    link.reader().SendWtxBeforeNextAnswer(2);
    card.SetStandingAnswer({0x90, 0x00});
    EXPECT_EQ(link.Transceive(T1_NODE_CARD, {0x00, 0xA4, 0x04, 0x00}).reply, Hex("90 00"));
  }));
}

struct FaultTally {
  int tried = 0, succeeded = 0, failed = 0, corrupted = 0, injected = 0;
};

// One machine per seed; each runs a series of exchanges of random sizes through a damaged line.
static FaultTally RunDamagedLine(uint64_t seed, double outbound_rate, double inbound_rate,
                                 const std::vector<Fault>& kinds, int exchanges) {
  FaultTally tally;
  const UCHAR chunks[] = {16, 32, 100, 254};  // the reader's answer blocks, by the host's IFSD
  auto result = RunWithCard(
      [&](SimLink& link, sim::ScriptedCard& card) {
        std::mt19937_64 rng(seed);
        int inbound = 0;
        link.line().reader_end().faults().SetHook(
            BlockDamage(seed * 7919, outbound_rate, kinds, &tally.injected));
        link.line().converter_end().faults().SetHook(
            BlockDamage(seed * 7919 + 1, inbound_rate, kinds, &inbound));
        for (int i = 0; i < exchanges; ++i) {
          Bytes command = RandomBytes(rng, 1 + rng() % 300);
          Bytes answer = RandomBytes(rng, 1 + rng() % 300);
          card.SetStandingAnswer(answer);
          SimExchange x = link.Transceive(T1_NODE_CARD, command, 512);
          ++tally.tried;
          if (x.status == STATUS_SUCCESS) {
            ++tally.succeeded;
            if (x.reply != answer || card.last_command() != command) ++tally.corrupted;
          } else {
            ++tally.failed;
            // As the next device start's DTR cycle would.
            if (link.reader_extension()->LinkState == LINK_STATE_GIVEN_UP)
              link.reader_extension()->LinkState = LINK_STATE_RESYNCH_DUE;
          }
        }
        link.line().reader_end().faults().Clear();
        link.line().converter_end().faults().Clear();
      },
      seed, chunks[seed % 4]);
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
      total.injected += t.injected;
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
