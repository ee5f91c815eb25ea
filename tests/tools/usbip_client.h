// A USB/IP client for tests: speaks the protocol to a server on loopback, one connection per
// object, as vhci-hcd or a Windows client would. Waits are bounded (generous: the server runs in
// real time on a shared machine); nothing asserts on how long anything took.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/usb/setup_packet.h"
#include "tools/usbip/usbip_protocol.h"

namespace usbip_test {

using namespace tools::usbip;

// Long enough that a loaded machine answers well within it; a URB that must stay pending is
// watched for kQuiet.
constexpr std::chrono::milliseconds kAnswer{10000};
constexpr std::chrono::milliseconds kQuiet{300};

struct Message {
  UrbHeader header;
  std::vector<uint8_t> data;
};

inline int ConnectTo(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether bytes (or the end of the stream) arrive within `timeout`.
inline bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, int(timeout.count())) > 0;
}

class Client {
 public:
  explicit Client(uint16_t port) : fd_(ConnectTo(port)) {}
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool SendBytes(const std::vector<uint8_t>& bytes) {
    return WriteAll(fd_, bytes.data(), bytes.size());
  }

  std::optional<std::vector<DeviceRecord>> Devlist() {
    if (!SendBytes(OpCommon(kOpReqDevlist, 0))) return std::nullopt;
    uint8_t head[kOpCommonSize + kDeviceCountSize];
    if (!Read(head, sizeof head) || GetU16(head) != kVersion || GetU16(head + 2) != kOpRepDevlist ||
        GetU32(head + 4) != kOpStatusOk) {
      return std::nullopt;
    }
    std::vector<DeviceRecord> devices(GetU32(head + kOpCommonSize));
    for (DeviceRecord& d : devices) {
      uint8_t record[kDeviceRecordSize];
      if (!Read(record, sizeof record)) return std::nullopt;
      d = DeviceRecord::Decode(record);
      d.interface.resize(d.interfaces);
      for (InterfaceRecord& i : d.interface) {
        uint8_t b[kInterfaceRecordSize];
        if (!Read(b, sizeof b)) return std::nullopt;
        i = {b[0], b[1], b[2]};
      }
    }
    return devices;
  }

  // The OP_REP_IMPORT status, and the record when it is 0.
  std::optional<uint32_t> Import(const std::string& busid, DeviceRecord* record = nullptr) {
    std::vector<uint8_t> out = OpCommon(kOpReqImport, 0);
    std::vector<uint8_t> id(kBusIdSize, 0);
    std::copy(busid.begin(), busid.end(), id.begin());
    out.insert(out.end(), id.begin(), id.end());
    if (!SendBytes(out)) return std::nullopt;
    uint8_t head[kOpCommonSize];
    if (!Read(head, sizeof head) || GetU16(head + 2) != kOpRepImport) return std::nullopt;
    uint32_t status = GetU32(head + 4);
    if (status == kOpStatusOk) {
      uint8_t r[kDeviceRecordSize];
      if (!Read(r, sizeof r)) return std::nullopt;
      DeviceRecord d = DeviceRecord::Decode(r);
      devid_ = d.devid();
      if (record) *record = d;
    }
    return status;
  }

  uint32_t Submit(uint32_t direction, uint32_t ep, uint32_t length,
                  const std::vector<uint8_t>& out = {}, host::usb::SetupPacket setup = {}) {
    UrbHeader h;
    h.command = kCmdSubmit;
    h.seqnum = ++seqnum_;
    h.devid = devid_;
    h.direction = direction;
    h.ep = ep;
    h.word[1] = length;
    h.word[3] = kNotIsochronous;
    h.setup = setup.Bytes();
    auto bytes = h.Encode();
    std::vector<uint8_t> message(bytes.begin(), bytes.end());
    message.insert(message.end(), out.begin(), out.end());
    SendBytes(message);
    if (direction == kDirectionIn) in_.insert(h.seqnum);
    return h.seqnum;
  }

  uint32_t Unlink(uint32_t target) {
    UrbHeader h;
    h.command = kCmdUnlink;
    h.seqnum = ++seqnum_;
    h.devid = devid_;
    h.word[0] = target;
    auto bytes = h.Encode();
    SendBytes({bytes.begin(), bytes.end()});
    return h.seqnum;
  }

  // The next RET_SUBMIT or RET_UNLINK; nothing when none came within `timeout` or the server
  // closed the connection (closed() tells which).
  std::optional<Message> Next(std::chrono::milliseconds timeout = kAnswer) {
    if (!Readable(fd_, timeout)) return std::nullopt;
    uint8_t bytes[kHeaderSize];
    if (!Read(bytes, sizeof bytes)) return std::nullopt;
    Message m{UrbHeader::Decode(bytes), {}};
    if (m.header.command == kRetSubmit) {
      m.data.resize(m.header.actual_length());
      // Only IN transfers carry their data back.
      if (!in_.contains(m.header.seqnum)) m.data.clear();
      if (!m.data.empty() && !Read(m.data.data(), m.data.size())) return std::nullopt;
    }
    return m;
  }

  // A control transfer, waited for.
  std::optional<Message> Control(host::usb::SetupPacket setup,
                                 const std::vector<uint8_t>& out = {}) {
    bool in = setup.DeviceToHost();
    Submit(in ? kDirectionIn : kDirectionOut, 0, setup.length, out, setup);
    return Next();
  }
  uint32_t SubmitIn(uint32_t ep, uint32_t length) { return Submit(kDirectionIn, ep, length); }

  // Whether the server closed the connection within `timeout` (what was in flight is read and
  // dropped).
  bool ClosedWithin(std::chrono::milliseconds timeout = kAnswer) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t b[512];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Readable(fd_, left)) return false;
      if (::recv(fd_, b, sizeof b, 0) <= 0) return true;
    }
  }

 private:
  bool Read(uint8_t* out, size_t n) {
    if (!Readable(fd_, kAnswer)) return false;
    return ReadExactly(fd_, out, n);
  }

  int fd_;
  uint32_t devid_ = 0;
  uint32_t seqnum_ = 0;
  std::set<uint32_t> in_;
};

// One line to the control port, its one-line answer.
inline std::string ControlLine(uint16_t port, const std::string& line) {
  int fd = ConnectTo(port);
  if (fd < 0) return "no connection";
  std::string text = line + "\n";
  WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  std::string answer;
  char c;
  while (Readable(fd, kAnswer) && ::recv(fd, &c, 1, 0) == 1 && c != '\n') answer += c;
  ::close(fd);
  return answer;
}

}  // namespace usbip_test
