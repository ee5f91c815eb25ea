#include "sim/line_trace.h"

#include <algorithm>
#include <cstdio>

#include "sim/t1_block.h"

namespace sim {

using host::kernel::kTicksPerMillisecond;

namespace {

std::string Milliseconds(host::kernel::Ticks t) {
  char text[32];
  std::snprintf(text, sizeof text, "%10.3f ms", double(t) / double(kTicksPerMillisecond));
  return text;
}

}  // namespace

std::vector<DecodedBlock> DecodeBlocks(const std::vector<LineEvent>& events,
                                       const DecodeOptions& options) {
  std::vector<DecodedBlock> done;
  DecodedBlock partial[2];
  bool open[2] = {false, false};
  auto finish = [&](int d) {
    DecodedBlock& b = partial[d];
    b.complete = b.bytes.size() >= t1::kPrologueSize &&
                 b.bytes.size() == t1::kPrologueSize + b.bytes[2] + t1::kEpilogueSize;
    b.lrc_ok = b.complete && t1::Lrc(b.bytes) == 0;
    done.push_back(b);
    partial[d] = DecodedBlock{};
    open[d] = false;
  };
  host::kernel::Ticks gap = options.gap != 0 ? options.gap : kDefaultBlockGap;
  for (const LineEvent& e : events) {
    if (e.kind != options.view || (e.lost && !options.include_lost)) continue;
    int d = static_cast<int>(e.direction);
    if (open[d] && e.time - partial[d].last > gap) finish(d);
    if (!open[d]) {
      open[d] = true;
      partial[d].direction = e.direction;
      partial[d].first = e.time;
    }
    DecodedBlock& b = partial[d];
    b.last = e.time;
    b.bytes.push_back(e.value);
    b.character_errors = b.character_errors || e.parity_error || e.framing_error;
    if (b.bytes.size() >= t1::kPrologueSize &&
        b.bytes.size() == t1::kPrologueSize + b.bytes[2] + t1::kEpilogueSize) {
      finish(d);
    }
  }
  for (int d = 0; d < 2; ++d) {
    if (open[d]) finish(d);
  }
  std::stable_sort(done.begin(), done.end(),
                   [](const DecodedBlock& a, const DecodedBlock& b) { return a.first < b.first; });
  return done;
}

std::string DescribeBlock(const DecodedBlock& block) {
  std::string out = DirectionName(block.direction);
  out += ' ';
  out += t1::Hex(block.bytes);
  if (block.bytes.size() < t1::kPrologueSize) return out + "  cut short";
  out += "  " + t1::DescribePcb(block.bytes[1]);
  char nad[16];
  std::snprintf(nad, sizeof nad, " NAD %02X", block.bytes[0]);
  out += nad;
  size_t len = block.bytes[2];
  size_t have = block.bytes.size() - t1::kPrologueSize;
  if (len > 0) {
    size_t shown = std::min(len, have);
    out += " INF=" + t1::Hex(std::span(block.bytes).subspan(t1::kPrologueSize, shown));
  }
  if (!block.complete) {
    out += " cut short";
  } else {
    out += block.lrc_ok ? " LRC ok" : " LRC bad";
  }
  if (block.character_errors) out += " (character errors)";
  return out;
}

LineTrace::LineTrace(SerialLine& line) : line_(line) {
  observer_ = line_.AddObserver([this](const LineEvent& e) {
    std::lock_guard lock(mu_);
    events_.push_back(e);
  });
}

LineTrace::~LineTrace() { line_.RemoveObserver(observer_); }

std::vector<LineEvent> LineTrace::events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<uint8_t> LineTrace::Bytes(Direction direction, LineEvent::Kind view) const {
  std::lock_guard lock(mu_);
  std::vector<uint8_t> out;
  for (const LineEvent& e : events_) {
    if (e.direction == direction && e.kind == view && !e.lost) out.push_back(e.value);
  }
  return out;
}

std::vector<DecodedBlock> LineTrace::Blocks(const DecodeOptions& options) const {
  DecodeOptions decode = options;
  if (decode.gap == 0) {
    std::lock_guard lock(mu_);
    decode.gap = block_gap_;
  }
  return DecodeBlocks(events(), decode);
}

void LineTrace::set_block_gap(host::kernel::Ticks gap) {
  std::lock_guard lock(mu_);
  block_gap_ = gap;
}

std::string LineTrace::BlockText(const DecodeOptions& options) const {
  std::string out;
  for (const DecodedBlock& b : Blocks(options)) {
    out += Milliseconds(b.first) + "  " + DescribeBlock(b) + "\n";
  }
  return out;
}

std::string LineTrace::CharacterText() const {
  std::string out;
  char text[96];
  for (const LineEvent& e : events()) {
    const char* what = e.kind == LineEvent::Kind::kSent ? "sent" : "received";
    std::snprintf(text, sizeof text, "%s %s %s %02X%s%s%s%s\n", Milliseconds(e.time).c_str(),
                  DirectionName(e.direction), what, e.value, e.parity_error ? " parity error" : "",
                  e.framing_error ? " framing error" : "", e.inserted ? " inserted" : "",
                  e.lost ? " lost" : "");
    out += text;
  }
  return out;
}

void LineTrace::Clear() {
  std::lock_guard lock(mu_);
  events_.clear();
}

}  // namespace sim
