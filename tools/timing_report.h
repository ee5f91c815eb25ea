// Where one APDU exchange's time went, from what the machine records anyway (the converter's URBs
// and every character on its serial line), in virtual time:
//
//   request        the application's request until the first OUT URB with the block's bytes
//   OUT poll       an OUT URB waiting for its poll, until the block's first character starts
//   line, host     the host's blocks on the line, first character's start to last one's arrival
//   reader, card   from the host's last character to the reader's first: what reader and card took
//   line, reader   the reader's blocks on the line, its pauses between characters included
//   IN poll        from the reader's last character until the IN URB that brings it completes
//   control        the driver's own requests on the default pipe, its pipe aborts and resets and
//                  the transfers it cancelled (purges, cancels, counters), where nothing above is
//                  under way
//   between blocks the driver's own work between a block's arrival and its next block
//   completion     from the last answer byte's arrival until the application has its answer
//
// Every instant of the exchange goes to exactly one part ("between blocks" where none covers it;
// where several do, the line's, the reader's and card's and the IN poll's before the driver's
// own), so the parts add up to the exchange.
//
// IdealDriverTime() is what a driver that costs nothing would take against the same line, reader
// and card: the reader's and card's times and the reader's pauses as the line recorded them, the
// host's blocks sent in 8-byte packets one a poll from the moment it may send, the answers fetched
// in 8-byte packets one a poll, on the bus's polling schedule.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "host/machine/converter.h"
#include "host/usb/urb_trace.h"
#include "sim/line_trace.h"

namespace tools {

struct ToolContext;

struct ExchangeRecord {
  host::kernel::Ticks start = 0;  // the application's request
  host::kernel::Ticks end = 0;    // its completion
  // The blocks whose first character came in between, in the receivers' view, and each one's
  // characters' arrival times.
  std::vector<sim::DecodedBlock> blocks;
  std::vector<std::vector<host::kernel::Ticks>> arrivals;
  // The converter's URBs that were on the bus at some moment in between, in submission order.
  std::vector<host::usb::UrbRecord> urbs;
  host::kernel::Ticks character = 0;       // one character on the line at the host's rate
  host::kernel::Ticks polling_period = 0;  // of the converter's data endpoints
};

enum class TimingPart : size_t {
  kRequest,
  kOutPoll,
  kLineHost,
  kReaderCard,
  kLineReader,
  kInPoll,
  kBetweenBlocks,
  kControl,
  kCompletion,
};
inline constexpr size_t kTimingParts = 9;

struct TimingParts {
  std::array<host::kernel::Ticks, kTimingParts> ticks{};
  host::kernel::Ticks& operator[](TimingPart p) { return ticks[size_t(p)]; }
  host::kernel::Ticks operator[](TimingPart p) const { return ticks[size_t(p)]; }
  host::kernel::Ticks Total() const;
};

const char* TimingPartName(TimingPart part);
TimingParts SplitExchange(const ExchangeRecord& record);
host::kernel::Ticks IdealDriverTime(const ExchangeRecord& record);
// The split, one part a line, with the ideal driver's time and the ratio last.
std::string FormatTiming(const ExchangeRecord& record);

// Records one exchange on a converter whose line runs at `rate`: made just before the request,
// Finish() just after its completion.
class ExchangeRecorder {
 public:
  ExchangeRecorder(host::machine::Converter& converter, uint32_t rate, host::kernel::Ticks now);
  ExchangeRecord Finish(host::kernel::Ticks now);

 private:
  host::machine::Converter& converter_;
  uint32_t rate_;
  host::kernel::Ticks start_;
  size_t blocks_before_;
};

// The tool's --timing: one per APDU, made before the request; Stop() after its completion. Goes
// out of scope after the APDU's own lines were printed, and prints the split then (when the
// options ask for it), whichever way the APDU's handling ended.
class ApduTiming {
 public:
  explicit ApduTiming(ToolContext& context);
  ~ApduTiming();
  ApduTiming(const ApduTiming&) = delete;
  ApduTiming& operator=(const ApduTiming&) = delete;
  void Stop();

 private:
  ToolContext& context_;
  ExchangeRecorder recorder_;
  bool stopped_ = false;
  ExchangeRecord record_;
};

}  // namespace tools
