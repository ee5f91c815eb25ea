#include "sim/blocking_port.h"

#include "host/kernel/kernel.h"

namespace sim {

using host::kernel::Kernel;
using host::kernel::Ticks;

BlockingPort::BlockingPort(SerialLine::End& end)
    : port_(end), arrived_(std::make_unique<KEVENT>()) {
  KeInitializeEvent(arrived_.get(), SynchronizationEvent, FALSE);
  port_.Connect(this);
}

BlockingPort::~BlockingPort() { port_.Connect(nullptr); }

void BlockingPort::OnCharacterReceived(uint8_t character, bool error) {
  {
    std::lock_guard lock(mu_);
    if (error) ++errors_;
    if (error && discard_damaged_) return;
    received_.push_back(character);
  }
  KeSetEvent(arrived_.get(), 0, FALSE);
}

void BlockingPort::Send(std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) port_.Transmit(byte);
}

bool BlockingPort::WaitFor(size_t count, Ticks timeout) {
  Kernel& k = Kernel::Current();
  Ticks deadline = k.Now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (received_.size() >= count) return true;
    }
    Ticks left = deadline - k.Now();
    if (left <= 0) return false;
    LARGE_INTEGER wait;
    wait.QuadPart = -left;
    KeWaitForSingleObject(arrived_.get(), Executive, KernelMode, FALSE, &wait);
  }
}

bool BlockingPort::WaitForCharacter(Ticks timeout) { return WaitFor(1, timeout); }

std::vector<uint8_t> BlockingPort::Receive(size_t count, Ticks timeout) {
  WaitFor(count, timeout);
  std::lock_guard lock(mu_);
  size_t n = std::min(count, received_.size());
  std::vector<uint8_t> out(received_.begin(), received_.begin() + long(n));
  received_.erase(received_.begin(), received_.begin() + long(n));
  return out;
}

std::vector<uint8_t> BlockingPort::TakeAll() {
  std::lock_guard lock(mu_);
  std::vector<uint8_t> out(received_.begin(), received_.end());
  received_.clear();
  return out;
}

size_t BlockingPort::available() const {
  std::lock_guard lock(mu_);
  return received_.size();
}

uint64_t BlockingPort::error_count() const {
  std::lock_guard lock(mu_);
  return errors_;
}

void BlockingPort::set_discard_damaged(bool discard) {
  std::lock_guard lock(mu_);
  discard_damaged_ = discard;
}

void BlockingPort::Purge() {
  std::lock_guard lock(mu_);
  received_.clear();
}

}  // namespace sim
