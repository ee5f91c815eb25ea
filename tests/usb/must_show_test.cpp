// The driver as the operating system runs it, in virtual time with the verifier on: loaded,
// AddDevice on two converters, the transport started, a block written and its answer read,
// a hung IN transfer cut off by the watchdog, a converter unplugged while it is read, and the
// device torn down with nothing left over; tshark decodes the capture of the run.
#include <array>
#include <cstdio>
#include <filesystem>

#include "driver_rig.h"

using namespace driver_test;
using namespace sim::converter;

namespace {

const std::vector<UCHAR> kBlock = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};
constexpr Ticks kWatchdog = Milliseconds(2500);
constexpr Ticks kClockTick = 156250;  // 15.625 ms: timers may expire at the next clock tick

std::string RunCommand(const std::string& command, int* exit_code) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 4096> buffer;
  for (size_t n; pipe && (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
    output.append(buffer.data(), n);
  }
  *exit_code = pipe ? pclose(pipe) : -1;
  return output;
}

}  // namespace

TEST(DriverMustShow, TwoConvertersABlockAndItsAnswerAWatchdogAnUnplugAndACleanTeardown) {
  DriverMachine m;
  std::string capture = (std::filesystem::temp_directory_path() /
                         ("driver_must_show_" + std::to_string(getpid()) + ".pcap"))
                            .string();
  size_t urbs = 0;
  auto r = m.k.Run([&] {
    m.Load();
    ASSERT_NE(m.driver, nullptr);
    Converter a(m);
    Converter b(m);
    ASSERT_NE(a.ext, nullptr);
    ASSERT_NE(b.ext, nullptr);
    EXPECT_EQ(m.io.DeviceName(a.fdo), u"\\Device\\USBTESK0");
    EXPECT_EQ(m.io.DeviceName(b.fdo), u"\\Device\\USBTESK1");
    EXPECT_EQ(m.io.LowerDevice(a.fdo), a.pdo);
    EXPECT_EQ(m.io.LowerDevice(b.fdo), b.pdo);
    EXPECT_EQ(a.ext->IoCount, 1);

    // Start: descriptors, the configuration with interface 0, the pipe table, the thread.
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    EXPECT_EQ(a.ext->DeviceDescriptor->idVendor, kVendorId);
    EXPECT_EQ(a.ext->ConfigurationDescriptor->bNumInterfaces, 1);
    EXPECT_EQ(a.ext->InterfaceSettingCount, 3);
    EXPECT_EQ(a.rig.converter().configuration(), kConfigurationValue);
    ASSERT_NE(a.ext->InPipe, nullptr);
    ASSERT_NE(a.ext->OutPipe, nullptr);
    EXPECT_EQ(a.ext->InPipe->PipeInfo->EndpointAddress, kDataInEndpoint);
    EXPECT_EQ(a.ext->OutPipe->PipeInfo->EndpointAddress, kDataOutEndpoint);
    EXPECT_NE(a.ext->ReaderThreadHandle, nullptr);
    a.PowerReader();

    // The block leaves as one 8-byte and one 1-byte OUT transfer.
    size_t mark = a.Urbs().size();
    IrpResult written = WriteIrp(a.fdo, kBlock);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, kBlock.size());
    std::vector<host::usb::UrbRecord> outs;
    for (const auto& u : a.Urbs(mark)) {
      if (IsOutTransfer(u)) outs.push_back(u);
    }
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].out_data, std::vector<uint8_t>(kBlock.begin(), kBlock.begin() + 8));
    EXPECT_EQ(outs[1].out_data, std::vector<uint8_t>(kBlock.begin() + 8, kBlock.end()));
    EXPECT_EQ(outs[0].endpoint, kDataOutEndpoint);

    // The answer, fetched by the reading thread's IN transfers into the queue.
    mark = a.Urbs().size();
    IrpResult answer = ReadIrp(a.fdo, 9);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, 9u);
    auto blocks = a.rig.trace().Blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.back().direction, sim::Direction::kReaderToHost);
    EXPECT_TRUE(blocks.back().lrc_ok);
    EXPECT_EQ(answer.data, blocks.back().bytes);
    size_t in_bytes = 0, ins = 0;
    for (const auto& u : a.Urbs(mark)) {
      if (IsInTransfer(u) && u.status == STATUS_SUCCESS) in_bytes += u.actual_length, ++ins;
    }
    EXPECT_EQ(in_bytes, 9u);
    EXPECT_GE(ins, 2u);

    // A converter that never answers an IN transfer: the watchdog cancels it after 2.5 s.
    a.rig.converter().SetInHang(kDataInEndpoint, true);
    a.ext->Timeouts = {0, 0, 3000, 0, 0};
    Ticks before = m.k.Now();
    IrpResult silent = ReadIrp(a.fdo, 1);
    EXPECT_EQ(silent.status, STATUS_TIMEOUT);
    EXPECT_EQ(silent.information, 0u);
    EXPECT_GE(m.k.Now() - before, Milliseconds(3000));
    EXPECT_LT(m.k.Now() - before, Milliseconds(3000) + kClockTick);
    std::vector<host::usb::UrbRecord> hung;
    for (const auto& u : a.Urbs()) {
      if (IsInTransfer(u) && u.completed && u.submitted >= before) hung.push_back(u);
    }
    ASSERT_EQ(hung.size(), 1u);
    EXPECT_EQ(hung[0].status, STATUS_CANCELLED);
    EXPECT_EQ(hung[0].actual_length, 0u);
    EXPECT_GE(hung[0].completed_at - hung[0].submitted, kWatchdog);
    EXPECT_LT(hung[0].completed_at - hung[0].submitted, kWatchdog + kClockTick);
    a.rig.converter().SetInHang(kDataInEndpoint, false);

    // Unplugged while its reading thread reads: the thread's first device-gone status marks the
    // device unusable (its memory is kept here to look at it after the removal).
    ASSERT_EQ(b.Start(), STATUS_SUCCESS);
    EXPECT_EQ(ReadIrp(b.fdo, 0).status, STATUS_TIMEOUT);  // enables permanent reading
    Sleep(Milliseconds(20));
    EXPECT_TRUE(b.ext->DeviceStarted);
    PDEVICE_OBJECT gone = b.fdo;
    m.io.ReferenceDevice(gone);
    m.bus.Unplug(b.pdo);
    EXPECT_TRUE(m.io.IsDeleted(gone));
    EXPECT_FALSE(DeviceExtensionOf(gone)->DeviceStarted);
    m.io.DereferenceDevice(gone);

    // The driver's own teardown of the other device leaves nothing of the driver behind.
    EXPECT_EQ(TearDownDevice(a.fdo), STATUS_SUCCESS);
    EXPECT_TRUE(m.io.IsDeleted(a.fdo));
    EXPECT_EQ(m.io.AttachedDevice(a.pdo), a.pdo);
    EXPECT_EQ(m.DriverBlocks(), 0u);
    EXPECT_EQ(m.io.live_irps(), 0u);
    m.bus.Unplug(a.pdo);
    EXPECT_EQ(m.io.live_devices(), 0u);
    EXPECT_EQ(m.io.UnloadDriver(m.driver), STATUS_SUCCESS);
    urbs = m.bus.trace().size();
    std::string error;
    ASSERT_TRUE(m.bus.WritePcap(capture, &error)) << error;
  });
  ASSERT_TRUE(r.ok()) << r.report;

  int code = 0;
  RunCommand("command -v tshark >/dev/null 2>&1", &code);
  if (code != 0) {
    std::filesystem::remove(capture);
    GTEST_SKIP() << "tshark is not installed (Debian package tshark)";
  }
  std::string summary = RunCommand("tshark -r '" + capture + "' 2>/dev/null", &code);
  std::string decoded = RunCommand("tshark -r '" + capture + "' -V 2>&1", &code);
  std::filesystem::remove(capture);
  ASSERT_EQ(code, 0) << decoded;
  // Every URB of the run: its submission and its completion.
  EXPECT_EQ(size_t(std::count(summary.begin(), summary.end(), '\n')), 2 * urbs) << summary;
  for (const char* expected :
       {"DEVICE DESCRIPTOR", "CONFIGURATION DESCRIPTOR", "URB_FUNCTION_SELECT_CONFIGURATION",
        "URB_FUNCTION_VENDOR_ENDPOINT", "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER",
        "Leftover Capture Data: 1200052013008000", "Leftover Capture Data: a4",
        "USBD_STATUS_CANCELED"}) {
    EXPECT_NE(decoded.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos);
}
