// How the tool's trace puts what crossed the USB and the serial line into words: T=1 blocks with
// their addresses and the reader commands they carry, the converter's requests by what they do,
// and URBs one per line.
#pragma once

#include <optional>
#include <string>

#include "host/kernel/ticks.h"
#include "host/usb/urb_trace.h"
#include "sim/line_trace.h"
#include "tools/session_text.h"

namespace tools {

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

// Whether a URB is one of the device's start or of the link's serial setup, which the trace shows
// without --usb: descriptors, configuration, status ports, line settings, modem lines; not the
// URBs that only move data or purge.
bool IsMilestone(const host::usb::UrbRecord& record);

// Describes one converter's URBs in the order they were sent. It keeps the state of DTR, so that
// the reader's power-up and DTR held on read apart.
class UrbDescriber {
 public:
  // What a milestone did: "configuration 1 selected", "line 9600 bit/s", "DTR on: the reader
  // powers up", ...
  std::string Milestone(const host::usb::UrbRecord& record);
  // One URB: "URB 7 VENDOR_ENDPOINT setup 42 02 04 00 00 00 00 00 -> STATUS_SUCCESS in 1.000 ms
  // (DTR on ...)".
  std::string Urb(const host::usb::UrbRecord& record);

 private:
  std::string ModemLines(uint16_t value);
  bool dtr_on_ = false;
};

}  // namespace tools
