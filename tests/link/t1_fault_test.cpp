// The exchange engine against the simulated reader, with whole blocks damaged on the line in both
// directions: an exchange returns exactly the card's answer or fails with a status, never a
// damaged answer as success.
#include <iostream>
#include <mutex>
#include <random>

#include "sim/cards/builtin_card.h"
#include "tests/link/sim_link_test_util.h"

using namespace sim_link_test;

namespace {

void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

Bytes RandomBytes(std::mt19937_64& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

// A card that answers every command with the answer set for it and keeps the last command.
class AnsweringCard : public sim::Card {
 public:
  std::vector<uint8_t> PowerOn() override {
    return last_atr_ = sim::BuiltinCard::DualProtocolAtr();
  }
  void PowerOff() override {}
  std::vector<uint8_t> Transmit(std::span<const uint8_t> command) override {
    std::lock_guard lock(mu_);
    last_command_.assign(command.begin(), command.end());
    return answer_;
  }
  void set_answer(Bytes answer) {
    std::lock_guard lock(mu_);
    answer_ = std::move(answer);
  }
  Bytes last_command() const {
    std::lock_guard lock(mu_);
    return last_command_;
  }

 private:
  mutable std::mutex mu_;  // the reader's card worker calls Transmit
  Bytes answer_, last_command_;
};

// A link in step with the reader (IFSD `ifsd`), the card in the slot reset, and the next I-block
// the host sends with N(S) 0.
host::kernel::RunResult RunWithCard(const std::function<void(SimLink&, AnsweringCard&)>& body,
                                    uint64_t seed = 1, UCHAR ifsd = 254) {
  SimLinkOptions options;
  options.card = test_support::SimCardKind::kCustom;
  // The reader keeps a chain while the host repairs a damaged block of it.
  options.reader.block_waiting_time = Seconds(300);
  return RunSimLink(
      [&](Kernel&, SimLink& link) {
        auto card = std::make_shared<AnsweringCard>();
        link.reader().InsertCard(card);
        ASSERT_EQ(link.PowerUp(ifsd), STATUS_SUCCESS);
        ASSERT_EQ(link.Transceive(T1_NODE_READER, kResetCard).status, STATUS_SUCCESS);
        ASSERT_EQ(link.Transceive(T1_NODE_READER, kGetStatus).reply, kStatusCardPowered);
        link.serial().ClearRecord();
        body(link, *card);
      },
      options, seed);
}

std::vector<Bytes> Writes(SimLink& link) {
  std::vector<Bytes> out;
  for (const auto& r : link.serial().requests()) {
    if (r.code == SMARTCARD_WRITE) out.push_back(r.data);
  }
  return out;
}

enum class Fault { kNone, kFlipBit, kDropByte, kDropBlock, kTruncate, kLate };

// Damage to whole blocks, drawn per block at `rate`, as one end's characters go out on the line.
// The hook follows the blocks in what the end sends (NAD, PCB, LEN, then LEN + 1 more) and damages
// the one it is in, on LEN, INF or LRC. A late block comes after the host has stopped waiting
// and sent again, which drops what has arrived: to the host it is lost.
sim::FaultHook BlockDamage(uint64_t seed, double rate, std::vector<Fault> kinds, int* injected) {
  struct State {
    std::mt19937_64 rng;
    size_t position = 0, size = 0, at = 0;
    Fault fault = Fault::kNone;
  };
  auto s = std::make_shared<State>(State{std::mt19937_64(seed)});
  return [s, rate, kinds, injected](uint64_t, uint8_t value) {
    auto pick = [&](size_t low, size_t high) {
      return std::uniform_int_distribution<size_t>(low, high)(s->rng);
    };
    if (s->position == 0) {
      s->fault = Fault::kNone;
      if (std::uniform_real_distribution<double>(0, 1)(s->rng) < rate) {
        s->fault = kinds[pick(0, kinds.size() - 1)];
        ++*injected;
      }
    }
    if (s->position == 2) {
      s->size = size_t(value) + 4;
      s->at = s->fault == Fault::kTruncate ? pick(3, s->size - 1) : pick(2, s->size - 1);
    }
    sim::FaultAction a;
    bool here = s->position >= 2 && s->position == s->at;
    switch (s->fault) {
      case Fault::kFlipBit:
        if (here) a.flip_mask = uint16_t(1u << pick(0, 7));
        break;
      case Fault::kDropByte:
        a.drop = here;
        break;
      case Fault::kTruncate:
        a.drop = s->position >= 2 && s->position >= s->at;
        break;
      case Fault::kDropBlock:
      case Fault::kLate:
        a.drop = true;
        break;
      case Fault::kNone:
        break;
    }
    if (++s->position == s->size) s->position = s->size = 0;
    return a;
  };
}

}  // namespace

TEST(T1TransceiveWithSimReader, ThreeHundredBytesEachWayCrossChainedAndIntact) {
  ExpectOk(RunWithCard([](SimLink& link, AnsweringCard& card) {
    std::mt19937_64 rng(7);
    Bytes command = RandomBytes(rng, 300);
    Bytes answer = RandomBytes(rng, 300);
    card.set_answer(answer);
    SimExchange x = link.Transceive(T1_NODE_CARD, command, 512);
    ASSERT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.reply, answer);
    EXPECT_EQ(card.last_command(), command);
    // Two command blocks (254 + 46) and two answer blocks with one acknowledgement between.
    std::vector<Bytes> writes = Writes(link);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0][1], 0x20);
    EXPECT_EQ(writes[0][2], 254);
    EXPECT_EQ(writes[1][1], 0x40);
    EXPECT_EQ(writes[1][2], 46);
    EXPECT_EQ(ToHex(writes[2]), "00 90 00 90");
  }));
}

TEST(T1TransceiveWithSimReader, WaitingTimeExtensionBeforeTheAnswer) {
  ExpectOk(RunWithCard([](SimLink& link, AnsweringCard& card) {
    link.reader().SendWtxBeforeNextAnswer(2);
    card.set_answer({0x90, 0x00});
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
      [&](SimLink& link, AnsweringCard& card) {
        std::mt19937_64 rng(seed);
        int inbound = 0;
        link.line().reader_end().faults().SetHook(
            BlockDamage(seed * 7919, outbound_rate, kinds, &tally.injected));
        link.line().converter_end().faults().SetHook(
            BlockDamage(seed * 7919 + 1, inbound_rate, kinds, &inbound));
        for (int i = 0; i < exchanges; ++i) {
          Bytes command = RandomBytes(rng, 1 + rng() % 300);
          Bytes answer = RandomBytes(rng, 1 + rng() % 300);
          card.set_answer(answer);
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

TEST(T1TransceiveWithSimReader, DamagedLineNeverYieldsADamagedAnswer) {
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
