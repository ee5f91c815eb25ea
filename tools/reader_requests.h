// Requests of the driver's own beyond the smart card library's, as the tool sends them, and the
// names of what the library reports.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/machine/reader_handle.h"

namespace tools {

// The driver's raw reader command: the input is a reader command, sent to the reader over the
// link; the output is the reader's whole answer, status word included. 0x3100DC.
inline constexpr ULONG kIoctlRawReaderCommand = SCARD_CTL_CODE(55);
// Room for the longest answer of a reader command.
inline constexpr ULONG kRawAnswerCapacity = 258;

// The reader's set-parameters command with one data object: the line rate code.
std::vector<uint8_t> SetRateCommand(uint8_t rate_code);
host::io::IoResult SendRawReaderCommand(host::machine::ReaderHandle& reader,
                                        std::span<const uint8_t> command);
// Whether a reader's answer ends with its success status word 90 00.
bool ReaderAccepted(std::span<const uint8_t> answer);

// "no card", "card present, not powered", ... for a SCARD_* card state.
std::string CardStateName(ULONG state);

}  // namespace tools
