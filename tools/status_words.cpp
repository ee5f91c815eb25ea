#include "tools/status_words.h"

#include <cstdio>

namespace tools {

namespace {

struct Exact {
  uint8_t sw1, sw2;
  const char* text;
};

// Status words whose SW2 carries a meaning of its own.
constexpr Exact kExact[] = {
    {0x90, 0x00, "success"},
    {0x62, 0x81, "warning: part of the returned data may be corrupted"},
    {0x62, 0x82, "warning: end of file reached before Le bytes were read"},
    {0x62, 0x83, "warning: selected file invalidated"},
    {0x63, 0x00, "warning: verification failed"},
    {0x64, 0x00, "error: execution error, state unchanged"},
    {0x65, 0x81, "error: memory failure"},
    {0x67, 0x00, "error: wrong length"},
    {0x68, 0x81, "error: logical channel not supported"},
    {0x68, 0x82, "error: secure messaging not supported"},
    {0x69, 0x82, "error: security status not satisfied"},
    {0x69, 0x83, "error: authentication method blocked"},
    {0x69, 0x85, "error: conditions of use not satisfied"},
    {0x69, 0x86, "error: command not allowed (no current EF)"},
    {0x6A, 0x80, "error: incorrect parameters in the data field"},
    {0x6A, 0x81, "error: function not supported"},
    {0x6A, 0x82, "error: file or application not found"},
    {0x6A, 0x83, "error: record not found"},
    {0x6A, 0x84, "error: not enough memory space in the file"},
    {0x6A, 0x86, "error: incorrect parameters P1-P2"},
    {0x6A, 0x88, "error: referenced data not found"},
    {0x6B, 0x00, "error: wrong parameters P1-P2"},
    {0x6D, 0x00, "error: instruction code not supported or invalid"},
    {0x6E, 0x00, "error: class not supported"},
    {0x6F, 0x00, "error: no precise diagnosis"},
};

std::string Format(const char* format, unsigned value) {
  char text[96];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string ExplainStatusWord(uint8_t sw1, uint8_t sw2) {
  for (const Exact& e : kExact) {
    if (e.sw1 == sw1 && e.sw2 == sw2) return e.text;
  }
  switch (sw1) {
    case 0x61:
      return Format("success: %u bytes of answer wait for GET RESPONSE", sw2 ? sw2 : 256u);
    case 0x6C:
      return Format("error: wrong Le, %u bytes are available", sw2 ? sw2 : 256u);
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0)
        return Format("warning: verification failed, %u tries left", sw2 & 0x0F);
      return "warning: state of non-volatile memory changed";
    case 0x62:
      return "warning: state of non-volatile memory unchanged";
    case 0x64:
      return "error: execution error, state of non-volatile memory unchanged";
    case 0x65:
      return "error: execution error, state of non-volatile memory changed";
    case 0x66:
      return "error: security-related issue";
    case 0x68:
      return "error: functions in CLA not supported";
    case 0x69:
      return "error: command not allowed";
    case 0x6A:
      return "error: wrong parameters P1-P2";
    default:
      return "not an ISO 7816-4 status word";
  }
}

}  // namespace tools
