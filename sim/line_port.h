// One end of the serial line as the device on that end sees it: its UART's settings, its modem
// outputs, its transmitter, and the characters its receiver takes in. The converter drives its
// end through it, and so does a host thread's BlockingPort; SerialLinePort carries it out on the
// simulated line (a test may put a stand-in line behind it).
//
// Timing and context: everything runs on the kernel's virtual clock in the interrupt context
// (device events at DISPATCH_LEVEL). Neither side waits, and neither calls the other back from
// inside a call: the line reports a finished transmission or an arrived character from its own
// device event.
#pragma once
#include <cstdint>

#include "sim/uart_settings.h"

namespace sim {

// What the line calls on the device at its end.
class LineClient {
 public:
  virtual ~LineClient() = default;
  // A whole character arrived; `error` marks a parity or framing error.
  virtual void OnCharacterReceived(uint8_t character, bool error) = 0;
  // Every character handed to LinePort::Transmit has left the holding register; the transmitter
  // takes the next one without a gap on the wire.
  virtual void OnTransmitDone() = 0;
};

// What the device calls on the line.
class LinePort {
 public:
  virtual ~LinePort() = default;
  // The device connects itself when it starts and disconnects (nullptr) before it goes away.
  virtual void Connect(LineClient* client) = 0;
  virtual void SetLineSettings(const UartSettings& settings) = 0;
  // The end's modem outputs: DTR and RTS on the converter's end (DTR powers the reader).
  virtual void SetModemLines(bool dtr, bool rts) = 0;
  // Drops what the line end itself buffers; a character already on the wire is not recalled.
  virtual void Purge(bool receive, bool transmit) = 0;
  // Sends one character at the current settings, after those handed over before it. The
  // converter hands over the next one only after OnTransmitDone, so that nothing waits in the
  // line end; a host thread may hand over a whole block at once.
  virtual void Transmit(uint8_t character) = 0;
};

}  // namespace sim
