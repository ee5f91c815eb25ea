// The reader's command set on the T=1 link and its status words.
//
//   20 10 01 01            reset the card in slot 1: ATR + 90 01; 90 00 for a card the reader
//                          cannot use; 64 A1 without a card
//   20 10 00 xx            reset the reader itself: 90 00
//   20 14 01 00            power the card off: 90 00
//   20 13 00 80 00         GET STATUS: 80 01 S 90 00 (S bit 0 card present, bits 2..1 = 10 card
//                          powered)
//   80 60 P1 P2 Lc TLV...  SET PARAMETERS: tag 22 = card protocol (1 T=0, 2 T=1), tag 11 = line
//                          rate code (0..5); 90 00, then the line switches to the new rate
// Other classes: 6E 00; other instructions: 6D 00. Card commands while no card is present or
// powered are answered by the reader with 64 A1; a card that does not answer in time gives 64 A0.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

constexpr uint8_t kClaReader = 0x20;
constexpr uint8_t kClaReaderParameters = 0x80;
constexpr uint8_t kInsResetCard = 0x10;
constexpr uint8_t kInsGetStatus = 0x13;
constexpr uint8_t kInsPowerOff = 0x14;
constexpr uint8_t kInsSetParameters = 0x60;
constexpr uint8_t kP1Reader = 0x00;  // reset: the reader itself
constexpr uint8_t kP1Slot1 = 0x01;   // reset and power off: the card slot
constexpr uint8_t kGetStatusP1 = 0x00;
constexpr uint8_t kTagCardStatus = 0x80;  // GET STATUS P2 and the answer's data object
constexpr uint8_t kTagProtocol = 0x22;
constexpr uint8_t kTagRateCode = 0x11;
constexpr uint8_t kProtocolCodeT0 = 0x01;
constexpr uint8_t kProtocolCodeT1 = 0x02;

// GET STATUS status byte.
constexpr uint8_t kStatusCardPresent = 0x01;
constexpr uint8_t kStatusPowerMask = 0x06;
constexpr uint8_t kStatusPowered = 0x04;  // bits 2..1 = 10

// Line rates by code.
constexpr std::array<uint32_t, 6> kRateByCode = {9600, 19200, 28800, 38400, 57600, 115200};

// Status words of the reader itself.
constexpr uint16_t kSwReaderOk = 0x9000;
constexpr uint16_t kSwCardReset = 0x9001;            // after the ATR: a processor card answered
constexpr uint16_t kSwCardMute = 0x64A0;             // the card did not answer in time
constexpr uint16_t kSwNoCard = 0x64A1;               // no card, or the card is not powered
constexpr uint16_t kSwTransmissionAborted = 0x6400;  // the reader gave up its answer chain
constexpr uint16_t kSwRateRefused = 0x6A00;
constexpr uint16_t kSwProtocolAcceptedAlt = 0x6A80;  // some readers accept a protocol so
constexpr uint16_t kSwProtocolNotSupported = 0x6A81;

}  // namespace sim
