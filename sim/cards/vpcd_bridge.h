// A card that is an external card emulator speaking the vpcd socket protocol, such as
// vsmartcard's `vicc`: we listen on a loopback port and the emulator connects to us (its normal
// mode, never its reversed one). Each message is a 2-byte big-endian length and that many bytes.
// One-byte messages from us are control: 0x00 power off, 0x01 power on, 0x02 reset, 0x04 get
// ATR (the emulator answers with the ATR); every other message is a command APDU, answered with
// the response APDU.
//
// Real time only: the emulator lives outside the machine's clock, so the bridge refuses to work
// (no ATR, no answers) inside a simulated machine. Its waits are bounded by answer_timeout; an
// answer not received whole in time ends the connection (see Drop).
//
// An emulator may go away and another connect later: CheckConnection() notices both, and
// VpcdPresence keeps a reader's slot in step with it (a card is in while an emulator is
// connected, as vpcd shows one while vicc is connected).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/kernel/kernel.h"
#include "sim/cards/card.h"

namespace sim {

class Reader;

constexpr uint8_t kVpcdPowerOff = 0x00;
constexpr uint8_t kVpcdPowerOn = 0x01;
constexpr uint8_t kVpcdReset = 0x02;
constexpr uint8_t kVpcdGetAtr = 0x04;
constexpr size_t kVpcdLengthSize = 2;

class VpcdBridge : public Card {
 public:
  // Listens on 127.0.0.1:port, 0 for any free port; nullptr and *error when that fails.
  static std::unique_ptr<VpcdBridge> Listen(uint16_t port, std::string* error);
  ~VpcdBridge() override;

  uint16_t port() const { return port_; }
  // Accepts the emulator's connection, waiting at most `timeout` of real time.
  bool WaitForConnection(std::chrono::milliseconds timeout);
  bool connected() const;
  // Without waiting: takes a new emulator's connection when there is none, or lets go of one the
  // emulator closed. Returns whether an emulator is connected now. A card operation in progress
  // counts as connected.
  bool CheckConnection();
  void set_answer_timeout(std::chrono::milliseconds timeout) { answer_timeout_ = timeout; }
  // Why the last operation failed, for test reports.
  std::string last_error() const;

  std::vector<uint8_t> PowerOn() override;
  void PowerOff() override;
  std::vector<uint8_t> Transmit(std::span<const uint8_t> command) override;

 private:
  VpcdBridge(int listen_fd, uint16_t port) : listen_fd_(listen_fd), port_(port) {}
  bool Usable();
  bool Accept();
  bool SendMessage(std::span<const uint8_t> bytes);
  std::optional<std::vector<uint8_t>> ReceiveMessage();
  bool ReadExactly(uint8_t* out, size_t count, std::chrono::steady_clock::time_point deadline);
  void Drop();
  void Fail(std::string why);

  int listen_fd_ = -1;
  // Held through each card operation and connection check, so that a closed connection is let go
  // only while nothing uses it.
  std::mutex io_mu_;
  std::atomic<int> fd_{-1};
  uint16_t port_ = 0;
  std::chrono::milliseconds answer_timeout_{3000};
  mutable std::mutex mu_;  // guards error_
  std::string error_;
};

// Keeps a reader's slot in step with an emulator connecting and going away: a daemon thread of the
// machine (real time) checks the connection every `interval` and inserts the bridge as the card
// or removes it. Create and destroy it from the machine's threads; the destructor waits for the
// daemon to end.
class VpcdPresence {
 public:
  VpcdPresence(host::kernel::Kernel& kernel, Reader& reader, std::shared_ptr<VpcdBridge> bridge,
               host::kernel::Ticks interval = host::kernel::Milliseconds(100));
  ~VpcdPresence();
  VpcdPresence(const VpcdPresence&) = delete;
  VpcdPresence& operator=(const VpcdPresence&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace sim
