// The machine object as tools and tests use it: the driver loaded through its entry point,
// converters plugged in and pulled out, handles opened as applications open them, and the
// shutdown checks.
#include "host/machine/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/machine/reader_handle.h"
#include "tests/support/machine_run.h"

using namespace host::machine;

namespace {

TEST(Machine, NineConvertersGetTheNineNamesAndATenthIsRefused) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    for (unsigned unit = 0; unit < kDeviceNames; ++unit) {
      Converter& c = m.Plug();
      EXPECT_EQ(c.device_name(), DeviceName(unit));
      EXPECT_EQ(c.state(), host::io::DeviceState::kStarted);
    }
    Converter& tenth = m.Plug();
    EXPECT_EQ(tenth.device_name(), u"");
    EXPECT_EQ(tenth.state(), host::io::DeviceState::kAddFailed);
    // A name given back is given out again.
    Converter& second = *m.converters()[1];
    second.Unplug();
    EXPECT_EQ(second.device_name(), u"");
    EXPECT_EQ(m.Plug().device_name(), DeviceName(1));
  }));
}

}  // namespace

namespace {

NTSTATUS NTAPI RefusingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return STATUS_INSUFFICIENT_RESOURCES;
}

TEST(Machine, ADriverThatDoesNotLoadEndsTheRunAndSaysWhy) {
  MachineOptions options;
  options.driver.entry = RefusingEntry;
  Machine machine(options);
  bool ran = false;
  auto result = machine.Run([&](Machine&) { ran = true; });
  EXPECT_FALSE(ran);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.report,
            "the driver did not load: DriverEntry returned STATUS_INSUFFICIENT_RESOURCES");
}

TEST(Machine, RealTimeAndAConverterLeftPluggedAtShutdown) {
  MachineOptions options;
  options.kernel.mode = host::kernel::Mode::kReal;
  Machine machine(options);
  auto result = machine.Run([&](Machine& m) {
    Converter& kept = m.Plug();
    EXPECT_EQ(kept.device_name(), DeviceName(0));
    EXPECT_TRUE(kept.plugged());
  });
  // Shutdown pulled it out, the driver removed its device and was unloaded: nothing leaked.
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(machine.driver(), nullptr);
}

}  // namespace

namespace {

const std::vector<UCHAR> kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

// Opens the reader, resets the card and selects T=1, as the resource manager would.
void Connect(ReaderHandle& reader, std::u16string_view path) {
  ASSERT_EQ(reader.Open(path), STATUS_SUCCESS);
  ASSERT_EQ(reader.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  ASSERT_EQ(reader.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  ASSERT_EQ(reader.protocol(), ULONG(SCARD_PROTOCOL_T1));
}

TEST(ReaderHandle, ASessionAndAPresenceRequestThroughTheReaderInterface) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    Converter& c = m.Plug();
    ASSERT_EQ(m.ReaderInterfaces(), std::vector<std::u16string>{c.reader_interface()});
    ReaderHandle reader(m);
    Connect(reader, c.reader_interface());
    EXPECT_EQ(OutputText(reader.GetAttribute(SCARD_ATTR_VENDOR_NAME)), "ZARIK Systems");
    host::io::IoResult answer = reader.Transmit(kSelectMf);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.output, (std::vector<UCHAR>{0x90, 0x00}));
    // The absence request waits in the driver until the card is taken out.
    host::io::AsyncIo absent = reader.IsAbsent();
    m.Wait(host::kernel::Seconds(3));
    EXPECT_FALSE(absent.done());
    c.reader().RemoveCard();
    EXPECT_EQ(absent.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(reader.GetState(), ULONG(SCARD_ABSENT));
  }));
}

TEST(ReaderHandle, SleepWithAPendingPresenceRequestThenWake) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    m.Plug();
    ReaderHandle reader(m);
    Connect(reader, DeviceName(0));
    host::io::AsyncIo absent = reader.IsAbsent();
    EXPECT_EQ(m.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(m.power().state(), PowerSystemSleeping3);
    EXPECT_EQ(m.Wake(), STATUS_SUCCESS);
    // Power-up ends the pending request; the card answers again.
    EXPECT_EQ(absent.Wait().status, STATUS_SUCCESS);
    ASSERT_EQ(reader.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(reader.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(reader.Transmit(kSelectMf).output, (std::vector<UCHAR>{0x90, 0x00}));
  }));
}

TEST(ReaderHandle, PullingTheConverterOutEndsATransmissionInFlight) {
  EXPECT_TRUE(test_support::RunMachine(1, [](Machine& m) {
    Converter& c = m.Plug();
    c.rig().card()->SetProcessingTime(kSelectMf[1], host::kernel::Seconds(2));
    ReaderHandle reader(m);
    Connect(reader, DeviceName(0));
    // The application's own thread waits in the driver while the card works.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    m.kernel().Spawn("application", [&] {
      status = reader.Transmit(kSelectMf).status;
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    m.Wait(host::kernel::Milliseconds(500));
    ASSERT_EQ(status, STATUS_PENDING);
    c.Unplug();
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(NT_SUCCESS(status)) << host::io::StatusName(status);
    EXPECT_EQ(c.state(), host::io::DeviceState::kSurpriseRemoved);
    EXPECT_EQ(reader.Close(), STATUS_SUCCESS);
    EXPECT_EQ(c.state(), host::io::DeviceState::kRemoved);
  }));
}

// On the wall clock the driver's threads, the application's and the bus's run truly at once (under
// ThreadSanitizer this is where unguarded shared state shows): two application threads keep
// exchanging while the converter is pulled out. Each request either succeeds with the card's
// answer or fails as a gone device does, and the removal leaves nothing behind.
TEST(ReaderHandle, RealTimeExchangesRacingAnUnplug) {
  MachineOptions options;
  options.kernel.mode = host::kernel::Mode::kReal;
  Machine machine(options);
  auto result = machine.Run([&](Machine& m) {
    Converter& c = m.Plug();
    ReaderHandle reader(m);
    Connect(reader, DeviceName(0));
    KEVENT done[2];
    std::vector<std::string> odd[2];
    for (int t = 0; t < 2; ++t) {
      KeInitializeEvent(&done[t], NotificationEvent, FALSE);
      m.kernel().Spawn("application", [&, t] {
        for (;;) {
          host::io::IoResult answer = reader.Transmit(kSelectMf);
          if (answer.status == STATUS_SUCCESS) {
            if (answer.output != std::vector<UCHAR>{0x90, 0x00}) odd[t].push_back("wrong answer");
            reader.GetState();
            continue;
          }
          if (answer.status != STATUS_DEVICE_NOT_CONNECTED &&
              answer.status != STATUS_DELETE_PENDING && answer.status != STATUS_DEVICE_REMOVED &&
              answer.status != STATUS_NO_SUCH_DEVICE && answer.status != STATUS_IO_TIMEOUT &&
              answer.status != STATUS_DEVICE_DATA_ERROR && answer.status != STATUS_CANCELLED) {
            odd[t].push_back(host::io::StatusName(answer.status));
          }
          break;
        }
        KeSetEvent(&done[t], IO_NO_INCREMENT, FALSE);
      });
    }
    m.Wait(host::kernel::Milliseconds(300));
    c.Unplug();
    for (KEVENT& d : done) KeWaitForSingleObject(&d, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(odd[0].empty() && odd[1].empty())
        << (odd[0].empty() ? odd[1].front() : odd[0].front());
    EXPECT_EQ(reader.Close(), STATUS_SUCCESS);
    EXPECT_EQ(c.state(), host::io::DeviceState::kRemoved);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

}  // namespace
