// The handler's readers by pcscd's logical unit number (Lun), in types both halves of the
// handler can see (ifd_codes.h): ifd_handler.cpp turns pcscd's calls into these, and they reach
// the reader's slot in the machine. The machine boots with the first reader opened and shuts down
// with the last one closed.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "pcsc/ifd_codes.h"

namespace pcsc {

// Readers the handler serves at once: the driver names its devices USBTESK0 to USBTESK8.
inline constexpr unsigned kMaxReaders = 9;

IfdCode OpenReader(uint32_t lun, std::string_view device_name);
IfdCode CloseReader(uint32_t lun);
IfdAnswer PowerCard(uint32_t lun, PowerAction action, size_t atr_capacity);
IfdCode SelectProtocol(uint32_t lun, uint32_t protocol);
IfdAnswer TransmitToCard(uint32_t lun, uint32_t protocol, std::span<const uint8_t> command,
                         size_t capacity);
IfdCode CardPresence(uint32_t lun);
IfdCode WaitForCardEvent(uint32_t lun, std::chrono::milliseconds timeout);
IfdCode StopWaitingForCardEvent(uint32_t lun);
// `code` as Windows writes it (IOCTL_SMARTCARD_..., 0x3100DC).
IfdAnswer ControlReader(uint32_t lun, uint32_t code, std::span<const uint8_t> input,
                        size_t capacity);
IfdAnswer GetReaderAttribute(uint32_t lun, uint32_t tag, size_t capacity);
IfdCode SetReaderAttribute(uint32_t lun, uint32_t tag, std::span<const uint8_t> value);

// Windows' control code for a smart card function number: SCARD_CTL_CODE(function) of winsmcrd.h.
uint32_t WindowsControlCode(uint32_t function);

// The reader's control socket, empty when it has none (for tests and the log).
std::string ControlSocketPath(uint32_t lun);

}  // namespace pcsc
