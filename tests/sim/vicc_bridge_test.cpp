// The vpcd bridge against a real vsmartcard `vicc` process, in a machine running in real time.
// Skips, saying why, when vicc or its Python modules are not installed or vicc does not connect.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/kernel/kernel.h"
#include "sim/cards/vpcd_bridge.h"
#include "sim/reader_rig.h"

extern char** environ;

namespace sim {
namespace {

namespace fs = std::filesystem;
using host::kernel::Kernel;
using host::kernel::KernelOptions;
using host::kernel::Mode;

constexpr const char* kVicc = "/usr/bin/vicc";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kViccModules = "/usr/lib/python3/site-packages/virtualsmartcard";
constexpr const char* kCryptodome = "/usr/lib/python3/dist-packages/Cryptodome";

// A vicc process with its scratch folder; ended (TERM, then KILL) and cleaned up on destruction.
class ViccProcess {
 public:
  bool Start(uint16_t port, std::string* why) {
    char pattern[] = "/tmp/vicc-test-XXXXXX";
    if (!mkdtemp(pattern)) {
      *why = "cannot make a scratch folder";
      return false;
    }
    dir_ = pattern;
    // Debian's vicc imports Crypto; python3-pycryptodome installs it as Cryptodome.
    fs::create_directory_symlink(kCryptodome, dir_ / "Crypto");
    log_ = dir_ / "vicc.log";
    std::string port_text = std::to_string(port);
    std::string pythonpath = std::string("PYTHONPATH=") + kViccModules + ":" + dir_.string();
    std::vector<std::string> args = {kPython, kVicc,       "-t", "iso7816",
                                     "-H",    "127.0.0.1", "-P", port_text};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings{pythonpath, "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      *why = "cannot start vicc";
      return false;
    }
    return true;
  }

  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  ~ViccProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      bool ended = false;
      for (int i = 0; i < 50 && !ended; ++i) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }

 private:
  pid_t pid_ = -1;
  fs::path dir_;
  fs::path log_;
};

TEST(ViccBridge, ApduReachesARunningViccAndItsAnswerComesBack) {
  for (const char* needed : {kVicc, kPython, kViccModules, kCryptodome}) {
    if (!fs::exists(needed)) {
      GTEST_SKIP() << needed << " is missing: install vsmartcard-vpicc and python3-pycryptodome";
    }
  }
  std::string error;
  std::shared_ptr<VpcdBridge> bridge = VpcdBridge::Listen(0, &error);
  if (!bridge) GTEST_SKIP() << "cannot listen on a loopback port: " << error;
  bridge->set_answer_timeout(std::chrono::milliseconds(2000));
  ViccProcess vicc;
  if (!vicc.Start(bridge->port(), &error)) GTEST_SKIP() << error;
  if (!bridge->WaitForConnection(std::chrono::milliseconds(5000))) {
    GTEST_SKIP() << "vicc did not connect within 5 s; its output:\n" << vicc.Log();
  }

  Kernel k(KernelOptions{.mode = Mode::kReal});
  std::vector<uint8_t> reset, select_mf, select_missing;
  bool brought_up = false;
  auto r = k.Run([&] {
    ReaderRigOptions options;
    options.insert_card = false;
    ReaderRig rig(k, options);
    rig.reader().InsertCard(bridge);
    brought_up = rig.BringUp();
    if (!brought_up) return;
    reset = rig.host().Transceive(t1::kNadHostToReader, {0x20, 0x10, 0x01, 0x01}).data;
    // vicc's iso7816 card breaks on SELECT with P2 00 under Python 3: P2 0C.
    auto reply =
        rig.host().Transceive(t1::kNadHostToCard, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
    if (reply.nad == t1::kNadCardToHost) select_mf = reply.data;
    reply = rig.host().Transceive(t1::kNadHostToCard, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7E, 0x7E});
    if (reply.nad == t1::kNadCardToHost) select_missing = reply.data;
  });
  ASSERT_TRUE(r.ok()) << r.report;
  ASSERT_TRUE(brought_up);
  ASSERT_GE(reset.size(), 4u) << bridge->last_error() << "\n" << vicc.Log();
  EXPECT_EQ(reset[0], 0x3B);  // vicc's ATR, then 90 01
  EXPECT_EQ(reset[reset.size() - 2], 0x90);
  EXPECT_EQ(reset[reset.size() - 1], 0x01);
  EXPECT_EQ(select_mf, (std::vector<uint8_t>{0x90, 0x00})) << bridge->last_error() << vicc.Log();
  ASSERT_EQ(select_missing.size(), 2u) << bridge->last_error();
  EXPECT_EQ(select_missing[0], 0x6A);
}

TEST(ViccBridge, RefusesToWorkInSimulation) {
  std::string error;
  std::shared_ptr<VpcdBridge> bridge = VpcdBridge::Listen(0, &error);
  if (!bridge) GTEST_SKIP() << "cannot listen on a loopback port: " << error;
  Kernel k;
  std::vector<uint8_t> atr{1};
  auto r = k.Run([&] { atr = bridge->PowerOn(); });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_TRUE(atr.empty());
  EXPECT_EQ(bridge->last_error(), "the vpcd bridge works in real time only");
}

// An emulator that answers a command after the bridge gave up on it: the protocol has no way to
// tell that late answer from the next command's, so the bridge lets go of the connection instead of
// handing the late answer to the next command. The emulator (here a plain socket) connects again.
TEST(ViccBridge, AnAnswerThatComesTooLateIsNeverTakenForTheNextOne) {
  std::string error;
  std::shared_ptr<VpcdBridge> bridge = VpcdBridge::Listen(0, &error);
  if (!bridge) GTEST_SKIP() << "cannot listen on a loopback port: " << error;
  bridge->set_answer_timeout(std::chrono::milliseconds(200));
  int emulator = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(bridge->port());
  ASSERT_EQ(::connect(emulator, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(bridge->WaitForConnection(std::chrono::seconds(5)));
  auto read_message = [&] {
    uint8_t length[2];
    if (::recv(emulator, length, 2, MSG_WAITALL) != 2) return std::vector<uint8_t>{};
    std::vector<uint8_t> message(size_t(length[0]) << 8 | length[1]);
    ::recv(emulator, message.data(), message.size(), MSG_WAITALL);
    return message;
  };
  const std::vector<uint8_t> late_answer = {0x0A, 0x90, 0x00};
  std::thread slow([&] {
    read_message();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const uint8_t framed[] = {0x00, 0x03, 0x0A, 0x90, 0x00};
    ::send(emulator, framed, sizeof framed, MSG_NOSIGNAL);
  });
  EXPECT_TRUE(bridge->Transmit(std::vector<uint8_t>{0x00, 0x84, 0x00, 0x00, 0x08}).empty());
  slow.join();
  std::vector<uint8_t> next = bridge->Transmit(std::vector<uint8_t>{0x00, 0xA4, 0x00, 0x0C});
  EXPECT_NE(next, late_answer);
  EXPECT_FALSE(bridge->connected());
  ::close(emulator);
}

}  // namespace
}  // namespace sim
