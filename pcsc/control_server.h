// The handler's end of the control command (zarq7-card): a Unix stream socket on which each
// connection brings one request line and gets one answer line back. Requests are served one after
// the other by a thread of pcscd's process (outside the machine); a client that does not finish
// its line within a second is dropped.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace pcsc {

class ControlServer {
 public:
  using Handler = std::function<std::string(std::string_view request)>;

  // Listens on path (a stale socket there is replaced); nullptr and *error when it cannot.
  static std::unique_ptr<ControlServer> Listen(const std::string& path, Handler handler,
                                               std::string* error);
  // Stops serving (after the request in progress) and removes the socket.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  const std::string& path() const { return path_; }

 private:
  ControlServer(std::string path, Handler handler, int listen_fd, int wake_fd[2]);
  void Serve();
  void ServeOne(int fd);

  std::string path_;
  Handler handler_;
  int listen_fd_;
  int wake_read_;  // written to end Serve
  int wake_write_;
  std::thread thread_;
};

}  // namespace pcsc
