#include "tools/session_trace.h"

#include <algorithm>

#include "host/kernel/kernel.h"

namespace tools {

namespace {

struct Line {
  host::kernel::Ticks time;
  std::string text;
};

// How long a block may pause before the decoder takes it as cut short (sim::DecodeOptions).
constexpr host::kernel::Ticks kBlockGap = sim::DecodeOptions{}.gap;

}  // namespace

SessionTrace::SessionTrace(host::machine::Converter& converter, bool usb)
    : converter_(converter), usb_(usb) {}

void SessionTrace::Note(host::kernel::Ticks time, std::string text) {
  notes_.push_back({time, std::move(text)});
}

void SessionTrace::Print(std::ostream& out, bool everything) {
  host::kernel::Ticks now = host::kernel::Kernel::Current().Now();
  std::vector<sim::DecodedBlock> blocks = converter_.line_trace().Blocks();
  std::vector<host::usb::UrbRecord> urbs = converter_.Urbs();
  auto shown = [&](const host::usb::UrbRecord& r) { return usb_ || IsMilestone(r); };

  host::kernel::Ticks until = host::kernel::kNoDeadline;
  if (!everything) {
    for (size_t i = urbs_printed_; i < urbs.size(); ++i) {
      if (!urbs[i].completed && shown(urbs[i])) {
        until = std::min(until, urbs[i].submitted);
        break;
      }
    }
    for (size_t i = blocks_printed_; i < blocks.size(); ++i) {
      if (!blocks[i].complete && now - blocks[i].last <= kBlockGap) {
        until = std::min(until, blocks[i].first);
        break;
      }
    }
  }

  std::vector<Line> lines;
  // A note at the moment a URB went out comes before it: the URB is the note's consequence.
  for (; notes_printed_ < notes_.size() && notes_[notes_printed_].time <= until; ++notes_printed_) {
    lines.push_back({notes_[notes_printed_].time, notes_[notes_printed_].text});
  }
  for (; urbs_printed_ < urbs.size() && urbs[urbs_printed_].submitted < until; ++urbs_printed_) {
    const host::usb::UrbRecord& r = urbs[urbs_printed_];
    if (usb_) {
      lines.push_back({r.submitted, urbs_.Urb(r)});
    } else if (IsMilestone(r)) {
      lines.push_back({r.submitted, urbs_.Milestone(r)});
    }
  }
  for (; blocks_printed_ < blocks.size() && blocks[blocks_printed_].first < until;
       ++blocks_printed_) {
    lines.push_back({blocks[blocks_printed_].first, blocks_.Describe(blocks[blocks_printed_])});
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const Line& a, const Line& b) { return a.time < b.time; });
  for (const Line& line : lines) out << "  [" << TimeText(line.time) << "] " << line.text << "\n";
}

}  // namespace tools
