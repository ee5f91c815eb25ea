#include "tools/converter_status.h"

#include <cstdio>
#include <initializer_list>

#include "platform/ntstatus.h"
#include "sim/converter/converter_protocol.h"

namespace tools {

namespace {

namespace cv = sim::converter;

constexpr size_t kReplyShown = 4;
constexpr int kMeaningWidth = 44;

// One bit that means something, and how to say its two states.
struct Bit {
  int byte;
  uint8_t mask;
  const char* meaning;
  const char* set;
  const char* clear;
};

constexpr Bit kCapabilityBits[] = {
    {cv::kCapabilitiesByte, cv::kCapabilityOutputFlowControl, "output flow control offered", "yes",
     "no"},
    {cv::kCapabilitiesByte, cv::kCapabilityCloseStopsReading,
     "closing the device stops permanent reading", "yes", "no"},
};
constexpr Bit kIdentityBits[] = {
    {cv::kIdentityControlByte, uint8_t(cv::kControlFlowControl),
     "control register: output flow control", "on", "off"},
};
constexpr Bit kNoBits[1] = {{0, 0, nullptr, nullptr, nullptr}};
constexpr Bit kFlowBits[] = {
    {cv::kFlowStateByte, cv::kFlowControlOn, "output flow control", "on", "off"},
    {cv::kFlowReadyByte, cv::kFlowReadyForData, "transmit FIFO has room for a packet", "yes", "no"},
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%s%02X", text.empty() ? "" : " ", v);
    text += b;
  }
  return text;
}

std::string Row(const std::string& where, const std::string& meaning, const std::string& value) {
  char line[160];
  std::snprintf(line, sizeof line, "  %-14s%-*s %s", where.c_str(), kMeaningWidth, meaning.c_str(),
                value.c_str());
  return line;
}

int BitNumber(uint8_t mask) {
  int n = 0;
  while (mask > 1) mask >>= 1, ++n;
  return n;
}

std::string BitPlace(int byte, uint8_t mask) {
  return "byte " + std::to_string(byte) + " bit " + std::to_string(BitNumber(mask));
}

uint16_t Word(const std::vector<uint8_t>& b, int at) { return uint16_t(b[at] | b[at + 1] << 8); }

// A 16-bit field of a reply, and how to say its value.
struct WordField {
  int byte;
  const char* meaning;
  std::string (*text)(uint16_t value);
};

std::string VersionText(uint16_t version) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%02X", version >> 8, version & 0xFF);
  return text;
}
std::string CountText(uint16_t count) { return std::to_string(count); }

// The reply's bytes, its word fields, every bit it defines, and any other bit that is set.
template <size_t N>
void Port(std::vector<std::string>& out, const std::string& title,
          const std::vector<uint8_t>& reply, const Bit (&bits)[N],
          std::initializer_list<WordField> words = {}) {
  if (reply.size() < kReplyShown) {
    out.push_back(title + ": not read");
    return;
  }
  out.push_back(title + ": " + Hex(reply));
  std::vector<uint8_t> explained(kReplyShown, 0);
  for (const WordField& w : words) {
    out.push_back(Row("bytes " + std::to_string(w.byte) + "-" + std::to_string(w.byte + 1),
                      w.meaning, w.text(Word(reply, w.byte))));
    explained[w.byte] = explained[w.byte + 1] = 0xFF;
  }
  for (const Bit& bit : bits) {
    if (!bit.mask) continue;
    out.push_back(Row(BitPlace(bit.byte, bit.mask), bit.meaning,
                      reply[bit.byte] & bit.mask ? bit.set : bit.clear));
    explained[bit.byte] |= bit.mask;
  }
  for (int byte = 0; byte < int(kReplyShown); ++byte) {
    for (uint8_t mask = 1; mask; mask <<= 1) {
      if ((reply[byte] & mask) && !(explained[byte] & mask)) {
        out.push_back(Row(BitPlace(byte, mask), "(not defined)", "set"));
      }
    }
  }
}

}  // namespace

std::vector<std::string> DescribeConverterStatus(const ConverterStatus& s) {
  std::vector<std::string> out;
  Port(out, "port 1, capabilities", s.capabilities, kCapabilityBits);
  Port(out, "port 2, identity", s.identity, kIdentityBits,
       {{cv::kIdentityFirmwareByte, "firmware version", VersionText}});
  Port(out, "port 4, flow control", s.flow, kFlowBits);
  Port(out, "counters", s.counters, kNoBits,
       {{cv::kCounterReceiveLevel, "bytes waiting in the receive FIFO", CountText},
        {cv::kCounterReceiveDropped, "bytes lost to a full receive FIFO", CountText}});
  return out;
}

int32_t ReadConverterStatus(ConverterControl& control, ConverterStatus* status, std::string* step) {
  struct Read {
    const char* what;
    uint8_t request;
    uint16_t value;
    std::vector<uint8_t>* reply;
  } reads[] = {
      {"status port 1", cv::kRequestPort, cv::kPortCapabilities, &status->capabilities},
      {"status port 2", cv::kRequestPort, cv::kPortIdentity, &status->identity},
      {"status port 4", cv::kRequestPort, cv::kPortFlow, &status->flow},
      {"counters", cv::kRequestCounters, 0, &status->counters},
  };
  for (const Read& r : reads) {
    if (int32_t s = control.ReadConverter(r.request, r.value, r.reply); !NT_SUCCESS(s)) {
      *step = r.what;
      return s;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace tools
