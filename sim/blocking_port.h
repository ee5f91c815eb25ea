// A host thread's handle on one end of the serial line: send bytes, collect what arrives, wait
// for it with a time-out. Scripted hosts in tests, the driver's serial test routine and tools
// use it on the converter end. It drives the end through a LinePort of its own, as the converter
// does, and takes that end's one receive callback while it exists.
//
// Waits go through the kernel (KeWaitForSingleObject), so they cost virtual time only in
// simulation.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/ke.h"
#include "sim/serial_line_port.h"

namespace sim {

class BlockingPort final : public LineClient {
 public:
  // Create and use it from threads of the running machine.
  explicit BlockingPort(SerialLine::End& end);
  ~BlockingPort() override;
  BlockingPort(const BlockingPort&) = delete;
  BlockingPort& operator=(const BlockingPort&) = delete;

  // Hands the bytes to the end's transmitter; they leave back to back.
  void Send(std::span<const uint8_t> bytes);

  // Waits until `count` characters have arrived or `timeout` (ticks) has passed since the call,
  // and takes up to `count` of them from the front. Fewer than `count` means the time-out hit.
  std::vector<uint8_t> Receive(size_t count, host::kernel::Ticks timeout);
  // Waits until a character is there to take or `timeout` (ticks) has passed; whether one is.
  bool WaitForCharacter(host::kernel::Ticks timeout);
  // Everything received and not yet taken, without waiting.
  std::vector<uint8_t> TakeAll();
  size_t available() const;
  // Characters that arrived with a parity or framing error, since the port was made.
  uint64_t error_count() const;
  // Drops what has arrived and not been taken.
  void Purge();
  // Whether characters that arrive with a parity or framing error are thrown away (as a UART set
  // to discard them does) instead of kept with the value sampled. They are counted either way.
  void set_discard_damaged(bool discard);

  // --- LineClient ---
  void OnCharacterReceived(uint8_t character, bool error) override;
  void OnTransmitDone() override {}

 private:
  bool WaitFor(size_t count, host::kernel::Ticks timeout);

  SerialLinePort port_;
  mutable std::mutex
      mu_;  // guards received_, errors_ and discard_damaged_; never held across a wait
  std::deque<uint8_t> received_;
  uint64_t errors_ = 0;
  bool discard_damaged_ = false;
  std::unique_ptr<KEVENT> arrived_;  // synchronization event set on every arrival
};

}  // namespace sim
