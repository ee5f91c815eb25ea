// The converter's end of the simulated serial line as a converter::LinePort: line settings
// configure the converter end, modem lines drive DTR and RTS (DTR powers the reader), characters
// go out on the wire and characters that arrive are handed to the converter.
//
// The converter's transmitter is modelled as a UART with a holding register in front of its
// shift register: a character counts as gone (OnTransmitDone) as soon as it has started on the
// wire, so the converter hands over the next one while the current one is still being sent and
// consecutive characters leave back to back, exactly at the line's rate.
//
// Context: the line calls back from its device events; OnTransmitDone is always reported from a
// device event of its own, never from inside Transmit. Create the port inside the running
// machine, after the line, and destroy it before the line and after the converter.
#pragma once

#include <mutex>

#include "host/kernel/kernel.h"
#include "sim/converter/line_port.h"
#include "sim/serial_line.h"

namespace sim::converter {

// The line's framing for the converter's settings.
UartSettings ToUartSettings(const LineSettings& settings);

class SerialLinePort final : public LinePort {
 public:
  explicit SerialLinePort(SerialLine& line);
  ~SerialLinePort() override;
  SerialLinePort(const SerialLinePort&) = delete;
  SerialLinePort& operator=(const SerialLinePort&) = delete;

  void Connect(LineClient* client) override;
  void SetLineSettings(const LineSettings& settings) override;
  void SetModemLines(bool dtr, bool rts) override;
  void Purge(bool receive, bool transmit) override;
  void Transmit(uint8_t character) override;

  SerialLine& line() { return line_; }

 private:
  void OnLineEvent(const LineEvent& event);
  // Reports the holding register empty from a device event of its own.
  void ReportTransmitDoneLater();

  SerialLine& line_;
  host::kernel::Kernel& kernel_;
  int observer_ = 0;
  // Guards client_, holding_ and done_event_; never held while the client or the line is called.
  std::mutex mu_;
  LineClient* client_ = nullptr;
  bool holding_ = false;  // a character was handed over and has not started on the wire yet
  host::kernel::EventId done_event_ = 0;
};

}  // namespace sim::converter
