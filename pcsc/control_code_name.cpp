#include "pcsc/control_code_name.h"

#include <cstdio>

#include "platform/smclib.h"

namespace pcsc {

namespace {

struct Named {
  uint32_t code;
  const char* name;
};
constexpr Named kNames[] = {
    {IOCTL_SMARTCARD_POWER, "IOCTL_SMARTCARD_POWER"},
    {IOCTL_SMARTCARD_GET_ATTRIBUTE, "IOCTL_SMARTCARD_GET_ATTRIBUTE"},
    {IOCTL_SMARTCARD_SET_ATTRIBUTE, "IOCTL_SMARTCARD_SET_ATTRIBUTE"},
    {IOCTL_SMARTCARD_CONFISCATE, "IOCTL_SMARTCARD_CONFISCATE"},
    {IOCTL_SMARTCARD_TRANSMIT, "IOCTL_SMARTCARD_TRANSMIT"},
    {IOCTL_SMARTCARD_EJECT, "IOCTL_SMARTCARD_EJECT"},
    {IOCTL_SMARTCARD_SWALLOW, "IOCTL_SMARTCARD_SWALLOW"},
    {IOCTL_SMARTCARD_IS_PRESENT, "IOCTL_SMARTCARD_IS_PRESENT"},
    {IOCTL_SMARTCARD_IS_ABSENT, "IOCTL_SMARTCARD_IS_ABSENT"},
    {IOCTL_SMARTCARD_SET_PROTOCOL, "IOCTL_SMARTCARD_SET_PROTOCOL"},
    {IOCTL_SMARTCARD_GET_STATE, "IOCTL_SMARTCARD_GET_STATE"},
    {IOCTL_SMARTCARD_GET_LAST_ERROR, "IOCTL_SMARTCARD_GET_LAST_ERROR"},
    {IOCTL_SMARTCARD_GET_PERF_CNTR, "IOCTL_SMARTCARD_GET_PERF_CNTR"},
};
// The driver's raw reader command, SCARD_CTL_CODE(55).
constexpr uint32_t kRawReaderCommand = SCARD_CTL_CODE(55);

}  // namespace

std::string ControlCodeName(uint32_t code) {
  for (const Named& n : kNames) {
    if (n.code == code) return n.name;
  }
  char text[64];
  if (code == kRawReaderCommand) {
    std::snprintf(text, sizeof text, "raw reader command 0x%08X", code);
  } else {
    std::snprintf(text, sizeof text, "control code 0x%08X", code);
  }
  return text;
}

}  // namespace pcsc
