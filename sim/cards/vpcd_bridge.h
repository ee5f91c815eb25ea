// A card that is an external card emulator speaking the vpcd socket protocol, such as
// vsmartcard's `vicc`: we listen on a loopback port and the emulator connects to us (its normal
// mode, never its reversed one). Each message is a 2-byte big-endian length and that many bytes.
// One-byte messages from us are control: 0x00 power off, 0x01 power on, 0x02 reset, 0x04 get
// ATR (the emulator answers with the ATR); every other message is a command APDU, answered with
// the response APDU.
//
// Real time only: the emulator lives outside the machine's clock, so the bridge refuses to work
// (no ATR, no answers) inside a simulated machine. Its waits are bounded by answer_timeout.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/cards/card.h"

namespace sim {

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
  void set_answer_timeout(std::chrono::milliseconds timeout) { answer_timeout_ = timeout; }
  // Why the last operation failed, for test reports.
  std::string last_error() const;

  std::vector<uint8_t> PowerOn() override;
  void PowerOff() override;
  std::vector<uint8_t> Transmit(std::span<const uint8_t> command) override;

 private:
  VpcdBridge(int listen_fd, uint16_t port) : listen_fd_(listen_fd), port_(port) {}
  bool Usable();
  bool SendMessage(std::span<const uint8_t> bytes);
  std::optional<std::vector<uint8_t>> ReceiveMessage();
  bool ReadExactly(uint8_t* out, size_t count, std::chrono::steady_clock::time_point deadline);
  void Fail(std::string why);

  int listen_fd_ = -1;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::chrono::milliseconds answer_timeout_{3000};
  mutable std::mutex mu_;  // guards error_
  std::string error_;
};

}  // namespace sim
