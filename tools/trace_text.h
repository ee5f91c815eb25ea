// How the tool's trace puts what crossed the USB and the serial line into words: T=1 blocks with
// their addresses and the reader commands they carry, the converter's requests by what they do,
// and URBs one per line.
#pragma once

#include <optional>
#include <string>

#include "host/kernel/ticks.h"
#include "host/usb/urb_trace.h"
#include "sim/line_trace.h"

namespace tools {

// "   1.813645 s"
std::string TimeText(host::kernel::Ticks t);

// The node a NAD address names: "host", "reader", "card".
std::string NodeName(uint8_t address);

// Describes the blocks of one line in the order they crossed it. It keeps which chains are open,
// so that only the first block of a command names the command.
class BlockDescriber {
 public:
  // "host->reader 12 00 05 20 13 00 80 00 A4  I(0,no more) NAD 12 (host to reader): status,
  // INF=20 13 00 80 00, LRC ok"
  std::string Describe(const sim::DecodedBlock& block);

 private:
  bool chain_open_[2] = {false, false};  // by direction: the last I-block had its more bit set
};

// The reader command an information field starts with: "reset slot", "status", "set parameters:
// protocol T=1", ...; nothing for bytes that are not a reader command.
std::optional<std::string> ReaderCommandName(std::span<const uint8_t> inf);

// What a URB of the device's start and of the link's serial setup did, for the trace without
// URBs: "configuration 1 selected", "line 9600 bit/s", "DTR on", ...; nothing for the URBs that
// only move data or purge.
std::optional<std::string> DescribeMilestone(const host::usb::UrbRecord& record);

// One URB: "URB 7 VENDOR_ENDPOINT setup 42 02 04 00 00 00 00 00 -> STATUS_SUCCESS in 1.000 ms".
std::string DescribeUrb(const host::usb::UrbRecord& record);

}  // namespace tools
