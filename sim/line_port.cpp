#include "sim/line_port.h"

#include "host/kernel/kernel.h"

namespace sim {

using host::kernel::Kernel;
using host::kernel::Ticks;

LinePort::LinePort(SerialLine::End& end) : end_(end), arrived_(std::make_unique<KEVENT>()) {
  KeInitializeEvent(arrived_.get(), SynchronizationEvent, FALSE);
  end_.SetReceiveCallback([this](const ReceivedCharacter& ch) { OnCharacter(ch); });
}

LinePort::~LinePort() { end_.SetReceiveCallback(nullptr); }

void LinePort::OnCharacter(const ReceivedCharacter& ch) {
  {
    std::lock_guard lock(mu_);
    bool damaged = ch.parity_error || ch.framing_error;
    if (damaged) ++errors_;
    if (damaged && discard_damaged_) return;
    received_.push_back(ch.value);
  }
  KeSetEvent(arrived_.get(), 0, FALSE);
}

void LinePort::SendAndDrain(std::span<const uint8_t> bytes) {
  end_.Transmit(bytes);
  // Owned by a shared pointer: the idle notification may outlive a wait that was unwound.
  auto drained = std::make_shared<KEVENT>();
  KeInitializeEvent(drained.get(), NotificationEvent, FALSE);
  end_.WhenTransmitterIdle([drained] { KeSetEvent(drained.get(), 0, FALSE); });
  KeWaitForSingleObject(drained.get(), Executive, KernelMode, FALSE, nullptr);
}

std::vector<uint8_t> LinePort::Receive(size_t count, Ticks timeout) {
  Kernel& k = Kernel::Current();
  Ticks deadline = k.Now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (received_.size() >= count) break;
    }
    Ticks left = deadline - k.Now();
    if (left <= 0) break;
    LARGE_INTEGER wait;
    wait.QuadPart = -left;
    KeWaitForSingleObject(arrived_.get(), Executive, KernelMode, FALSE, &wait);
  }
  std::lock_guard lock(mu_);
  size_t n = std::min(count, received_.size());
  std::vector<uint8_t> out(received_.begin(), received_.begin() + long(n));
  received_.erase(received_.begin(), received_.begin() + long(n));
  return out;
}

bool LinePort::WaitForCharacter(Ticks timeout) {
  Kernel& k = Kernel::Current();
  Ticks deadline = k.Now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (!received_.empty()) return true;
    }
    Ticks left = deadline - k.Now();
    if (left <= 0) return false;
    LARGE_INTEGER wait;
    wait.QuadPart = -left;
    KeWaitForSingleObject(arrived_.get(), Executive, KernelMode, FALSE, &wait);
  }
}

std::vector<uint8_t> LinePort::TakeAll() {
  std::lock_guard lock(mu_);
  std::vector<uint8_t> out(received_.begin(), received_.end());
  received_.clear();
  return out;
}

size_t LinePort::available() const {
  std::lock_guard lock(mu_);
  return received_.size();
}

uint64_t LinePort::error_count() const {
  std::lock_guard lock(mu_);
  return errors_;
}

void LinePort::set_discard_damaged(bool discard) {
  std::lock_guard lock(mu_);
  discard_damaged_ = discard;
}

void LinePort::Purge() {
  std::lock_guard lock(mu_);
  received_.clear();
}

}  // namespace sim
