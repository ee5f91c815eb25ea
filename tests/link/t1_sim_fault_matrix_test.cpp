// The block exchange engine on the simulated line and reader, with the line's faults in both
// directions and the reader's own S-requests: every exchange either brings back exactly the
// expected answer or fails with a status. A success with any other answer is a corrupted
// answer, and there must be none. After a failure the series goes on; a link given up is
// powered up again, as the driver's next power-up would.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/line_trace.h"
#include "sim/reader_profile.h"
#include "tests/link/sim_link_test_util.h"

using namespace sim_link_test;
using sim::Direction;
using sim::LineEvent;
using sim::ScriptStep;

// Built twice: on the serial routine of the tests, and (WHOLE_STACK_LINK) on the whole stack,
// where the converter hands damaged characters on as they come and the classes that need them
// thrown away have no place, and every class runs on half the machines.
#ifdef WHOLE_STACK_LINK
#include "tests/link/whole_stack_link.h"
using LinkMachine = whole_stack::LinkMachine;
using LinkUnderTest = whole_stack::StackLink;
#define FAULT_MATRIX T1WholeStackFaultMatrix
constexpr int kMachineShare = 2;
#else
struct LinkMachine {
  explicit LinkMachine(uint64_t seed) : k(host::kernel::KernelOptions{.seed = seed}), library(k) {}
  Kernel k;
  host::smclib::SmartcardLibrary library;
};
struct LinkUnderTest : SimLink {
  LinkUnderTest(LinkMachine& m, const SimLinkOptions& options) : SimLink(m.k, options) {}
};
#define FAULT_MATRIX T1SimFaultMatrix
constexpr int kMachineShare = 1;
#endif

namespace {

// SELECT of the master file without an answer, and a SELECT whose body is far too long for it:
// the card refuses it with 67 00, after the host has chained the whole body over.
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kSwOk = {0x90, 0x00};
const Bytes kSwWrongLength = {0x67, 0x00};
const Bytes kSwTransmissionAborted = {0x64, 0x00};
const Bytes kSwNoCard = {0x64, 0xA1};
constexpr size_t kApduHeader = 5;  // CLA INS P1 P2 Lc
constexpr size_t kMaxLc = 255;
// Long enough to be chained over two or more blocks at every IFSD, short enough to keep the
// matrix quick: every character is a few events of the simulated line.
constexpr size_t kLongestPattern = 500;

Bytes LongSelect(size_t lc, std::mt19937_64& rng) {
  Bytes b = {0x00, 0xA4, 0x00, 0x0C, uint8_t(lc)};
  for (size_t i = 0; i < lc; ++i) b.push_back(uint8_t(rng()));
  return b;
}

// One exchange of a series and what must come back.
struct Planned {
  UCHAR dad = T1_NODE_READER;
  Bytes command;
  Bytes expected;
  UCHAR expected_sad = T1_NODE_READER;
  bool resets_card = false;
  // The reader is scripted to abort this exchange's host chain: a failure with
  // STATUS_TRANSACTION_ABORTED.
  bool host_chain_aborted = false;
  // What the reader may answer in the card's place as it was scripted to (64 00 for its own
  // chain aborted, an error answer, 64 A1 for a card pulled out or unpowered by a restart).
  std::vector<Bytes> reader_reports;
  bool card_may_go = false;  // the card may be unpowered or gone afterwards
};

struct Tally {
  int tried = 0, succeeded = 0, failed = 0, corrupted = 0;
  int scripted_failures = 0;  // failures the reader was scripted to cause
  int power_ups = 0;          // after the link was given up
  int reader_s_requests = 0;  // S(IFS), S(ABORT) and S(WTX) requests the reader sent
  int error_r_blocks = 0;     // R-blocks the host sent to report a damaged or missing block
  int recovered_machines = 0, machines = 0;
  int give_ups = 0;           // error R-blocks for answers of which characters came
  Ticks slowest_give_up = 0;  // the longest from such an answer's last character to its R-block
  void Add(const Tally& t) {
    tried += t.tried;
    succeeded += t.succeeded;
    failed += t.failed;
    corrupted += t.corrupted;
    scripted_failures += t.scripted_failures;
    power_ups += t.power_ups;
    reader_s_requests += t.reader_s_requests;
    error_r_blocks += t.error_r_blocks;
    recovered_machines += t.recovered_machines;
    machines += t.machines;
    give_ups += t.give_ups;
    slowest_give_up = std::max(slowest_give_up, t.slowest_give_up);
  }
};

// One machine's series.
struct Machine {
  Kernel& kernel;
  LinkUnderTest& link;
  std::mt19937_64 rng;
  UCHAR ifsd;
  bool card_ready = false;  // the card is known to be powered
  int silence_at = -1;      // the exchange before which the reader falls silent

  size_t Pick(size_t low, size_t high) { return low + size_t(rng() % (high - low + 1)); }

  Planned Next() {
    Planned p;
    if (!card_ready) {
      p.command = kResetCard;
      p.expected = kBuiltinAtrAndReset;
      p.resets_card = true;
      return p;
    }
    switch (rng() % 5) {
      case 0:
        p.command = kGetStatus;
        p.expected = kStatusCardPowered;
        return p;
      case 1:
        return Pattern(Pick(0, 60));
      case 2:
        return Pattern(Pick(200, kLongestPattern));
      case 3:
        p.dad = T1_NODE_CARD;
        p.expected_sad = T1_NODE_CARD;
        p.command = kSelectMf;
        p.expected = kSwOk;
        return p;
      default:
        return LongCommand(Pick(100, kMaxLc));
    }
  }
  Planned Pattern(size_t n) {
    Planned p;
    p.dad = T1_NODE_CARD;
    p.expected_sad = T1_NODE_CARD;
    p.command = ReadPattern(n);
    p.expected = PatternAnswer(n);
    return p;
  }
  Planned LongCommand(size_t lc) {
    Planned p;
    p.dad = T1_NODE_CARD;
    p.expected_sad = T1_NODE_CARD;
    p.command = LongSelect(lc, rng);
    p.expected = kSwWrongLength;
    return p;
  }
  // A command the host has to chain with the IFSC now in force.
  Planned ChainedCommand() {
    size_t ifsc = link.reader_extension()->Ifsc;
    size_t shortest = ifsc + 1 > kApduHeader ? ifsc + 1 - kApduHeader : 1;
    return LongCommand(Pick(std::max<size_t>(shortest, 100), kMaxLc));
  }
  // An answer the reader has to chain with the IFSD announced.
  Planned ChainedAnswer() { return Pattern(Pick(size_t(ifsd) + 10, kLongestPattern)); }
  Planned CardCommand() {
    switch (rng() % 3) {
      case 0:
        return Pattern(Pick(0, 60));
      case 1:
        return ChainedAnswer();
      default:
        return ChainedCommand();
    }
  }
  // Somewhere in the first blocks of either chain of the next card command.
  sim::ExchangePoint AnyPoint() {
    using Chain = sim::ExchangePoint::Chain;
    return {rng() % 2 ? Chain::kHost : Chain::kAnswer, 1 + int(rng() % 3)};
  }
  Ticks Soon() { return kernel.Now() + Milliseconds(int64_t(rng() % 300)); }
};

struct FaultClass {
  std::string name;
  int machines = 16;
  int exchanges = 6;
  bool mild = false;          // most exchanges must succeed
  bool line_faults = true;    // false: every failure must be one the reader was scripted to cause
  bool reader_asks = true;    // without line faults: the reader's own S-requests must show
  bool must_recover = false;  // the last exchange of every machine must succeed
  bool breaks_every_answer = false;
  // Shown for comparison, corrupted answers not asserted: damage only the LRC can find.
  bool lrc_only = false;
  // A fault of the link that corrupts answers in this class, with the test that shows it; its
  // corrupted answers are reported, not asserted, until it is fixed.
  std::string known_fault;
  std::function<void(SimLinkOptions&)> options;
  std::function<void(Machine&)> setup;                  // after the first power-up
  std::function<void(Machine&, Planned&, int)> before;  // may replace the exchange
};

// The command, the answer and the first few positions where it differs from the expected one.
std::string Describe(const Planned& p, const SimExchange& x) {
  std::ostringstream out;
  int shown = 0;
  for (size_t i = 0; i < std::min(x.reply.size(), p.expected.size()) && shown < 4; ++i) {
    if (x.reply[i] == p.expected[i]) continue;
    out << "[" << i << ": " << ToHex({p.expected[i]}) << "->" << ToHex({x.reply[i]}) << "] ";
    ++shown;
  }
  out << "command " << ToHex(p.command).substr(0, 40) << "... answer (" << x.reply.size()
      << " bytes) " << ToHex(x.reply).substr(0, 60) << " sad " << int(x.sad);
  return out.str();
}

// T1_MATRIX_TRACE="<class name>:<seed>:<exchange>" prints the blocks of that one exchange.
bool TraceWanted(const FaultClass& c, uint64_t seed, int exchange) {
  const char* wanted = std::getenv("T1_MATRIX_TRACE");
  return wanted != nullptr &&
         wanted == c.name + ":" + std::to_string(seed) + ":" + std::to_string(exchange);
}

Tally RunMachine(const FaultClass& c, uint64_t seed, std::vector<std::string>& corrupted) {
  Tally t;
  t.machines = 1;
  LinkMachine machine(seed);
  Kernel& k = machine.k;
  auto result = k.Run([&] {
    SimLinkOptions options;
    options.line_seed = seed;
    options.serial.seed = seed;
    options.reader = sim::RealisticProfile().options;
    options.reader.seed = seed;
    if (c.options) c.options(options);
    LinkUnderTest link(machine, options);
    ASSERT_EQ(link.binding_status(), STATUS_SUCCESS);
    const UCHAR sizes[] = {254, 254, 128, 64, 32};
    Machine m{k, link, std::mt19937_64(seed * 0x9E3779B97F4A7C15ull), sizes[seed % 5]};
    ASSERT_EQ(link.PowerUp(m.ifsd), STATUS_SUCCESS) << c.name << " seed " << seed;
    if (c.setup) c.setup(m);
    bool last_ok = false;
    for (int i = 0; i < c.exchanges; ++i) {
      Planned p = m.Next();
      if (c.before) c.before(m, p, i);
      bool traced = TraceWanted(c, seed, i);
      if (traced) link.trace().Clear();
      SimExchange x = link.Transceive(p.dad, p.command);
      if (traced) std::cout << link.trace().BlockText() << "\n";
      ++t.tried;
      last_ok = false;
      if (x.status == STATUS_SUCCESS) {
        if (x.reply == p.expected && x.sad == p.expected_sad) {
          ++t.succeeded;
          last_ok = true;
          if (p.resets_card) m.card_ready = true;
        } else if (x.sad == T1_NODE_READER &&
                   std::ranges::find(p.reader_reports, x.reply) != p.reader_reports.end()) {
          ++t.failed;
          ++t.scripted_failures;
        } else {
          ++t.corrupted;
          corrupted.push_back(c.name + " seed " + std::to_string(seed) + " exchange " +
                              std::to_string(i) + ": " + Describe(p, x));
        }
      } else {
        ++t.failed;
        if (p.host_chain_aborted && x.status == STATUS_TRANSACTION_ABORTED) ++t.scripted_failures;
        if (p.resets_card) m.card_ready = false;
      }
      if (p.card_may_go) {
        m.card_ready = false;
        link.reader().InsertCard(link.rig().card());  // put back if it was pulled out
      }
      if (link.reader_extension()->LinkState == LINK_STATE_GIVEN_UP) {
        // As the driver's next power-up: a fresh DTR cycle; the card comes up unpowered.
        ++t.power_ups;
        link.PowerUp(m.ifsd);
        m.card_ready = false;
      }
    }
    if (last_ok) t.recovered_machines = 1;
    std::vector<LineEvent> events = link.trace().events();
    size_t next_event = 0;
    Ticks answered = -1;  // the last character the host took since its last block
    for (const sim::DecodedBlock& b :
         link.trace().Blocks({.view = LineEvent::Kind::kSent, .include_lost = true})) {
      uint8_t pcb = b.bytes.size() > T1_OFFSET_PCB ? b.bytes[T1_OFFSET_PCB] : 0;
      if (b.direction == Direction::kReaderToHost &&
          (pcb == T1_S_IFS_REQUEST || pcb == T1_S_ABORT_REQUEST || pcb == T1_S_WTX_REQUEST)) {
        ++t.reader_s_requests;
      }
      if (b.direction != Direction::kHostToReader) continue;
      for (; next_event < events.size() && events[next_event].time <= b.first; ++next_event) {
        const LineEvent& e = events[next_event];
        bool discarded = (e.parity_error || e.framing_error) &&
                         options.serial.damaged_characters == sim::CharacterErrors::kDrop;
        if (e.kind == LineEvent::Kind::kReceived && e.direction == Direction::kReaderToHost &&
            !discarded) {
          answered = e.time;
        }
      }
      if ((pcb & T1_PCB_TYPE_MASK) == T1_PCB_R_BLOCK &&
          (pcb & T1_PCB_R_CODE_MASK) != T1_R_CODE_ACK) {
        ++t.error_r_blocks;
        if (answered >= 0) ++t.give_ups;
        if (answered >= 0) t.slowest_give_up = std::max(t.slowest_give_up, b.first - answered);
      }
      answered = -1;
    }
  });
  EXPECT_TRUE(result.ok()) << c.name << " seed " << seed << ": " << result.report;
  return t;
}

void BothDirections(Machine& m, const std::function<void(sim::LineFaults&, int)>& set) {
  set(m.link.line().converter_end().faults(), 0);
  set(m.link.line().reader_end().faults(), 1);
}

// Breaks the next block the reader sends: a clear bit of its LEN flipped, so that it says more
// than comes; or (stop) the reader stops after its NAD, its PCB or somewhere after its LEN.
sim::FaultHook BreakNextReaderBlock(bool stop, uint64_t draw) {
  size_t position = 0, end = SIZE_MAX, cut = stop ? 1 + draw % 3 : SIZE_MAX;
  return [=](uint64_t, uint8_t value) mutable {
    sim::FaultAction a;
    if (position == T1_OFFSET_LEN) {
      end = T1_PROLOGUE_LENGTH + value + T1_EPILOGUE_LENGTH;
      if (cut == T1_OFFSET_INF) cut += draw / 3 % (value + 1u);  // at most the LRC is missing
      for (unsigned i = 0; !stop && a.flip_mask == 0 && i < 8; ++i) {
        if ((value & (1u << (draw + i) % 8)) == 0) a.flip_mask = uint16_t(1u << (draw + i) % 8);
      }
    }
    a.drop = position >= cut && position < end;
    ++position;
    return a;
  };
}

// The classes of the reader's habits and of the line's rarer faults run on fewer machines, to keep
// the matrix quick under the sanitizers.
constexpr int kMachinesPerNewClass = 6;

std::vector<FaultClass> Classes() {
  std::vector<FaultClass> classes;
  for (double ber : {1e-4, 1e-3, 1e-2}) {
    FaultClass c;
    std::ostringstream name;
    name << "bit error rate " << ber;
    c.name = name.str();
    c.mild = ber <= 1e-4;
    c.options = [](SimLinkOptions& o) {
      o.serial.damaged_characters = sim::CharacterErrors::kDrop;
    };
    c.setup = [ber](Machine& m) {
      BothDirections(m, [ber](sim::LineFaults& f, int) { f.SetBitErrorRate(ber); });
    };
    classes.push_back(c);
  }
  for (double ber : {1e-3, 1e-2}) {
    FaultClass c;
    std::ostringstream name;
    name << "BER " << ber << ", LRC only";
    c.name = name.str();
    c.lrc_only = true;
    c.machines = 8;
    c.options = [](SimLinkOptions& o) {
      o.serial.damaged_characters = sim::CharacterErrors::kIgnore;
    };
    c.setup = [ber](Machine& m) {
      BothDirections(m, [ber](sim::LineFaults& f, int) { f.SetBitErrorRate(ber); });
    };
    classes.push_back(c);
  }
  for (bool insert : {false, true}) {
    FaultClass c;
    c.name = insert ? "inserted characters 2e-3" : "dropped characters 2e-3";
    c.mild = true;
    c.setup = [insert](Machine& m) {
      uint64_t seed = m.rng();
      BothDirections(m, [seed, insert](sim::LineFaults& f, int side) {
        f.SetHook(sim::RandomCharacterFaults(seed + uint64_t(side), 2e-3, insert));
      });
    };
    classes.push_back(c);
  }
  for (bool stop : {false, true}) {
    FaultClass c;
    c.name = stop ? "reader stops in a block" : "answer LEN too large";
    c.machines = 8;
    c.mild = c.breaks_every_answer = true;
    c.before = [stop](Machine& m, Planned&, int) {
      m.link.line().reader_end().faults().SetHook(BreakNextReaderBlock(stop, m.rng()));
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "waiting time extensions";
    c.mild = true;
    c.line_faults = false;
    // Every other machine has a card that takes 4.5 or 9 s for READ PATTERN, past the reader's
    // own WTX deadline; on all of them the reader asks for more time before half the answers.
    c.setup = [](Machine& m) {
      if (m.rng() % 2) {
        m.link.rig().card()->SetProcessingTime(sim::kInsReadPattern,
                                               m.rng() % 2 ? Milliseconds(4500) : Seconds(9));
      }
    };
    c.before = [](Machine& m, Planned&, int) {
      if (m.rng() % 2) m.link.reader().SendWtxBeforeNextAnswer(uint8_t(1 + m.rng() % 4));
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "IFS change";
    c.mild = true;
    c.line_faults = false;
    c.before = [](Machine& m, Planned& p, int) {
      const UCHAR sizes[] = {16, 32, 48, 100, 200, 254};
      UCHAR size = sizes[m.rng() % 6];
      switch (m.rng() % 3) {
        case 0:  // in the middle of the host's chain
          if (!m.card_ready) return;
          p = m.ChainedCommand();
          m.link.reader().RequestIfsInNextHostChain(size);
          return;
        case 1:  // before the reader's answer
          m.link.reader().RequestIfsBeforeNextAnswer(size);
          return;
        default:
          return;
      }
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "reader aborts";
    c.mild = true;
    c.line_faults = false;
    c.before = [](Machine& m, Planned& p, int) {
      if (!m.card_ready) return;
      switch (m.rng() % 4) {
        case 0:
          p = m.ChainedCommand();
          p.host_chain_aborted = true;
          m.link.reader().AbortNextHostChain();
          return;
        case 1:
          p = m.ChainedAnswer();
          p.reader_reports = {kSwTransmissionAborted};
          m.link.reader().AbortNextAnswerChain();
          return;
        default:
          return;
      }
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "silent reader";
    c.machines = 8;
    c.exchanges = 12;
    c.must_recover = true;
    // After two to five exchanges the reader's answers stop reaching the host for 20 to 80 s.
    c.before = [](Machine& m, Planned&, int i) {
      if (i == 0) m.silence_at = 2 + int(m.rng() % 4);
      if (i != m.silence_at) return;
      Ticks now = m.kernel.Now();
      m.link.line().reader_end().faults().Silence(now, now + Seconds(20 + int64_t(m.rng() % 61)));
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "S-requests anywhere";
    c.machines = kMachinesPerNewClass;
    c.mild = true;
    c.line_faults = false;
    // One to three of WTX and IFS, or an ABORT after them, at a block of either chain.
    c.before = [](Machine& m, Planned& p, int) {
      if (!m.card_ready) return;
      p = m.CardCommand();
      sim::ExchangePoint at = m.AnyPoint();
      std::vector<sim::ScriptStep> steps;
      for (int i = 0, n = 1 + int(m.rng() % 3); i < n; ++i) {
        const uint8_t sizes[] = {16, 32, 100, 254};
        if (m.rng() % 2) {
          steps.push_back({ScriptStep::Action::kWtx, uint8_t(1 + m.rng() % 3), 0, at, 1});
        } else {
          steps.push_back({ScriptStep::Action::kIfs, sizes[m.rng() % 4], 0, at, 1});
        }
      }
      if (m.rng() % 4 == 0) {
        steps.push_back({ScriptStep::Action::kAbort, 0, 0, at, 1});
        if (at.chain == sim::ExchangePoint::Chain::kHost) {
          p.host_chain_aborted = true;
        } else {
          p.reader_reports = {kSwTransmissionAborted};
        }
      }
      m.link.reader().Script(steps);
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "reader error answers";
    c.machines = kMachinesPerNewClass;
    c.mild = true;
    c.line_faults = false;
    c.reader_asks = false;
    // At the end of the host's chain or in the middle of either chain, after a WTX or not.
    c.before = [](Machine& m, Planned& p, int) {
      if (!m.card_ready || m.rng() % 2) return;
      p = m.CardCommand();
      const uint16_t words[] = {0x6283, 0x6400, 0x64A0, 0x6700, 0x6F00};
      uint16_t sw = words[m.rng() % 5];
      sim::ExchangePoint at = m.AnyPoint();
      std::vector<sim::ScriptStep> steps;
      if (m.rng() % 2) steps.push_back({ScriptStep::Action::kWtx, 1, 0, at, 1});
      steps.push_back({ScriptStep::Action::kReaderAnswer, 0, sw, at, 1});
      p.reader_reports = {{uint8_t(sw >> 8), uint8_t(sw)}};
      m.link.reader().Script(steps);
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "card pulled out";
    c.machines = kMachinesPerNewClass;
    c.line_faults = false;
    c.reader_asks = false;
    c.options = [](SimLinkOptions& o) { o.reader.removal_acts_at_once = true; };
    c.before = [](Machine& m, Planned& p, int) {
      if (!m.card_ready) return;
      p = m.CardCommand();
      p.card_may_go = true;
      p.reader_reports = {kSwNoCard};
      m.link.reader().Script({{ScriptStep::Action::kRemoveCard, 0, 0, m.AnyPoint(), 1}});
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "reader restarts";
    c.machines = kMachinesPerNewClass;
    // At a block of either chain, or at a moment of the exchange.
    c.before = [](Machine& m, Planned& p, int) {
      if (!m.card_ready) return;
      p = m.CardCommand();
      p.card_may_go = true;
      p.reader_reports = {kSwNoCard};
      if (m.rng() % 2) {
        m.link.reader().Script({{ScriptStep::Action::kRestart, 0, 0, m.AnyPoint(), 1}});
      } else {
        m.link.reader().RestartAt(m.Soon());
      }
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "DTR drops, 50 ms hold-up";
    c.machines = kMachinesPerNewClass;
    c.options = [](SimLinkOptions& o) { o.reader.dtr_holdup = Milliseconds(50); };
    c.before = [](Machine& m, Planned& p, int) {
      p.card_may_go = true;
      p.reader_reports = {kSwNoCard};
      m.link.line().DropDtr(m.Soon(), Milliseconds(5 + int64_t(m.rng() % 100)));
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "guard time 22 etu";
    c.machines = kMachinesPerNewClass;
    c.mild = true;
    c.options = [](SimLinkOptions& o) {
      o.reader.guard_time = Ticks(22 * host::kernel::kTicksPerSecond / 9600);
      o.serial.turnaround_min = Milliseconds(1);
      o.serial.turnaround_max = Milliseconds(11);
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "idle-line noise 5/s";
    c.machines = kMachinesPerNewClass;
    c.setup = [](Machine& m) {
      Ticks now = m.kernel.Now();
      m.link.line().reader_end().NoiseBetween(now, now + Seconds(600), 5);
      m.link.line().converter_end().NoiseBetween(now, now + Seconds(600), 5);
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "bursts, breaks, injections";
    c.machines = kMachinesPerNewClass;
    // Somewhere in each exchange, either way: a burst of bit errors, a break, or a character
    // with a bad parity bit.
    c.before = [](Machine& m, Planned&, int) {
      sim::SerialLine::End& end =
          m.rng() % 2 ? m.link.line().reader_end() : m.link.line().converter_end();
      Ticks at = m.Soon();
      switch (m.rng() % 3) {
        case 0:
          end.faults().Burst(at, at + Milliseconds(10 + int64_t(m.rng() % 90)), 0.02);
          break;
        case 1:
          end.BreakBetween(at, at + Milliseconds(20 + int64_t(m.rng() % 300)));
          break;
        default:
          end.InjectAt(at, uint8_t(m.rng()), true);
          break;
      }
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "echo of the host's bytes";
    c.machines = kMachinesPerNewClass;
    c.before = [](Machine& m, Planned&, int) {
      Ticks at = m.Soon();
      m.link.line().converter_end().faults().Echo(at,
                                                  at + Milliseconds(50 + int64_t(m.rng() % 250)));
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "mute after 2 bad, BER 1e-3";
    c.machines = kMachinesPerNewClass;
    c.options = [](SimLinkOptions& o) { o.reader.max_bad_blocks = 2; };
    c.setup = [](Machine& m) {
      BothDirections(m, [](sim::LineFaults& f, int) { f.SetBitErrorRate(1e-3); });
    };
    classes.push_back(c);
  }
  {
    FaultClass c;
    c.name = "parity ignored, BER 1e-3";
    c.lrc_only = true;
    c.machines = kMachinesPerNewClass;
    c.options = [](SimLinkOptions& o) {
      o.reader.parity = sim::CharacterErrors::kIgnore;
      o.serial.damaged_characters = sim::CharacterErrors::kIgnore;
    };
    c.setup = [](Machine& m) {
      BothDirections(m, [](sim::LineFaults& f, int) { f.SetBitErrorRate(1e-3); });
    };
    classes.push_back(c);
  }
  return classes;
}

}  // namespace

TEST(FAULT_MATRIX, NoCorruptedAnswerInAnyFaultClass) {
  std::vector<Tally> tallies;
  std::vector<std::string> corrupted;
  std::vector<FaultClass> classes;
  for (FaultClass& c : Classes()) {
    if (kMachineShare > 1 && c.options) continue;
    c.machines = std::max(2, c.machines / kMachineShare);
    classes.push_back(c);
  }
  for (const FaultClass& c : classes) {
    Tally total;
    for (int machine = 1; machine <= c.machines; ++machine) {
      total.Add(RunMachine(c, uint64_t(machine), corrupted));
    }
    tallies.push_back(total);
  }

  std::ostringstream table;
  table << "reader profile: " << sim::DescribeReaderProfile(sim::RealisticProfile()) << "\n";
  table << std::left << std::setw(28) << "class" << std::right << std::setw(7) << "tried"
        << std::setw(11) << "succeeded" << std::setw(8) << "failed" << std::setw(11) << "corrupted"
        << std::setw(10) << "power-ups" << std::setw(11) << "S-requests" << std::setw(9)
        << "R(error)" << std::setw(14) << "give-up (ms)"
        << "\n";
  for (size_t i = 0; i < classes.size(); ++i) {
    const Tally& t = tallies[i];
    table << std::left << std::setw(28) << classes[i].name << std::right << std::setw(7) << t.tried
          << std::setw(11) << t.succeeded << std::setw(8) << t.failed << std::setw(11)
          << t.corrupted << std::setw(10) << t.power_ups << std::setw(11) << t.reader_s_requests
          << std::setw(9) << t.error_r_blocks << std::setw(14)
          << t.slowest_give_up / Milliseconds(1) << "\n";
    ::testing::Test::RecordProperty(
        classes[i].name, std::to_string(t.tried) + "/" + std::to_string(t.succeeded) + "/" +
                             std::to_string(t.failed) + "/" + std::to_string(t.corrupted));
  }
  for (const FaultClass& c : classes) {
    if (!c.known_fault.empty())
      table << "known fault in \"" << c.name << "\": " << c.known_fault << "\n";
  }
  std::cout << table.str();
  for (const std::string& line : corrupted) std::cout << "  corrupted: " << line << "\n";

  for (size_t i = 0; i < classes.size(); ++i) {
    const FaultClass& c = classes[i];
    const Tally& t = tallies[i];
    if (!c.lrc_only && c.known_fault.empty()) {
      EXPECT_EQ(t.corrupted, 0) << c.name;
    }
    EXPECT_EQ(t.tried, t.succeeded + t.failed + t.corrupted) << c.name;
    // Most of the exchanges the reader was not scripted to fail.
    if (c.mild) {
      EXPECT_GE(t.succeeded * 10, (t.tried - t.scripted_failures) * 9) << c.name;
    }
    if (c.line_faults) {
      EXPECT_GT(t.error_r_blocks, 0) << c.name << ": the faults must really reach the link";
    } else {
      EXPECT_EQ(t.failed, t.scripted_failures) << c.name;
      if (c.reader_asks) {
        EXPECT_GT(t.reader_s_requests, t.machines) << c.name << ": the reader must really ask";
      }
    }
    // An answer that stops arriving holds the link for well under 2 s after its last character.
    EXPECT_LT(t.slowest_give_up / Milliseconds(1), 2000) << c.name;
    EXPECT_TRUE(!c.breaks_every_answer || t.give_ups == t.tried) << c.name << " " << t.give_ups;
    if (c.must_recover) {
      EXPECT_EQ(t.recovered_machines, t.machines) << c.name;
      EXPECT_GT(t.power_ups, 0) << c.name;
    }
  }
}
