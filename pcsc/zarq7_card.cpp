// zarq7-card: changes the simulated card of a reader that pcscd runs through the zarq7 handler,
// while pcscd runs. It finds the handler's control socket beside pcscd's own socket (the folder
// of PCSCLITE_CSOCK_NAME, /run/pcscd by default), sends one request line and prints the answer.
//
//   zarq7-card [--reader USBTESKn|n] [--socket PATH] insert [builtin|t0] | remove |
//              swap builtin|t0 | unplug | plug | status
//
// Exit status: 0 when the handler did it, 1 when it refused or could not be reached, 2 for
// wrong input.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr char kDefaultPcscdSocket[] = "/run/pcscd/pcscd.comm";
constexpr char kDevicePrefix[] = "USBTESK";
constexpr char kControlPrefix[] = "zarq7-";
constexpr char kControlSuffix[] = ".ctl";
constexpr char kOk[] = "ok";
// A swap waits up to four seconds for the driver to see the card go.
constexpr auto kAnswerTimeout = std::chrono::seconds(15);
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

int Usage(const std::string& why) {
  std::cerr << "zarq7-card: " << why << "\n"
            << "usage: zarq7-card [--reader USBTESKn|n] [--socket PATH] insert [builtin|t0] | "
               "remove | swap builtin|t0 | unplug | plug | status\n";
  return kExitUsage;
}

std::string DefaultSocket(std::string reader) {
  const char* pcscd = std::getenv("PCSCLITE_CSOCK_NAME");
  std::string folder = pcscd && *pcscd ? pcscd : kDefaultPcscdSocket;
  size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : folder.substr(0, slash);
  if (reader.rfind(kDevicePrefix, 0) != 0) reader = kDevicePrefix + reader;
  return folder + "/" + kControlPrefix + reader + kControlSuffix;
}

// Sends the line, reads the answer line; false with *answer saying why.
bool Ask(const std::string& path, const std::string& request, std::string* answer) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *answer = "socket path too long: " + path;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *answer = "no handler at " + path + ": " + std::strerror(errno) +
              " (is pcscd running with the zarq7 handler? PCSCLITE_CSOCK_NAME names its socket)";
    if (fd >= 0) close(fd);
    return false;
  }
  std::string line = request + "\n";
  bool ok = send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
  auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
  answer->clear();
  char c;
  while (ok) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 || read(fd, &c, 1) != 1) {
      ok = false;
      break;
    }
    if (c == '\n') break;
    *answer += c;
  }
  close(fd);
  if (!ok) *answer = "the handler did not answer";
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string reader = "0";
  std::string socket_path;
  std::string request;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if ((arg == "--reader" || arg == "--socket") && i + 1 < argc) {
      (arg == "--reader" ? reader : socket_path) = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      return Usage("changes the simulated card under a running pcscd"), 0;
    } else if (arg.rfind("--", 0) == 0) {
      return Usage("unknown option " + std::string(arg));
    } else {
      if (!request.empty()) request += ' ';
      request += arg;
    }
  }
  if (request.empty()) return Usage("no request");
  if (socket_path.empty()) socket_path = DefaultSocket(reader);
  std::string answer;
  if (!Ask(socket_path, request, &answer)) {
    std::cerr << "zarq7-card: " << answer << "\n";
    return kExitRefused;
  }
  bool done = answer.rfind(kOk, 0) == 0;
  (done ? std::cout : std::cerr) << answer << "\n";
  return done ? 0 : kExitRefused;
}
