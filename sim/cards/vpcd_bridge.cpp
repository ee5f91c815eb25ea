#include "sim/cards/vpcd_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/kernel/kernel.h"
#include "platform/ke.h"
#include "sim/reader.h"

namespace sim {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : int(left.count());
}

}  // namespace

std::unique_ptr<VpcdBridge> VpcdBridge::Listen(uint16_t port, std::string* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 1) != 0) {
    if (error) *error = std::string("bind/listen: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return std::unique_ptr<VpcdBridge>(new VpcdBridge(fd, ntohs(address.sin_port)));
}

VpcdBridge::~VpcdBridge() {
  if (fd_ >= 0) ::close(fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool VpcdBridge::WaitForConnection(std::chrono::milliseconds timeout) {
  std::lock_guard io(io_mu_);
  if (fd_ >= 0) return true;
  pollfd p{listen_fd_, POLLIN, 0};
  if (::poll(&p, 1, int(timeout.count())) <= 0) {
    Fail("no emulator connected");
    return false;
  }
  return Accept();
}

// Under io_mu_, with no connection.
bool VpcdBridge::Accept() {
  int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    Fail(std::string("accept: ") + std::strerror(errno));
    return false;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  return true;
}

bool VpcdBridge::connected() const { return fd_ >= 0; }

bool VpcdBridge::CheckConnection() {
  std::unique_lock io(io_mu_, std::try_to_lock);
  if (!io.owns_lock()) return true;  // a card operation is using the connection
  if (fd_ >= 0) {
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0) {
      uint8_t next;
      ssize_t n = ::recv(fd_, &next, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        ::close(fd_);
        fd_ = -1;
      }
    }
    if (fd_ >= 0) return true;
  }
  pollfd p{listen_fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && Accept();
}

std::string VpcdBridge::last_error() const {
  std::lock_guard lock(mu_);
  return error_;
}

void VpcdBridge::Fail(std::string why) {
  std::lock_guard lock(mu_);
  error_ = std::move(why);
}

bool VpcdBridge::Usable() {
  auto* k = host::kernel::Kernel::CurrentOrNull();
  if (k && k->mode() != host::kernel::Mode::kReal) {
    Fail("the vpcd bridge works in real time only");
    return false;
  }
  if (fd_ < 0) {
    Fail("no emulator connected");
    return false;
  }
  return true;
}

bool VpcdBridge::SendMessage(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> message{uint8_t(bytes.size() >> 8), uint8_t(bytes.size())};
  message.insert(message.end(), bytes.begin(), bytes.end());
  size_t sent = 0;
  while (sent < message.size()) {
    ssize_t n = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      Fail(std::string("send: ") + std::strerror(errno));
      Drop();
      return false;
    }
    sent += size_t(n);
  }
  return true;
}

bool VpcdBridge::ReadExactly(uint8_t* out, size_t count,
                             std::chrono::steady_clock::time_point deadline) {
  size_t got = 0;
  while (got < count) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) <= 0) {
      Fail("the emulator did not answer in time");
      return false;
    }
    ssize_t n = ::recv(fd_, out + got, count - got, 0);
    if (n <= 0) {
      Fail("the emulator closed the connection");
      return false;
    }
    got += size_t(n);
  }
  return true;
}

// Under io_mu_. The protocol has no way to tell a late answer from the next command's: a message
// not received whole leaves the stream out of step, so the connection is let go (the emulator
// connects again, and the card comes back as a new one) rather than the late answer handed on.
void VpcdBridge::Drop() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

std::optional<std::vector<uint8_t>> VpcdBridge::ReceiveMessage() {
  auto deadline = std::chrono::steady_clock::now() + answer_timeout_;
  uint8_t length[kVpcdLengthSize];
  std::vector<uint8_t> message;
  bool whole = ReadExactly(length, sizeof length, deadline);
  if (whole) {
    message.resize(size_t(length[0]) << 8 | length[1]);
    whole = ReadExactly(message.data(), message.size(), deadline);
  }
  if (!whole) {
    Drop();
    return std::nullopt;
  }
  return message;
}

std::vector<uint8_t> VpcdBridge::PowerOn() {
  std::lock_guard io(io_mu_);
  if (!Usable()) return {};
  const uint8_t on[] = {kVpcdPowerOn};
  const uint8_t get_atr[] = {kVpcdGetAtr};
  if (!SendMessage(on) || !SendMessage(get_atr)) return {};
  auto atr = ReceiveMessage();
  last_atr_ = atr.value_or(std::vector<uint8_t>{});
  return last_atr_;
}

void VpcdBridge::PowerOff() {
  std::lock_guard io(io_mu_);
  if (!Usable()) return;
  const uint8_t off[] = {kVpcdPowerOff};
  SendMessage(off);
}

std::vector<uint8_t> VpcdBridge::Transmit(std::span<const uint8_t> command) {
  std::lock_guard io(io_mu_);
  if (!Usable() || command.size() <= 1) return {};  // one byte would read as control
  if (!SendMessage(command)) return {};
  return ReceiveMessage().value_or(std::vector<uint8_t>{});
}

constexpr KPRIORITY kNoPriorityBoost = 0;

struct VpcdPresence::State {
  std::atomic<bool> stop{false};
  KEVENT stopped;
};

VpcdPresence::VpcdPresence(host::kernel::Kernel& kernel, Reader& reader,
                           std::shared_ptr<VpcdBridge> bridge, host::kernel::Ticks interval)
    : state_(std::make_shared<State>()) {
  KeInitializeEvent(&state_->stopped, NotificationEvent, FALSE);
  bool present = reader.card_present();
  kernel.Spawn(
      "vpcd presence",
      [&kernel, &reader, bridge, interval, present, state = state_]() mutable {
        while (!state->stop) {
          bool connected = bridge->CheckConnection();
          if (connected != present) {
            if (connected) {
              reader.InsertCard(bridge);
            } else {
              reader.RemoveCard();
            }
            present = connected;
          }
          kernel.SleepFor(interval);
        }
        KeSetEvent(&state->stopped, kNoPriorityBoost, FALSE);
      },
      host::kernel::SpawnOptions{.daemon = true});
}

VpcdPresence::~VpcdPresence() {
  state_->stop = true;
  KeWaitForSingleObject(&state_->stopped, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace sim
