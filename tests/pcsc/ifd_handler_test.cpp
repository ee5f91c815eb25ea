// The handler's entry points called as pcscd calls them, from threads of this process: a real-time
// machine with the driver behind them, its card changed through the control socket.
extern "C" {
#include <ifdhandler.h>
}
#include <gtest/gtest.h>
#include <reader.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;
constexpr DWORD kLun = 0x10000;
const Bytes kBuiltinAtr = {0x3B, 0x93, 0x11, 0x80, 0x31, 0xFE, 0x45, 0x80, 0x31, 0xC0, 0xF9};
const Bytes kT0Atr = {0x3B, 0x93, 0x11, 0x00, 0x80, 0x31, 0xC0};
constexpr int kPollTimeoutMs = 5000;

std::string Ask(const std::string& path, const std::string& line) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "no socket";
  std::string request = line + "\n", answer;
  (void)!write(fd, request.data(), request.size());
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') answer += c;
  close(fd);
  return answer;
}

template <class T>
T Capability(DWORD tag) {
  T value{};
  DWORD length = sizeof value;
  EXPECT_EQ(IFDHGetCapabilities(kLun, tag, &length, reinterpret_cast<PUCHAR>(&value)), IFD_SUCCESS);
  return value;
}

Bytes Power(RESPONSECODE* code, DWORD action = IFD_POWER_UP) {
  Bytes atr(MAX_ATR_SIZE);
  DWORD length = atr.size();
  *code = IFDHPowerICC(kLun, action, atr.data(), &length);
  atr.resize(length);
  return atr;
}

Bytes Transmit(DWORD t, const Bytes& command, RESPONSECODE* code) {
  Bytes answer(258);
  DWORD length = answer.size();
  *code = IFDHTransmitToICC(kLun, SCARD_IO_HEADER{t, 0}, const_cast<PUCHAR>(command.data()),
                            command.size(), answer.data(), &length, nullptr);
  answer.resize(length);
  return answer;
}

// Calls the polling function until the presence it reports afterwards is `want`. The machine
// inside the handler runs in real time: how soon a change is seen depends on how busy this
// computer is (sanitizers, tests beside), so only that the polling function sees it is checked.
void ExpectSeenByPolling(RESPONSECODE (*poll)(DWORD, int), RESPONSECODE want) {
  for (int i = 0; i < 4 && IFDHICCPresence(kLun) != want; ++i) poll(kLun, kPollTimeoutMs);
  EXPECT_EQ(IFDHICCPresence(kLun), want);
}

TEST(IfdHandler, ServesPcscdsCallsThroughTheDriver) {
  // Per process: another build's run of this test may be going on beside this one.
  std::string control =
      ::testing::TempDir() + "zarq7-ifd-test-" + std::to_string(getpid()) + ".ctl";
  ASSERT_EQ(IFDHCreateChannelByName(
                kLun, const_cast<LPSTR>(("zarq7:builtin,rate=115200,control=" + control).c_str())),
            IFD_SUCCESS);
  EXPECT_EQ(Capability<UCHAR>(TAG_IFD_SLOTS_NUMBER), 1);
  EXPECT_EQ(Capability<UCHAR>(TAG_IFD_SIMULTANEOUS_ACCESS), 9);
  EXPECT_EQ(Capability<UCHAR>(TAG_IFD_THREAD_SAFE), 1);
  auto poll = Capability<RESPONSECODE (*)(DWORD, int)>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  auto stop = Capability<RESPONSECODE (*)(DWORD)>(TAG_IFD_STOP_POLLING_THREAD);
  ASSERT_TRUE(poll && stop);

  // pcscd's first look, power up and protocol; the ATR also as the attribute.
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  RESPONSECODE code;
  EXPECT_EQ(Power(&code), kBuiltinAtr);
  EXPECT_EQ(code, IFD_SUCCESS);
  Bytes atr(MAX_ATR_SIZE);
  DWORD length = atr.size();
  EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, atr.data()), IFD_SUCCESS);
  EXPECT_EQ(Bytes(atr.begin(), atr.begin() + length), kBuiltinAtr);
  length = 4;
  EXPECT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_ATR_STRING, &length, atr.data()),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(Transmit(1, {0x80, 0xF0, 0x00, 0x03}, &code), (Bytes{0, 1, 2, 0x90, 0x00}));
  EXPECT_EQ(code, IFD_SUCCESS);
  Bytes small(2);
  length = small.size();
  const UCHAR read4[] = {0x80, 0xF0, 0x00, 0x04};
  EXPECT_EQ(IFDHTransmitToICC(kLun, SCARD_IO_HEADER{1, 0}, const_cast<PUCHAR>(read4), 4,
                              small.data(), &length, nullptr),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 0u);

  // Control: no CCID features; the raw reader command answered locally. The vendor request is
  // an attribute of the vendor-defined class; vendor control codes the driver's routing refuses.
  Bytes out(64);
  DWORD returned = 99;
  EXPECT_EQ(IFDHControl(kLun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, out.data(), out.size(),
                        &returned),
            IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(2048), nullptr, 0, out.data(), out.size(), &returned),
            IFD_NOT_SUPPORTED);
  length = out.size();
  EXPECT_EQ(IFDHGetCapabilities(kLun, 0x7A000, &length, out.data()), IFD_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), length), "Vendor IOCTL");
  UCHAR reset_reader[] = {0x20, 0x10, 0x00, 0x00};
  for (DWORD raw_code : {DWORD(0x3100DC), DWORD(SCARD_CTL_CODE(55))}) {
    EXPECT_EQ(IFDHControl(kLun, raw_code, reset_reader, 4, out.data(), out.size(), &returned),
              IFD_SUCCESS);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + returned), (Bytes{0x90, 0x00}));
  }

  // The card goes and comes back as a T=0 card, each seen by the polling function.
  EXPECT_EQ(Ask(control, "remove"), "ok: card removed from USBTESK0");
  ExpectSeenByPolling(poll, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(Ask(control, "insert t0"), "ok: t0 card inserted in USBTESK0");
  ExpectSeenByPolling(poll, IFD_ICC_PRESENT);
  EXPECT_EQ(Power(&code), kT0Atr);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0),
            IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(Transmit(0, {0x80, 0xF2, 0x00, 0x00, 0x02, 0x00, 0x01}, &code), (Bytes{0x90, 0x00}));
  // A warm reset answers the ATR again; a powered-down card takes no command until powered up.
  EXPECT_EQ(Power(&code, IFD_RESET), kT0Atr);
  EXPECT_EQ(code, IFD_SUCCESS);
  EXPECT_EQ(Power(&code, IFD_POWER_DOWN), Bytes());
  EXPECT_EQ(code, IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  Transmit(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &code);
  EXPECT_NE(code, IFD_SUCCESS);
  EXPECT_EQ(Power(&code), kT0Atr);

  // A wait in progress ends when pcscd stops the polling thread.
  auto waiting = std::async(std::launch::async, [&] { return poll(kLun, 60000); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(stop(kLun), IFD_SUCCESS);
  EXPECT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // pcscd polls again after a stop (SCardDisconnect stops the thread and starts it again): the
  // next wait waits. A stop that finds no wait in progress ends the next one.
  for (bool stop_first : {false, true}) {
    if (stop_first) {
      EXPECT_EQ(stop(kLun), IFD_SUCCESS);
    }
    auto again = std::async(std::launch::async, [&] { return poll(kLun, 60000); });
    if (stop_first) {
      EXPECT_EQ(again.wait_for(std::chrono::seconds(5)), std::future_status::ready);
      again = std::async(std::launch::async, [&] { return poll(kLun, 60000); });
    }
    EXPECT_EQ(again.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(stop(kLun), IFD_SUCCESS);
    EXPECT_EQ(again.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  }

  // Pulled out: every call says the reader is gone.
  EXPECT_EQ(Ask(control, "unplug"), "ok: USBTESK0 unplugged");
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(Power(&code), Bytes());
  EXPECT_EQ(code, IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(Ask(control, "status").rfind("ok: USBTESK0 unplugged", 0), 0u);
  EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
  EXPECT_EQ(Ask(control, "status"), "no socket");
}

TEST(IfdHandler, RefusesDeviceNamesItDoesNotKnow) {
  EXPECT_EQ(IFDHCreateChannelByName(kLun, const_cast<LPSTR>("zarq7:smartcard")),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
}

}  // namespace
