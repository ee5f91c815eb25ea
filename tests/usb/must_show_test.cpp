// The driver as the operating system runs it, in virtual time with the verifier on: loaded,
// AddDevice on two converters, the transport started, a block written and its answer read,
// a hung IN transfer cut off by the watchdog, a converter unplugged while it is read, and the
// device torn down with nothing left over; tshark decodes the capture of the run.
#include <cstdio>

#include "driver_rig.h"

using namespace driver_test;
using namespace sim::converter;

namespace {

const std::vector<UCHAR> kBlock = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};
constexpr Ticks kWatchdog = Milliseconds(2500);

std::string RunCommand(const std::string& command, int* exit_code) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  for (int c; pipe && (c = fgetc(pipe)) != EOF;) output += char(c);
  *exit_code = pipe ? pclose(pipe) : -1;
  return output;
}

}  // namespace

TEST(DriverMustShow, TwoConvertersABlockAndItsAnswerAWatchdogAnUnplugAndACleanTeardown) {
  DriverMachine m;
  std::string capture = "/tmp/driver_must_show_" + std::to_string(getpid()) + ".pcap";
  size_t urbs = 0;
  auto r = m.k.Run([&] {
    m.Load();
    // b as the Plug and Play manager adds and starts it, for its unplugging below.
    Converter a(m), b(m, {}, true);
    ASSERT_TRUE(a.ext && b.ext);
    EXPECT_EQ(m.io.DeviceName(a.fdo), u"\\Device\\USBTESK0");
    EXPECT_EQ(m.io.DeviceName(b.fdo), u"\\Device\\USBTESK1");
    EXPECT_TRUE(m.io.LowerDevice(a.fdo) == a.pdo && m.io.LowerDevice(b.fdo) == b.pdo);

    // Start: descriptors, the configuration with interface 0, the pipe table, the thread.
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    EXPECT_EQ(a.ext->DeviceDescriptor->idVendor, kVendorId);
    EXPECT_EQ(a.rig.converter().configuration(), kConfigurationValue);
    ASSERT_TRUE(a.ext->InPipe && a.ext->OutPipe);
    EXPECT_EQ(a.ext->InPipe->PipeInfo->EndpointAddress, kDataInEndpoint);
    EXPECT_EQ(a.ext->OutPipe->PipeInfo->EndpointAddress, kDataOutEndpoint);
    EXPECT_NE(a.ext->ReaderThreadHandle, nullptr);
    a.SetLink();
    EXPECT_EQ(ZarUSBSerConv_WritePort(a.fdo, kRequestModemLines, kDtrOn, 0), STATUS_SUCCESS);
    Sleep(Milliseconds(150));  // the reader boots

    // The block leaves as one 8-byte and one 1-byte OUT transfer.
    size_t mark = a.Urbs().size();
    IrpResult written = WriteIrp(a.fdo, kBlock);
    EXPECT_EQ(written.outcome(), IrpOutcome(STATUS_SUCCESS, kBlock.size()));
    auto outs = a.Urbs(mark, false);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].out_data, std::vector<uint8_t>(kBlock.begin(), kBlock.begin() + 8));
    EXPECT_EQ(outs[1].out_data, std::vector<uint8_t>(kBlock.begin() + 8, kBlock.end()));

    // The answer, fetched by the reading thread's IN transfers into the queue.
    mark = a.Urbs().size();
    IrpResult answer = ReadIrp(a.fdo, 9);
    EXPECT_EQ(answer.outcome(), IrpOutcome(STATUS_SUCCESS, 9));
    auto blocks = a.rig.trace().Blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.back().direction, sim::Direction::kReaderToHost);
    EXPECT_EQ(answer.data, blocks.back().bytes);
    std::vector<uint8_t> fetched;
    for (const auto& u : a.Urbs(mark, true))
      fetched.insert(fetched.end(), u.in_data.begin(), u.in_data.end());
    EXPECT_EQ(fetched, answer.data);  // in more than one IN transfer: 9 bytes

    // A converter that never answers an IN transfer: the watchdog cancels it after 2.5 s.
    a.rig.converter().SetInHang(kDataInEndpoint, true);
    a.ext->Timeouts = {0, 0, 3000, 0, 0};
    Ticks before = m.k.Now();
    IrpResult silent = ReadIrp(a.fdo, 1);
    EXPECT_EQ(silent.outcome(), IrpOutcome(STATUS_TIMEOUT, 0));
    EXPECT_TRUE(TookAbout(m.k.Now() - before, Milliseconds(3000)));
    std::vector<host::usb::UrbRecord> hung;
    for (const auto& u : a.Urbs(0, true)) {
      if (u.completed && u.submitted >= before) hung.push_back(u);
    }
    ASSERT_EQ(hung.size(), 1u);
    EXPECT_TRUE(hung[0].status == STATUS_CANCELLED && hung[0].actual_length == 0);
    EXPECT_TRUE(TookAbout(hung[0].completed_at - hung[0].submitted, kWatchdog));
    a.rig.converter().SetInHang(kDataInEndpoint, false);

    // Unplugged while its reading thread reads: the thread's first device-gone status marks the
    // device unusable (its memory is kept here to look at it after the removal).
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
    EXPECT_TRUE(m.io.IsDeleted(a.fdo) && m.io.AttachedDevice(a.pdo) == a.pdo);
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
    std::remove(capture.c_str());
    GTEST_SKIP() << "tshark is not installed (Debian package tshark)";
  }
  std::string summary = RunCommand("tshark -r '" + capture + "' 2>/dev/null", &code);
  std::string decoded = RunCommand("tshark -r '" + capture + "' -V 2>&1", &code);
  std::remove(capture.c_str());
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
