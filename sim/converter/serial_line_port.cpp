#include "sim/converter/serial_line_port.h"

namespace sim::converter {

UartSettings ToUartSettings(const LineSettings& settings) {
  UartSettings uart;
  uart.bit_rate = settings.bits_per_second;
  uart.data_bits = settings.data_bits;
  uart.stop_bits = settings.stop_bits;
  switch (settings.parity) {
    case Parity::kNone:
      uart.parity = sim::Parity::kNone;
      break;
    case Parity::kOdd:
      uart.parity = sim::Parity::kOdd;
      break;
    case Parity::kEven:
      uart.parity = sim::Parity::kEven;
      break;
  }
  return uart;
}

SerialLinePort::SerialLinePort(SerialLine& line) : line_(line), kernel_(line.kernel()) {
  observer_ = line_.AddObserver([this](const LineEvent& event) { OnLineEvent(event); });
}

SerialLinePort::~SerialLinePort() {
  line_.RemoveObserver(observer_);
  line_.converter_end().SetReceiveCallback(nullptr);
  std::lock_guard lock(mu_);
  if (done_event_) kernel_.CancelScheduled(done_event_);
  client_ = nullptr;
}

void SerialLinePort::Connect(LineClient* client) {
  {
    std::lock_guard lock(mu_);
    client_ = client;
  }
  if (!client) {
    line_.converter_end().SetReceiveCallback(nullptr);
    return;
  }
  line_.converter_end().SetReceiveCallback([this](const ReceivedCharacter& ch) {
    LineClient* receiver;
    {
      std::lock_guard lock(mu_);
      receiver = client_;
    }
    if (receiver) receiver->OnCharacterReceived(ch.value, ch.parity_error || ch.framing_error);
  });
}

void SerialLinePort::SetLineSettings(const LineSettings& settings) {
  line_.converter_end().Configure(ToUartSettings(settings));
}

void SerialLinePort::SetModemLines(bool dtr, bool rts) {
  // Only changes reach the line, so its counters show what the converter really switched.
  if (line_.dtr() != dtr) line_.SetDtr(dtr);
  if (line_.rts() != rts) line_.SetRts(rts);
}

void SerialLinePort::Purge(bool, bool transmit) {
  // The line end buffers nothing on the receive side beyond the character being sampled.
  if (!transmit) return;
  line_.converter_end().PurgeTransmit();
  bool was_holding;
  {
    std::lock_guard lock(mu_);
    was_holding = holding_;
    holding_ = false;
  }
  // The held character is gone with the purge: the holding register is free again.
  if (was_holding) ReportTransmitDoneLater();
}

void SerialLinePort::Transmit(uint8_t character) {
  {
    std::lock_guard lock(mu_);
    holding_ = true;
  }
  line_.converter_end().Transmit({character});
}

void SerialLinePort::OnLineEvent(const LineEvent& event) {
  if (event.kind != LineEvent::Kind::kSent || event.direction != Direction::kHostToReader ||
      event.inserted) {
    return;
  }
  {
    std::lock_guard lock(mu_);
    if (!holding_) return;
    holding_ = false;
  }
  ReportTransmitDoneLater();
}

void SerialLinePort::ReportTransmitDoneLater() {
  std::lock_guard lock(mu_);
  if (done_event_) return;
  done_event_ = kernel_.ScheduleAfter(0, [this] {
    LineClient* client;
    {
      std::lock_guard lock(mu_);
      done_event_ = 0;
      client = client_;
    }
    if (client) client->OnTransmitDone();
  });
}

}  // namespace sim::converter
