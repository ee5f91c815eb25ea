#include "tools/fault_matrix/fault_classes.h"

#include <sstream>

#include "host/kernel/pool.h"
#include "sim/converter/converter_descriptors.h"
#include "sim/reader_block_faults.h"

namespace fault_matrix {

namespace {

using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;

// How long a session of the plan takes on the realistic reader, about: a fault at a random
// moment of a session strikes within this much of its start.
constexpr Ticks kSessionSpan = Milliseconds(1500);
constexpr Ticks kNoCardSessionSpan = Milliseconds(60);
// The session waits for its device between polls this long.
constexpr Ticks kPoll = Milliseconds(1);

// A request that meets line or reader faults may be retried by the link, resynchronised and,
// when the reader stays silent, given up: some block waiting times and retries.
constexpr Ticks kLinkBound = Seconds(60);
// The converter's faults add the URB watchdog's 2.5 s per transfer to the link's own waits.
constexpr Ticks kConverterBound = Seconds(60);
// The longest a reader stays silent, answers late, the machine sleeps or an IN endpoint hangs.
constexpr Ticks kLongestOutage = Seconds(20);

void BothDirections(FaultContext& c, const std::function<void(sim::LineFaults&, int)>& set) {
  set(c.converter->line().converter_end().faults(), 0);
  set(c.converter->line().reader_end().faults(), 1);
}

void ClearLine(FaultContext& c) {
  BothDirections(c, [](sim::LineFaults& f, int) { f.Clear(); });
}

// Bit errors both ways. The reader checks parity; with `discard` the converter throws away what
// arrives damaged. Without it damaged characters reach the driver as they come, and besides the
// LRC, which misses two flips in one bit column, only the converter's count of damaged
// characters tells the driver of them.
FaultClass BitErrors(double rate, bool discard) {
  std::ostringstream name;
  name << "ber-" << rate << (discard ? "" : "-passed-on");
  std::ostringstream text;
  text << "line bit errors " << rate << (discard ? "" : ", damage passed on");
  FaultClass f{name.str(), text.str(), kLinkBound};
  f.configure = [discard](host::machine::ConverterOptions& o) {
    o.rig.converter.discard_damaged = discard;
  };
  f.prepare = [rate](FaultContext& c) {
    BothDirections(c, [rate](sim::LineFaults& l, int) { l.SetBitErrorRate(rate); });
  };
  f.heal = ClearLine;
  return f;
}

// Two in a thousand characters dropped or inserted, either way.
FaultClass Characters(bool insert) {
  constexpr double kRate = 2e-3;
  FaultClass f{insert ? "inserted" : "dropped",
               insert ? "inserted characters 2e-3" : "dropped characters 2e-3", kLinkBound};
  f.prepare = [insert](FaultContext& c) {
    uint64_t seed = c.rng();
    BothDirections(c, [seed, insert](sim::LineFaults& l, int side) {
      l.SetHook(sim::RandomCharacterFaults(seed + uint64_t(side), kRate, insert));
    });
  };
  f.heal = ClearLine;
  return f;
}

// One of the blocks the reader sends in the session comes out wrong. The damage follows the
// reader's blocks from the session's start, when the reader is between blocks.
FaultClass ReaderBlock(sim::BlockFault fault, std::string name) {
  // A session's reader sends eight blocks and more.
  constexpr int kBlocksAhead = 8;
  FaultClass f{std::move(name), std::string("reader: ") + sim::BlockFaultName(fault), kLinkBound};
  f.prepare = [fault](FaultContext& c) {
    sim::BlockFaultPlan plan{fault, 1 + int(c.rng() % kBlocksAhead), c.rng()};
    c.block_fault = std::make_shared<sim::BlockFaultRecord>();
    c.converter->line().reader_end().faults().SetHook(sim::DamageReaderBlock(plan, c.block_fault));
  };
  f.heal = ClearLine;
  return f;
}

FaultClass Unplugged(bool in_transmission) {
  FaultClass f{in_transmission ? "surprise-removal" : "unplug",
               in_transmission ? "surprise removal in a transmission"
                               : "converter unplugged at a random moment",
               kConverterBound};
  f.strike = [in_transmission](FaultContext& c) {
    if (in_transmission) {
      if (!c.WaitInCommand(c.Draw(0, Milliseconds(300)))) return;
      c.converter->Unplug();
    } else {
      if (!c.WaitInSession(c.AnyMoment())) return;
      c.converter->converter().Unplug();
    }
  };
  f.heal = [](FaultContext& c) { c.PlugAgain(); };
  return f;
}

FaultClass SleepAndWake(bool with_card) {
  FaultClass f{with_card ? "sleep-card" : "sleep-no-card",
               with_card ? "system sleep and wake, card in" : "system sleep and wake, no card",
               kLinkBound + kLongestOutage};
  if (!with_card) f.prepare = [](FaultContext& c) { c.converter->reader().RemoveCard(); };
  f.strike = [with_card](FaultContext& c) {
    // Without a card the session's requests fail at once: it lasts a fraction of a second.
    if (!c.WaitInSession(with_card ? c.AnyMoment() : c.Draw(0, kNoCardSessionSpan))) return;
    c.machine.Sleep();
    c.machine.Wait(c.Draw(0, kLongestOutage));
    c.machine.Wake();
  };
  f.heal = [with_card](FaultContext& c) {
    if (!with_card) c.converter->reader().InsertCard(c.converter->card());
  };
  return f;
}

}  // namespace

bool FaultContext::WaitInSession(Ticks delay) {
  for (Ticks end = machine.Now() + delay; machine.Now() < end && !session_over;) {
    machine.kernel().SleepFor(kPoll);
  }
  if (!session_over) struck = true;
  return !session_over;
}

bool FaultContext::WaitInCommand(Ticks delay) {
  while (!transmitting && !session_over) machine.kernel().SleepFor(kPoll);
  return WaitInSession(delay);
}

Ticks FaultContext::Draw(Ticks low, Ticks high) {
  return low + Ticks(rng() % uint64_t(high - low + 1));
}

Ticks FaultContext::AnyMoment() { return Draw(0, kSessionSpan); }

void FaultContext::PlugAgain() {
  if (converter->plugged()) converter->Unplug();
  converter = &machine.Plug(plug_options);
}

std::vector<FaultClass> FaultClasses() {
  std::vector<FaultClass> classes;
  for (double rate : {1e-4, 1e-3, 1e-2}) classes.push_back(BitErrors(rate, true));
  classes.push_back(BitErrors(1e-3, false));
  classes.push_back(Characters(false));
  classes.push_back(Characters(true));
  {
    FaultClass f{"reader-silent", "reader silent", kLinkBound + kLongestOutage};
    f.strike = [](FaultContext& c) {
      if (!c.WaitInSession(c.AnyMoment())) return;
      Ticks now = c.machine.Now();
      c.converter->line().reader_end().faults().Silence(
          now, now + c.Draw(Milliseconds(100), kLongestOutage));
    };
    f.heal = ClearLine;
    classes.push_back(f);
  }
  {
    FaultClass f{"reader-late", "reader answers late", kLinkBound + kLongestOutage};
    f.strike = [](FaultContext& c) {
      if (!c.WaitInSession(c.AnyMoment())) return;
      c.converter->reader().DelayBlock(1 + int(c.rng() % 3),
                                       c.Draw(Milliseconds(100), Seconds(12)));
    };
    f.heal = [](FaultContext& c) { c.converter->reader().DelayBlock(0, 0); };
    classes.push_back(f);
  }
  classes.push_back(ReaderBlock(sim::BlockFault::kWrongSequence, "wrong-sequence"));
  classes.push_back(ReaderBlock(sim::BlockFault::kWrongNad, "wrong-nad"));
  classes.push_back(ReaderBlock(sim::BlockFault::kTruncated, "truncated"));
  classes.push_back(ReaderBlock(sim::BlockFault::kOversized, "oversized"));
  classes.push_back(ReaderBlock(sim::BlockFault::kGarbage, "garbage"));
  {
    FaultClass f{"control-hang", "converter control request hangs", kConverterBound};
    f.strike = [](FaultContext& c) {
      if (!c.WaitInSession(c.AnyMoment())) return;
      c.converter->converter().AddControlFault(
          {std::nullopt, sim::ControlFaultKind::kNeverComplete, 1});
    };
    f.heal = [](FaultContext& c) { c.converter->converter().ClearControlFaults(); };
    classes.push_back(f);
  }
  {
    FaultClass f{"in-hang", "converter IN transfer hangs", kConverterBound + kLongestOutage};
    f.strike = [](FaultContext& c) {
      if (!c.WaitInSession(c.AnyMoment())) return;
      c.converter->converter().SetInHang(sim::converter::kDataInEndpoint, true);
      c.WaitInSession(c.Draw(Milliseconds(100), kLongestOutage));
      c.converter->converter().SetInHang(sim::converter::kDataInEndpoint, false);
    };
    f.heal = [](FaultContext& c) {
      c.converter->converter().SetInHang(sim::converter::kDataInEndpoint, false);
    };
    classes.push_back(f);
  }
  {
    FaultClass f{"stall", "converter endpoint stalls", kConverterBound};
    f.strike = [](FaultContext& c) {
      if (!c.WaitInSession(c.AnyMoment())) return;
      c.stalled = c.rng() % 2 ? sim::converter::kDataInEndpoint : sim::converter::kDataOutEndpoint;
      c.converter->converter().StallEndpoint(c.stalled);
    };
    // A stall that no transfer of the session met (it came as the session ended) is lifted: the
    // device has had no chance to see it.
    f.heal = [](FaultContext& c) {
      if (c.stalled != 0 && c.converter->converter().halted(c.stalled)) {
        c.struck = false;
        c.converter->converter().ClearHalt(c.stalled);
      }
    };
    classes.push_back(f);
  }
  classes.push_back(Unplugged(false));
  classes.push_back(Unplugged(true));
  classes.push_back(SleepAndWake(true));
  classes.push_back(SleepAndWake(false));
  {
    FaultClass f{"card-removed", "card removed in a command", kLinkBound};
    f.strike = [](FaultContext& c) {
      if (!c.WaitInCommand(c.Draw(0, Milliseconds(300)))) return;
      c.converter->reader().RemoveCard();
    };
    f.heal = [](FaultContext& c) {
      if (!c.converter->reader().card_present())
        c.converter->reader().InsertCard(c.converter->card());
    };
    classes.push_back(f);
  }
  {
    FaultClass f{"pool", "pool allocation n of the session fails", kLinkBound};
    f.prepare = [](FaultContext& c) { c.machine.kernel().pool().FailNth(c.allocation_to_fail); };
    f.heal = [](FaultContext& c) { c.machine.kernel().pool().ClearFaults(); };
    classes.push_back(f);
  }
  return classes;
}

}  // namespace fault_matrix
