#include "pcsc/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace pcsc {

namespace {

constexpr int kBacklog = 4;
constexpr auto kLineTimeout = std::chrono::seconds(1);
constexpr size_t kMaxLine = 256;
constexpr char kEndOfLine = '\n';

// Reads up to the end of the line, within the time-out; false when the client did not finish it.
bool ReadLine(int fd, std::string* line) {
  auto deadline = std::chrono::steady_clock::now() + kLineTimeout;
  char c;
  while (line->size() < kMaxLine) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return false;
    ssize_t got = read(fd, &c, 1);
    if (got <= 0) return !line->empty();  // a last line without its end counts
    if (c == kEndOfLine) return true;
    *line += c;
  }
  return false;
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t put = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (put <= 0) return;
    text.remove_prefix(size_t(put));
  }
}

}  // namespace

std::unique_ptr<ControlServer> ControlServer::Listen(const std::string& path, Handler handler,
                                                     std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = "control socket path too long: " + path;
    return nullptr;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int wake[2] = {-1, -1};
  auto fail = [&](const std::string& what) -> std::unique_ptr<ControlServer> {
    *error = what + " " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    if (wake[0] >= 0) close(wake[0]);
    if (wake[1] >= 0) close(wake[1]);
    return nullptr;
  };
  if (fd < 0) return fail("no socket for");
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail("cannot bind");
  }
  if (listen(fd, kBacklog) != 0) return fail("cannot listen on");
  if (pipe2(wake, O_CLOEXEC) != 0) return fail("no pipe for");
  return std::unique_ptr<ControlServer>(new ControlServer(path, std::move(handler), fd, wake));
}

ControlServer::ControlServer(std::string path, Handler handler, int listen_fd, int wake_fd[2])
    : path_(std::move(path)),
      handler_(std::move(handler)),
      listen_fd_(listen_fd),
      wake_read_(wake_fd[0]),
      wake_write_(wake_fd[1]) {
  thread_ = std::thread([this] { Serve(); });
}

ControlServer::~ControlServer() {
  const char stop = 0;
  (void)!write(wake_write_, &stop, 1);
  thread_.join();
  close(listen_fd_);
  close(wake_read_);
  close(wake_write_);
  unlink(path_.c_str());
}

void ControlServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ServeOne(fd);
    close(fd);
  }
}

void ControlServer::ServeOne(int fd) {
  std::string line;
  if (!ReadLine(fd, &line)) return;
  WriteAll(fd, handler_(line) + kEndOfLine);
}

}  // namespace pcsc
