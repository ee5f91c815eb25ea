#include "sim/serial_line_port.h"

namespace sim {

SerialLinePort::SerialLinePort(SerialLine::End& end)
    : end_(end), line_(end.line()), kernel_(line_.kernel()) {
  observer_ = line_.AddObserver([this](const LineEvent& event) { OnLineEvent(event); });
}

SerialLinePort::~SerialLinePort() {
  line_.RemoveObserver(observer_);
  end_.SetReceiveCallback(nullptr);
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
    end_.SetReceiveCallback(nullptr);
    return;
  }
  end_.SetReceiveCallback([this](const ReceivedCharacter& ch) {
    LineClient* receiver;
    {
      std::lock_guard lock(mu_);
      receiver = client_;
    }
    if (receiver) receiver->OnCharacterReceived(ch.value, ch.parity_error || ch.framing_error);
  });
}

void SerialLinePort::SetLineSettings(const UartSettings& settings) { end_.Configure(settings); }

void SerialLinePort::SetModemLines(bool dtr, bool rts) {
  if (end_.direction() == Direction::kReaderToHost) {
    line_.SetDsr(dtr);
    line_.SetCts(rts);
    return;
  }
  // Only changes reach the line, so its counters show what the converter really switched.
  if (line_.dtr() != dtr) line_.SetDtr(dtr);
  if (line_.rts() != rts) line_.SetRts(rts);
}

void SerialLinePort::Purge(bool, bool transmit) {
  // The line end buffers nothing on the receive side beyond the character being sampled.
  if (!transmit) return;
  end_.PurgeTransmit();
  bool was_holding;
  {
    std::lock_guard lock(mu_);
    was_holding = held_ != 0;
    held_ = 0;
  }
  // The held characters are gone with the purge: the holding register is free again.
  if (was_holding) ReportTransmitDoneLater();
}

void SerialLinePort::Transmit(uint8_t character) {
  {
    std::lock_guard lock(mu_);
    ++held_;
  }
  end_.Transmit({character});
}

void SerialLinePort::OnLineEvent(const LineEvent& event) {
  if (event.kind != LineEvent::Kind::kSent || event.direction != end_.direction() ||
      event.inserted) {
    return;
  }
  {
    std::lock_guard lock(mu_);
    if (held_ == 0 || --held_ != 0) return;
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

}  // namespace sim
