// A control code as the handler's log names it: "IOCTL_SMARTCARD_GET_STATE", "the raw reader
// command (SCARD_CTL_CODE(55))", or the code in hex for one it does not know.
#pragma once

#include <cstdint>
#include <string>

namespace pcsc {

std::string ControlCodeName(uint32_t code);

}  // namespace pcsc
