// The entry points pcscd finds in the handler (pcsc-lite's IFD handler API, version 3). Each
// turns pcscd's call into the reader's request (handler.h) and copies the answer back within
// the lengths pcscd gave.
//
// This file alone sees pcsc-lite's headers; it checks that the values handler.h's side speaks
// (ifd_codes.h) are pcsc-lite's own.
// The entry points are C functions; the header does not say so itself.
extern "C" {
#include <ifdhandler.h>
}
#include <reader.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "pcsc/handler.h"
#include "pcsc/ifd_codes.h"

using pcsc::IfdAnswer;
using pcsc::IfdCode;

static_assert(long(IfdCode::kSuccess) == IFD_SUCCESS);
static_assert(long(IfdCode::kErrorTag) == IFD_ERROR_TAG);
static_assert(long(IfdCode::kErrorSetFailure) == IFD_ERROR_SET_FAILURE);
static_assert(long(IfdCode::kErrorValueReadOnly) == IFD_ERROR_VALUE_READ_ONLY);
static_assert(long(IfdCode::kErrorPtsFailure) == IFD_ERROR_PTS_FAILURE);
static_assert(long(IfdCode::kErrorNotSupported) == IFD_ERROR_NOT_SUPPORTED);
static_assert(long(IfdCode::kProtocolNotSupported) == IFD_PROTOCOL_NOT_SUPPORTED);
static_assert(long(IfdCode::kErrorPowerAction) == IFD_ERROR_POWER_ACTION);
static_assert(long(IfdCode::kCommunicationError) == IFD_COMMUNICATION_ERROR);
static_assert(long(IfdCode::kResponseTimeout) == IFD_RESPONSE_TIMEOUT);
static_assert(long(IfdCode::kNotSupported) == IFD_NOT_SUPPORTED);
static_assert(long(IfdCode::kIccPresent) == IFD_ICC_PRESENT);
static_assert(long(IfdCode::kIccNotPresent) == IFD_ICC_NOT_PRESENT);
static_assert(long(IfdCode::kNoSuchDevice) == IFD_NO_SUCH_DEVICE);
static_assert(long(IfdCode::kErrorInsufficientBuffer) == IFD_ERROR_INSUFFICIENT_BUFFER);
static_assert(pcsc::kPcscProtocolT0 == SCARD_PROTOCOL_T0);
static_assert(pcsc::kPcscProtocolT1 == SCARD_PROTOCOL_T1);
static_assert(pcsc::kPcscProtocolRaw == SCARD_PROTOCOL_RAW);

namespace {

// pcsc-lite writes SCARD_CTL_CODE(n) as 0x42000000 + n; Windows' function numbers have 12 bits.
constexpr DWORD kPcscControlBase = SCARD_CTL_CODE(0);
constexpr DWORD kLargestFunction = 0xFFF;
constexpr UCHAR kOneSlot = 1;
constexpr UCHAR kThreadSafe = 1;
constexpr UCHAR kOneSlotAtATime = 0;
// pcscd stops the polling thread with IFDHStopPolling rather than cancelling it.
constexpr UCHAR kNotKillable = 0;
// pcscd names a transmission's protocol by its number (0 for T=0, 1 for T=1), but raw by its bit.
constexpr DWORD kTransmitT0 = 0;
constexpr DWORD kTransmitT1 = 1;

RESPONSECODE Code(IfdCode code) { return RESPONSECODE(code); }

// Copies value into the caller's buffer of *length bytes; *length becomes the value's length.
RESPONSECODE CopyOut(const void* value, size_t size, PUCHAR buffer, PDWORD length) {
  if (!length || (size && !buffer)) return IFD_COMMUNICATION_ERROR;
  if (*length < size) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (size) std::memcpy(buffer, value, size);
  *length = DWORD(size);
  return IFD_SUCCESS;
}

RESPONSECODE CopyByte(UCHAR value, PUCHAR buffer, PDWORD length) {
  return CopyOut(&value, 1, buffer, length);
}

RESPONSECODE Polling(DWORD Lun, int timeout) {
  return Code(pcsc::WaitForCardEvent(DWORD(Lun), std::chrono::milliseconds(std::max(timeout, 0))));
}

RESPONSECODE StopPolling(DWORD Lun) { return Code(pcsc::StopWaitingForCardEvent(DWORD(Lun))); }

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Code(pcsc::OpenReader(uint32_t(Lun), DeviceName ? DeviceName : ""));
}

// A reader configured without a device name: the built-in card.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  (void)Channel;
  return Code(pcsc::OpenReader(uint32_t(Lun), "builtin"));
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) { return Code(pcsc::CloseReader(uint32_t(Lun))); }

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  switch (Tag) {
    case TAG_IFD_SLOTS_NUMBER:
      return CopyByte(kOneSlot, Value, Length);
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      return CopyByte(pcsc::kMaxReaders, Value, Length);
    case TAG_IFD_THREAD_SAFE:
      return CopyByte(kThreadSafe, Value, Length);
    case TAG_IFD_SLOT_THREAD_SAFE:
      return CopyByte(kOneSlotAtATime, Value, Length);
    case TAG_IFD_POLLING_THREAD_KILLABLE:
      return CopyByte(kNotKillable, Value, Length);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
      RESPONSECODE (*polling)(DWORD, int) = Polling;
      return CopyOut(&polling, sizeof polling, Value, Length);
    }
    case TAG_IFD_STOP_POLLING_THREAD: {
      RESPONSECODE (*stop)(DWORD) = StopPolling;
      return CopyOut(&stop, sizeof stop, Value, Length);
    }
    default:
      break;
  }
  if (!Length || !Value) return IFD_COMMUNICATION_ERROR;
  // TAG_IFD_ATR is the ATR attribute's tag: the driver's attributes answer it and the others.
  DWORD tag = Tag == TAG_IFD_ATR ? SCARD_ATTR_ATR_STRING : Tag;
  IfdAnswer answer = pcsc::GetReaderAttribute(uint32_t(Lun), uint32_t(tag), *Length);
  if (answer.code != IfdCode::kSuccess) return Code(answer.code);
  return CopyOut(answer.data.data(), answer.data.size(), Value, Length);
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
  // The one slot is slot 0.
  if (Tag == TAG_IFD_SLOTNUM)
    return Length >= 1 && Value && Value[0] == 0 ? IFD_SUCCESS : IFD_ERROR_TAG;
  if (Length && !Value) return IFD_COMMUNICATION_ERROR;
  return Code(pcsc::SetReaderAttribute(uint32_t(Lun), uint32_t(Tag), {Value, size_t(Length)}));
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags, UCHAR PTS1,
                                       UCHAR PTS2, UCHAR PTS3) {
  (void)PTS1, (void)PTS2, (void)PTS3;
  // The reader negotiates the card's parameters itself; pcscd never asks for others.
  if (Flags & (IFD_NEGOTIATE_PTS1 | IFD_NEGOTIATE_PTS2 | IFD_NEGOTIATE_PTS3)) {
    return IFD_NOT_SUPPORTED;
  }
  return Code(pcsc::SelectProtocol(uint32_t(Lun), uint32_t(Protocol)));
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  pcsc::PowerAction action;
  switch (Action) {
    case IFD_POWER_UP:
      action = pcsc::PowerAction::kUp;
      break;
    case IFD_RESET:
      action = pcsc::PowerAction::kReset;
      break;
    case IFD_POWER_DOWN:
      action = pcsc::PowerAction::kDown;
      break;
    default:
      return IFD_NOT_SUPPORTED;
  }
  // pcscd gives no ATR buffer for a power down.
  size_t capacity = Atr && AtrLength ? std::min<size_t>(*AtrLength, MAX_ATR_SIZE) : 0;
  IfdAnswer answer = pcsc::PowerCard(uint32_t(Lun), action, capacity);
  if (AtrLength) *AtrLength = 0;
  if (answer.code != IfdCode::kSuccess || action == pcsc::PowerAction::kDown) {
    return Code(answer.code);
  }
  if (!Atr || !AtrLength) return IFD_COMMUNICATION_ERROR;
  DWORD length = DWORD(capacity);
  RESPONSECODE copied = CopyOut(answer.data.data(), answer.data.size(), Atr, &length);
  if (copied == IFD_SUCCESS) *AtrLength = length;
  return copied;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  if (!RxLength || (TxLength && !TxBuffer) || (*RxLength && !RxBuffer)) {
    return IFD_COMMUNICATION_ERROR;
  }
  DWORD capacity = *RxLength;
  *RxLength = 0;
  DWORD protocol;
  switch (SendPci.Protocol) {
    case kTransmitT0:
      protocol = SCARD_PROTOCOL_T0;
      break;
    case kTransmitT1:
      protocol = SCARD_PROTOCOL_T1;
      break;
    case SCARD_PROTOCOL_RAW:
      protocol = SCARD_PROTOCOL_RAW;
      break;
    default:
      return IFD_PROTOCOL_NOT_SUPPORTED;
  }
  IfdAnswer answer = pcsc::TransmitToCard(uint32_t(Lun), uint32_t(protocol),
                                          {TxBuffer, size_t(TxLength)}, capacity);
  if (answer.code != IfdCode::kSuccess) return Code(answer.code);
  if (RecvPci) *RecvPci = SendPci;
  *RxLength = capacity;
  return CopyOut(answer.data.data(), answer.data.size(), RxBuffer, RxLength);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) { return Code(pcsc::CardPresence(uint32_t(Lun))); }

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                         PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
  if (!pdwBytesReturned || (TxLength && !TxBuffer) || (RxLength && !RxBuffer)) {
    return IFD_COMMUNICATION_ERROR;
  }
  *pdwBytesReturned = 0;
  // No pin pad, no display, no other feature of the CCID world.
  if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) return IFD_SUCCESS;
  DWORD code = dwControlCode;
  if (code >= kPcscControlBase && code <= kPcscControlBase + kLargestFunction) {
    code = pcsc::WindowsControlCode(uint32_t(code - kPcscControlBase));
  }
  IfdAnswer answer =
      pcsc::ControlReader(uint32_t(Lun), uint32_t(code), {TxBuffer, size_t(TxLength)}, RxLength);
  if (answer.code != IfdCode::kSuccess) return Code(answer.code);
  DWORD length = RxLength;
  RESPONSECODE copied = CopyOut(answer.data.data(), answer.data.size(), RxBuffer, &length);
  if (copied == IFD_SUCCESS) *pdwBytesReturned = length;
  return copied;
}

}  // extern "C"
