// What a reader's DEVICENAME in pcscd's reader configuration asks the handler to plug in: a
// card kind, then options, separated by commas, after "zarq7:" (pcscd takes a device name without
// a colon for a file that must exist), in double quotes when there are options (pcscd's
// configuration takes commas and equal signs only in quotes):
//
//   zarq7:builtin                the built-in card (T=0 and T=1), line at 9600 bit/s
//   "zarq7:builtin,rate=115200"  the same with the reader switched to 115200 bit/s after start
//   "zarq7:t0,seed=7"            the T=0-only variant; its GET CHALLENGE drawn from seed 7
//   zarq7:none                   an empty slot
//   "zarq7:vicc,port=35963"      the slot holds whatever vicc emulator connects to that loopback
//                                port (Debian's vsmartcard vicc), while it stays connected
//   "zarq7:builtin,control=/c"   the control socket (zarq7-card) at that path
//
// Rates are the reader's: 9600, 19200, 28800, 38400, 57600, 115200. The control socket is by
// default beside pcscd's own socket: /run/pcscd/zarq7-USBTESKn.ctl for the device USBTESKn.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pcsc {

enum class CardKind { kBuiltin, kT0Only, kNone, kVicc };

struct DeviceSpec {
  CardKind card = CardKind::kBuiltin;
  uint32_t rate = 9600;
  uint64_t seed = 1;
  uint16_t vicc_port = 0;
  std::string control_path;  // empty: the default beside pcscd's socket
};

inline constexpr uint32_t kDefaultRate = 9600;

// Nothing, with the reason in *error, for a name the handler does not understand.
std::optional<DeviceSpec> ParseDeviceName(std::string_view name, std::string* error);

// "builtin", "t0", "none", "vicc"; and back.
std::string_view CardKindName(CardKind kind);
std::optional<CardKind> CardKindFromName(std::string_view name);

}  // namespace pcsc
