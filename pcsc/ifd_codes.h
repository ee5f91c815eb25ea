// The pcsc-lite reader handler's values as the machine's side of the handler speaks them. The
// handler's two halves live in different worlds: the entry points pcscd calls see pcsc-lite's
// headers (DWORD is 64 bits there), the machine's side sees platform/ (DWORD is 32 bits, Windows'
// names). Neither may include the other's headers, so the values they exchange are written here
// once, and ifd_handler.cpp checks each against pcsc-lite's own definition.
#pragma once

#include <cstdint>
#include <vector>

namespace pcsc {

// pcsc-lite's RESPONSECODE values (IFD_*).
enum class IfdCode : long {
  kSuccess = 0,
  kErrorTag = 600,
  kErrorSetFailure = 601,
  kErrorValueReadOnly = 602,
  kErrorPtsFailure = 605,
  kErrorNotSupported = 606,
  kProtocolNotSupported = 607,
  kErrorPowerAction = 608,
  kCommunicationError = 612,
  kResponseTimeout = 613,
  kNotSupported = 614,
  kIccPresent = 615,
  kIccNotPresent = 616,
  kNoSuchDevice = 617,
  kErrorInsufficientBuffer = 618,
};

// pcsc-lite's protocol bits (SCARD_PROTOCOL_*); T=0 and T=1 are Windows' bits as well, raw is not.
inline constexpr uint32_t kPcscProtocolT0 = 0x0001;
inline constexpr uint32_t kPcscProtocolT1 = 0x0002;
inline constexpr uint32_t kPcscProtocolRaw = 0x0004;

enum class PowerAction { kUp, kDown, kReset };

// A result with bytes (ATR, answer, attribute value).
struct IfdAnswer {
  IfdCode code = IfdCode::kSuccess;
  std::vector<uint8_t> data;
};

}  // namespace pcsc
