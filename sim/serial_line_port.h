// A LinePort on one end of the simulated serial line: line settings configure that end, modem
// lines drive the end's outputs (DTR and RTS from the converter's end, the first of which powers
// the reader; DSR and CTS from the reader's), characters go out on the wire and characters that
// arrive are handed to the client.
//
// The end's transmitter is modelled as a UART with a holding register in front of its shift
// register: a character counts as gone (OnTransmitDone) as soon as it has started on the wire, so
// a client that hands over the next one then keeps the characters leaving back to back, exactly
// at the line's rate.
//
// Context: the line calls back from its device events; OnTransmitDone is always reported from a
// device event of its own, never from inside Transmit. Create the port inside the running
// machine, after the line, and destroy it before the line and after its client.
#pragma once

#include <mutex>

#include "host/kernel/kernel.h"
#include "sim/line_port.h"
#include "sim/serial_line.h"

namespace sim {

class SerialLinePort final : public LinePort {
 public:
  explicit SerialLinePort(SerialLine::End& end);
  ~SerialLinePort() override;
  SerialLinePort(const SerialLinePort&) = delete;
  SerialLinePort& operator=(const SerialLinePort&) = delete;

  void Connect(LineClient* client) override;
  void SetLineSettings(const UartSettings& settings) override;
  void SetModemLines(bool dtr, bool rts) override;
  void Purge(bool receive, bool transmit) override;
  void Transmit(uint8_t character) override;

  SerialLine::End& end() { return end_; }

 private:
  void OnLineEvent(const LineEvent& event);
  // Reports the holding register empty from a device event of its own.
  void ReportTransmitDoneLater();

  SerialLine::End& end_;
  SerialLine& line_;
  host::kernel::Kernel& kernel_;
  int observer_ = 0;
  // Guards client_, held_ and done_event_; never held while the client or the line is called.
  std::mutex mu_;
  LineClient* client_ = nullptr;
  size_t held_ = 0;  // characters handed over that have not started on the wire yet
  host::kernel::EventId done_event_ = 0;
};

}  // namespace sim
