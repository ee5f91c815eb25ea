// The converter's vendor requests on its default pipe and the meaning of their values and
// replies. Requests are vendor type to any recipient; the driver addresses the endpoint
// (bmRequestType 0x42 out, 0xC2 in).
#pragma once
#include <cstdint>

namespace sim::converter {

// bRequest
constexpr uint8_t kRequestLineSettings = 0x01;  // OUT, wValue: one rate bit and framing bits
constexpr uint8_t kRequestModemLines = 0x02;    // OUT, wValue: DTR and RTS changes
constexpr uint8_t kRequestCounters = 0x04;      // IN, 8 bytes: FIFO levels and loss counters
constexpr uint8_t kRequestPurge = 0x08;         // OUT, wValue: which FIFOs to empty
constexpr uint8_t kRequestPort = 0x10;  // IN: status port in wValue; OUT: control register or data

// Line settings (kRequestLineSettings). The high byte holds at most one rate bit, the low byte
// the framing; a request without rate bits keeps the rate, one without framing keeps the
// framing. Two rate bits, two parities or both stop-bit counts are refused with a stall.
constexpr uint16_t kRateMask = 0xFF00;
constexpr uint16_t kRate1200 = 0x0100;
constexpr uint16_t kRate9600 = 0x0200;
constexpr uint16_t kRate19200 = 0x0400;
constexpr uint16_t kRate28800 = 0x0800;
constexpr uint16_t kRate38400 = 0x1000;
constexpr uint16_t kRate57600 = 0x2000;
constexpr uint16_t kRate115200 = 0x4000;
constexpr uint16_t kStopBitsOne = 0x0001;
constexpr uint16_t kStopBitsTwo = 0x0002;
constexpr uint16_t kParityNone = 0x0010;
constexpr uint16_t kParityOdd = 0x0020;
constexpr uint16_t kParityEven = 0x0040;
constexpr uint16_t kStopBitsMask = kStopBitsOne | kStopBitsTwo;
constexpr uint16_t kParityMask = kParityNone | kParityOdd | kParityEven;
constexpr uint16_t kFramingMask = kStopBitsMask | kParityMask;

// Modem lines (kRequestModemLines); bits may be combined, a line switched on and off at once is
// refused with a stall.
constexpr uint16_t kRtsOn = 0x0001;
constexpr uint16_t kRtsOff = 0x0002;
constexpr uint16_t kDtrOn = 0x0004;
constexpr uint16_t kDtrOff = 0x0010;
constexpr uint16_t kModemLinesMask = kRtsOn | kRtsOff | kDtrOn | kDtrOff;

// Purge (kRequestPurge)
constexpr uint16_t kPurgeTransmit = 0x0001;
constexpr uint16_t kPurgeReceive = 0x0002;
constexpr uint16_t kPurgeMask = kPurgeTransmit | kPurgeReceive;

// Status ports (kRequestPort IN, port in wValue, wIndex ignored); replies are 8 bytes.
constexpr uint16_t kReplyLength = 8;
constexpr uint16_t kPortCapabilities = 1;
constexpr uint16_t kPortIdentity = 2;
constexpr uint16_t kPortFlow = 4;
// Port 1
constexpr int kCapabilitiesByte = 3;
constexpr uint8_t kCapabilityOutputFlowControl = 0x40;
constexpr uint8_t kCapabilityCloseStopsReading = 0x20;
// Port 2: bytes 0-1 firmware version, bytes 2-3 the control register
constexpr int kIdentityFirmwareByte = 0;
constexpr int kIdentityControlByte = 2;
// Port 4
constexpr int kFlowStateByte = 0;
constexpr uint8_t kFlowControlOn = 0x01;
constexpr int kFlowReadyByte = 2;
constexpr uint8_t kFlowReadyForData = 0x01;  // the transmit FIFO has room for a whole packet

// kRequestPort OUT: with no data stage wValue is written to the control register, whose bit 0
// switches output flow control on (reported in port 4); with a data stage the bytes are kept as
// the converter's user data (at most kUserDataSize bytes, longer stages stall).
constexpr uint16_t kControlFlowControl = 0x0001;
constexpr uint16_t kUserDataSize = 64;

// kRequestCounters reply, four little-endian words; the counts run on from power-up and wrap at
// 0x10000, so that whoever reads them sees every change
constexpr int kCounterReceiveLevel = 0;    // bytes waiting in the receive FIFO
constexpr int kCounterReceiveDropped = 2;  // bytes lost to a full receive FIFO
constexpr int kCounterTransmitLevel = 4;   // bytes waiting in the transmit FIFO
constexpr int kCounterReceiveErrors = 6;   // characters with parity or framing errors

}  // namespace sim::converter
