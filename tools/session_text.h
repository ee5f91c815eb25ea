// The lines the zarq7 tool prints for what the driver answered, whichever transport carried the
// requests: the host's simulated machine or DeviceIoControl on Windows. Both builds print these
// words, so a session reads the same on either.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "tools/converter_control.h"

namespace tools {

// An attribute's bytes as text, without trailing zeros (vendor name, reader type).
std::string AttributeText(std::span<const uint8_t> bytes);
// An attribute's bytes as one little-endian ULONG; nothing when they are not 4 bytes.
std::optional<uint32_t> AttributeUlong(std::span<const uint8_t> bytes);

// "reader: VENDOR TYPE, version 0.92 build 61, unit 0, line 9600 bit/s"; "?" for what the
// driver did not say.
std::string ReaderLine(const std::optional<std::string>& vendor,
                       const std::optional<std::string>& type, std::optional<uint32_t> version,
                       std::optional<uint32_t> unit, uint32_t rate);

// Why a protocol selection the card refused is no mystery: "the card's ATR does not offer T=1
// (it offers only T=0; try --protocol t0)", when the ATR parses and lacks the protocol.
std::optional<std::string> ProtocolNotOffered(std::span<const uint8_t> atr, bool wanted_t1);

// "> 00 A4 00 0C 02 3F 00"
std::string CommandLineText(std::span<const uint8_t> command);
// "> 20 13 00 80 00  status": a raw reader command, named.
std::string ReaderCommandLineText(std::span<const uint8_t> command);
// A card's answer (data and status word, at least 2 bytes): "< data" when there is some, then
// "< 90 00  success".
std::vector<std::string> ApduAnswerLines(std::span<const uint8_t> answer);
// The reader's answer to a raw reader command (at least 2 bytes): its data explained, then its
// status word in the reader's words.
std::vector<std::string> ReaderAnswerLines(std::span<const uint8_t> command,
                                           std::span<const uint8_t> answer);

// The driver's pipe table, a header line and a line a pipe.
std::vector<std::string> PipeTableLines(const std::vector<PipeInfo>& pipes);
std::string SettingInUseLine(const InterfaceSetting& setting);
// After `usb N`: the setting asked for against the one the driver selected.
std::string SelectedSettingLine(unsigned asked, const InterfaceSetting& selected);
std::string ReadingStateLine(uint16_t thread, uint16_t read_buffer_size);
// "vendor request (attribute 7A000): "Vendor IOCTL", 12 bytes"
std::string VendorLine(uint32_t tag, std::span<const uint8_t> answer);
// "7A000"
std::string VendorTagText(uint32_t tag);

// "   1.813645 s"
std::string TimeText(host::kernel::Ticks t);

// What a watch says: "[   0.000000 s] card present" at its start, "card inserted" or "card
// removed" when the card changed, "the request completed, the card is still present" when a
// presence request completed without a change.
std::string WatchLine(host::kernel::Ticks t, const std::string& what);
std::string CardPresenceText(bool present);
std::string CardChangeText(bool present);
std::string CardUnchangedText(bool present);

}  // namespace tools
