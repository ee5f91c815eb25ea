#include "tools/timing_report.h"

#include <algorithm>
#include <cstdio>

#include "sim/uart_settings.h"
#include "tools/tool_machine.h"

namespace tools {

namespace {

using host::kernel::Ticks;
using host::usb::UrbRecord;

// The converter's data packets: the bus moves at most this many bytes a poll each way.
constexpr size_t kPacket = 8;

constexpr const char* kPartNames[kTimingParts] = {
    "request to the first OUT URB",  "OUT URB waiting for its poll",
    "line, host's blocks",           "reader and card",
    "line, reader's blocks",         "answer waiting for the IN poll",
    "driver between blocks",         "driver's control transfers",
    "completion to the application",
};

// Which part a moment goes to when several cover it (lower first): what the line, the reader and
// the card do, and the polls that wait on the bus's schedule, come before what the driver spends,
// so that the driver is charged only for the time it adds; its own requests before the request's
// and the completion's way through the system.
constexpr int kRank[kTimingParts] = {
    /* request */ 6,        /* OUT poll */ 3,
    /* line, host */ 0,     /* reader, card */ 1,
    /* line, reader */ 0,   /* IN poll */ 2,
    /* between blocks */ 7, /* control */ 4,
    /* completion */ 6,
};

bool DataTransfer(const UrbRecord& u) {
  return u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

bool HostBlock(const sim::DecodedBlock& b) { return b.direction == sim::Direction::kHostToReader; }

// When the first character of a block began: its arrival is one character later.
Ticks StartOf(const ExchangeRecord& r, const sim::DecodedBlock& b) {
  return b.first > r.character ? b.first - r.character : 0;
}

// For each reader's block of the record, when the IN URB that brought its last byte completed
// (the exchange's end when none did): the IN data counted in completion order against the
// reader's bytes.
std::vector<Ticks> Deliveries(const ExchangeRecord& r) {
  std::vector<const UrbRecord*> in;
  for (const UrbRecord& u : r.urbs) {
    if (DataTransfer(u) && u.In() && u.completed && NT_SUCCESS(u.status) && u.actual_length > 0 &&
        u.completed_at > r.start && u.completed_at <= r.end) {
      in.push_back(&u);
    }
  }
  std::stable_sort(in.begin(), in.end(), [](const UrbRecord* a, const UrbRecord* b) {
    return a->completed_at < b->completed_at;
  });
  std::vector<Ticks> deliveries;
  size_t wanted = 0, got = 0, next = 0;
  for (const sim::DecodedBlock& b : r.blocks) {
    if (HostBlock(b)) continue;
    wanted += b.bytes.size();
    Ticks at = r.end;
    while (got < wanted && next < in.size()) got += in[next++]->actual_length;
    if (got >= wanted && next > 0) at = in[next - 1]->completed_at;
    deliveries.push_back(std::max(at, b.last));
  }
  return deliveries;
}

// For each host's block, when the OUT URB that carried its first byte was submitted (nothing,
// as the block's own start, when none is found): the OUT data counted in submission order.
std::vector<Ticks> Submissions(const ExchangeRecord& r) {
  std::vector<const UrbRecord*> out;
  for (const UrbRecord& u : r.urbs) {
    if (DataTransfer(u) && !u.In() && u.submitted >= r.start && u.submitted <= r.end) {
      out.push_back(&u);
    }
  }
  std::vector<Ticks> submissions;
  size_t offset = 0, carried = 0, next = 0;
  Ticks latest = r.start;
  for (const sim::DecodedBlock& b : r.blocks) {
    if (!HostBlock(b)) continue;
    Ticks at = StartOf(r, b);
    while (next < out.size() && carried <= offset) {
      latest = out[next]->submitted;
      carried += out[next++]->out_data.size();
    }
    if (carried > offset) at = std::min(latest, at);
    submissions.push_back(at);
    offset += b.bytes.size();
  }
  return submissions;
}

std::string Count(size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

struct Interval {
  Ticks from, to;
  TimingPart part;
};

}  // namespace

Ticks TimingParts::Total() const {
  Ticks total = 0;
  for (Ticks t : ticks) total += t;
  return total;
}

const char* TimingPartName(TimingPart part) { return kPartNames[size_t(part)]; }

TimingParts SplitExchange(const ExchangeRecord& r) {
  std::vector<Interval> spans;
  std::vector<Ticks> deliveries = Deliveries(r);
  std::vector<Ticks> submissions = Submissions(r);
  size_t reader = 0, host = 0;
  for (size_t i = 0; i < r.blocks.size(); ++i) {
    const sim::DecodedBlock& b = r.blocks[i];
    if (HostBlock(b)) {
      spans.push_back({StartOf(r, b), b.last, TimingPart::kLineHost});
      spans.push_back({submissions[host], StartOf(r, b), TimingPart::kOutPoll});
      if (host++ == 0) spans.push_back({r.start, submissions[0], TimingPart::kRequest});
    } else {
      spans.push_back({StartOf(r, b), b.last, TimingPart::kLineReader});
      if (i > 0) spans.push_back({r.blocks[i - 1].last, StartOf(r, b), TimingPart::kReaderCard});
      spans.push_back({b.last, deliveries[reader++], TimingPart::kInPoll});
    }
  }
  if (!deliveries.empty()) spans.push_back({deliveries.back(), r.end, TimingPart::kCompletion});
  // The driver's requests on the default pipe and its aborts, and the transfers it cancelled
  // (waiting for a cancel to complete is its own doing too).
  for (const UrbRecord& u : r.urbs) {
    if (!DataTransfer(u) || (u.completed && u.status == STATUS_CANCELLED)) {
      spans.push_back({u.submitted, u.completed ? u.completed_at : r.end, TimingPart::kControl});
    }
  }
  // Every moment at which some part begins or ends, inside the exchange.
  std::vector<Ticks> moments{r.start, r.end};
  for (Interval& s : spans) {
    s.from = std::clamp(s.from, r.start, r.end);
    s.to = std::clamp(s.to, r.start, r.end);
    moments.push_back(s.from);
    moments.push_back(s.to);
  }
  std::sort(moments.begin(), moments.end());
  moments.erase(std::unique(moments.begin(), moments.end()), moments.end());
  TimingParts parts;
  for (size_t i = 0; i + 1 < moments.size(); ++i) {
    Ticks from = moments[i], to = moments[i + 1];
    const Interval* chosen = nullptr;
    for (const Interval& s : spans) {
      if (s.from <= from && s.to >= to && s.from < s.to &&
          (!chosen || kRank[size_t(s.part)] < kRank[size_t(chosen->part)])) {
        chosen = &s;
      }
    }
    parts[chosen ? chosen->part : TimingPart::kBetweenBlocks] += to - from;
  }
  return parts;
}

Ticks IdealDriverTime(const ExchangeRecord& r) {
  const Ticks period = std::max<Ticks>(r.polling_period, 1);
  auto poll_after = [&](Ticks t) { return (t / period + 1) * period; };
  auto poll_at_or_after = [&](Ticks t) { return (t + period - 1) / period * period; };
  Ticks ready = r.start;         // when the driver has its next block to send
  Ticks line_end = r.start;      // when the last block so far ended on the line, here
  Ticks recorded_end = r.start;  // and in the record
  for (size_t i = 0; i < r.blocks.size(); ++i) {
    const sim::DecodedBlock& b = r.blocks[i];
    const std::vector<Ticks>& arrivals = r.arrivals[i];
    if (HostBlock(b)) {
      // Sent the moment it may be: one packet at each poll from the first after that moment, each
      // character as soon as its packet is in and the one before it is out.
      Ticks poll = poll_after(std::max(ready, line_end));
      Ticks free = 0;
      for (size_t k = 0; k < b.bytes.size(); ++k) {
        if (k > 0 && k % kPacket == 0) poll += period;
        free = std::max(poll, free) + r.character;
      }
      line_end = free;
      ready = free;
    } else {
      // The reader's and card's time and the reader's pauses as recorded; fetched a packet a poll.
      Ticks recorded_start = StartOf(r, b);
      Ticks start = line_end + (recorded_start > recorded_end ? recorded_start - recorded_end : 0);
      std::vector<Ticks> here;
      for (Ticks a : arrivals) here.push_back(start + (a - recorded_start));
      if (here.empty()) here.push_back(start + (b.last - recorded_start));
      size_t taken = 0;
      Ticks poll = poll_at_or_after(here.front());
      Ticks delivered = poll;
      while (taken < here.size()) {
        size_t there = size_t(std::upper_bound(here.begin(), here.end(), poll) - here.begin());
        if (there > taken) {
          taken = std::min(there, taken + kPacket);
          delivered = poll;
        }
        poll += period;
      }
      line_end = here.back();
      ready = delivered;
    }
    recorded_end = b.last;
  }
  return ready - r.start;
}

std::string FormatTiming(const ExchangeRecord& r) {
  TimingParts parts = SplitExchange(r);
  size_t host_characters = 0, reader_characters = 0, host_blocks = 0, control = 0;
  for (const sim::DecodedBlock& b : r.blocks) {
    (HostBlock(b) ? host_characters : reader_characters) += b.bytes.size();
    host_blocks += HostBlock(b);
  }
  for (const UrbRecord& u : r.urbs) {
    control += (!DataTransfer(u) || (u.completed && u.status == STATUS_CANCELLED)) &&
               u.submitted >= r.start && u.submitted <= r.end;
  }
  auto ms = [](Ticks t) { return double(t) / double(host::kernel::kTicksPerMillisecond); };
  char line[160];
  std::string text;
  std::snprintf(line, sizeof line,
                "  timing: %.3f ms from the request to its completion, %zu blocks on the line:\n",
                ms(r.end - r.start), r.blocks.size());
  text += line;
  for (size_t i = 0; i < kTimingParts; ++i) {
    TimingPart part = TimingPart(i);
    std::string note;
    if (part == TimingPart::kLineHost) {
      note = Count(host_blocks, "block") + ", " + Count(host_characters, "character");
    } else if (part == TimingPart::kLineReader) {
      note = Count(r.blocks.size() - host_blocks, "block") + ", " +
             Count(reader_characters, "character");
    } else if (part == TimingPart::kControl) {
      note = Count(control, "URB");
    }
    std::snprintf(line, sizeof line, "    %-32s %9.3f ms%s%s\n", TimingPartName(part),
                  ms(parts[part]), note.empty() ? "" : "  ", note.c_str());
    text += line;
  }
  Ticks ideal = IdealDriverTime(r);
  std::snprintf(line, sizeof line,
                "    a driver that cost nothing: %.3f ms (this one took %.2f times that)\n",
                ms(ideal), ideal ? double(r.end - r.start) / double(ideal) : 0.0);
  text += line;
  return text;
}

ExchangeRecorder::ExchangeRecorder(host::machine::Converter& converter, uint32_t rate, Ticks now)
    : converter_(converter),
      rate_(rate),
      start_(now),
      blocks_before_(converter.line_trace().Blocks().size()) {}

ExchangeRecord ExchangeRecorder::Finish(Ticks now) {
  ExchangeRecord r;
  r.start = start_;
  r.end = now;
  sim::UartSettings settings = sim::kLinkSettings;
  settings.bit_rate = rate_;
  r.character = sim::CharacterTime(settings);
  r.polling_period = converter_.polling_period();
  std::vector<sim::DecodedBlock> blocks = converter_.line_trace().Blocks();
  std::vector<sim::LineEvent> events = converter_.line_trace().events();
  for (size_t i = blocks_before_; i < blocks.size(); ++i) {
    const sim::DecodedBlock& b = blocks[i];
    std::vector<Ticks> arrivals;
    for (const sim::LineEvent& e : events) {
      if (e.kind == sim::LineEvent::Kind::kReceived && e.direction == b.direction &&
          e.time >= b.first && e.time <= b.last) {
        arrivals.push_back(e.time);
      }
    }
    r.blocks.push_back(b);
    r.arrivals.push_back(std::move(arrivals));
  }
  for (UrbRecord& u : converter_.Urbs()) {
    if (u.submitted <= now && (!u.completed || u.completed_at >= start_)) {
      r.urbs.push_back(std::move(u));
    }
  }
  return r;
}

ApduTiming::ApduTiming(ToolContext& context)
    : context_(context),
      recorder_(context.converter, context.options.rate, context.machine.Now()) {}

void ApduTiming::Stop() {
  record_ = recorder_.Finish(context_.machine.Now());
  stopped_ = true;
}

ApduTiming::~ApduTiming() {
  if (context_.options.timing && stopped_) context_.out << FormatTiming(record_);
}

}  // namespace tools
