// The command line of the zarq7 tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/fault_script.h"
#include "sim/reader_profile.h"

namespace tools {

enum class CardChoice { kBuiltin, kT0Only, kNone, kVicc };
enum class ProtocolChoice { kT1, kT0 };

// A short command APDU: header, Lc, 255 bytes of data, Le.
inline constexpr size_t kMaxApduLength = 261;
inline constexpr size_t kMinApduLength = 4;
inline constexpr uint16_t kDefaultViccPort = 35963;
inline constexpr uint32_t kDefaultRate = 9600;

struct SessionOptions {
  CardChoice card = CardChoice::kBuiltin;
  uint16_t vicc_port = kDefaultViccPort;
  ProtocolChoice protocol = ProtocolChoice::kT1;
  uint32_t rate = kDefaultRate;
  bool trace = false;
  bool silent_reader = false;  // the reader stops answering once the link is up
  sim::ReaderProfile reader_profile;
  sim::FaultScript faults;
  uint64_t seed = 1;
  std::vector<std::vector<uint8_t>> apdus;
};

struct CommandLine {
  bool ok = false;
  bool help = false;
  std::string error;  // one line, when !ok
  SessionOptions options;
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);
std::string UsageText();

}  // namespace tools
