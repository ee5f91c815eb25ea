// Start, stop and wake as Plug and Play and the power manager see them: a wake or a start is not
// held for the reader, a stop is never failed and leaves nothing on the bus, a failed start leaves
// a device that takes no I/O, and WMI requests racing a removal.
#include <random>

#include "control/private_interface.h"
#include "host/io/system_irp.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

namespace {

// The reader answers nothing from now on: its characters never reach the converter.
void SilenceReader(StackMachine& m, Plugged& c) {
  c.rig.line().reader_end().faults().Silence(m.k.Now(), kNoDeadline);
}

// The link's "reader did not answer", or its "given up" once a bring-up found no reader.
void ExpectReaderDidNotAnswer(NTSTATUS status) {
  EXPECT_TRUE(status == STATUS_IO_TIMEOUT || status == STATUS_INVALID_DEVICE_STATE)
      << std::hex << status;
}

Ticks Timed(StackMachine& m, const std::function<void()>& step) {
  Ticks began = m.k.Now();
  step();
  return m.k.Now() - began;
}

NTSTATUS SendWmi(StackMachine& m, PDEVICE_OBJECT device) {
  return host::io::SendSystemIrp(m.io, device, "WMI", IRP_MJ_SYSTEM_CONTROL, 0,
                                 [](PIRP, PIO_STACK_LOCATION) {})
      .status;
}

// A stopped device: every kind of request the converter would see is refused at once.
void ExpectRefusedWhileStopped(StackMachine& m, Plugged& c, Session& s) {
  size_t urbs = c.Urbs().size();
  EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(s.ColdReset().status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(s.Control(IOCTL_REZOVO_GET_STRING_DESCRIPTOR, {1, 0}, 64).status,
            STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(m.app.Write(s.h, kSelectMf).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(m.app.Read(s.h, 8).status, STATUS_DEVICE_NOT_READY);
  // Card tracking goes on while the handle is open, but sends nothing either.
  Sleep(Seconds(5));
  EXPECT_EQ(c.Urbs().size(), urbs) << "URBs sent to the stopped converter";
  EXPECT_TRUE(m.io.EnabledInterfaces(GUID_DEVINTERFACE_SMARTCARD_READER).empty());
}

}  // namespace

// Wake with a working reader and with one silenced during the sleep: the D0 request (and the
// system request behind it) completes once the bus is powered, whatever the reader does. A
// request sent at once waits at the link's gate for the bring-up and then works; with a silent
// reader it fails once the bring-up has given up, instead of hanging.
TEST(StartStopWake, WakeIsNotHeldForTheReader) {
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "reader silenced during the sleep" : "working reader");
    OnMachine(1, [&](StackMachine& m) {
      Plugged c(m);
      Session s(m);
      ASSERT_TRUE(s.StartSession());
      ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
      if (silent) SilenceReader(m, c);
      Ticks wake = Timed(
          m, [&] { ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS); });
      EXPECT_LT(wake, Milliseconds(100)) << "wake took " << wake / kTicksPerMillisecond << " ms";
      ::testing::Test::RecordProperty(silent ? "wake_us_silent" : "wake_us", int(wake / 10));
      EXPECT_EQ(m.power.DevicePower(c.fdo), PowerDeviceD0);
      if (!silent) {
        EXPECT_TRUE(s.StartSession());
        EXPECT_EQ(c.rig.reader().stats().boots, 2u);
      } else {
        IoResult r;
        Ticks waited = Timed(m, [&] { r = s.Transmit(kSelectMf); });
        ExpectReaderDidNotAnswer(r.status);
        EXPECT_LT(waited, Seconds(40));
      }
    });
  }
}

// Start (after a stop) with a working and with a silent reader: the start completes once the
// configuration, the pipes and the reading thread are up; the link follows behind the gate.
TEST(StartStopWake, StartIsNotHeldForTheReader) {
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent reader" : "working reader");
    OnMachine(1, [&](StackMachine& m) {
      Plugged c(m);
      ASSERT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS);
      if (silent) SilenceReader(m, c);
      Ticks start = Timed(m, [&] { ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS); });
      EXPECT_LT(start, Milliseconds(100)) << "start took " << start / kTicksPerMillisecond << " ms";
      ::testing::Test::RecordProperty(silent ? "start_us_silent" : "start_us", int(start / 10));
      Session s(m);
      ASSERT_EQ(s.open_status, STATUS_SUCCESS);
      if (!silent) {
        EXPECT_TRUE(s.StartSession());
      } else {
        ExpectReaderDidNotAnswer(s.Transmit(kSelectMf).status);
      }
    });
  }
}

// Transitions racing the bring-up that follows a start or a wake, at moments drawn from the seed:
// a sleep during the start's bring-up, a stop during the wake's, a request during either. Every
// request ends, and the device works afterwards.
TEST(StartStopWake, TransitionsDuringTheBringUp) {
  for (uint64_t seed = 1; seed <= 12 && !::testing::Test::HasFailure(); ++seed) {
    OnMachine(seed, [&](StackMachine& m) {
      std::mt19937_64 rng(seed);
      Plugged c(m);
      ASSERT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS);
      ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS);
      Session s(m);
      IoResult early;
      PKTHREAD app = m.k.Spawn("application", [&] { early = s.ColdReset(); });
      Sleep(Ticks(rng() % uint64_t(Milliseconds(2500))));
      ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
      Sleep(Seconds(1));
      ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
      Sleep(Ticks(rng() % uint64_t(Milliseconds(2500))));
      ASSERT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS);
      ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS);
      KeWaitForSingleObject(app, Executive, KernelMode, FALSE, nullptr);
      EXPECT_NE(early.status, STATUS_PENDING);
      EXPECT_TRUE(s.StartSession()) << "seed " << seed;
    });
  }
}

// The stop goes down and succeeds even with the driver's pool failing; afterwards nothing reaches
// the released configuration, requests are refused without a URB, and a start brings it all back.
TEST(StartStopWake, StopNeverFailsAndLeavesNothingOnTheBus) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    ASSERT_TRUE(s.StartSession());
    m.k.pool().FailTag(DRIVER_POOL_TAG);
    EXPECT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS);
    m.k.pool().ClearFaults();
    EXPECT_EQ(c.node()->history.back(), "IRP_MN_STOP_DEVICE STATUS_SUCCESS");
    EXPECT_EQ(c.node()->state, host::io::DeviceState::kStopped);
    ExpectRefusedWhileStopped(m, c, s);
    ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS);
    EXPECT_TRUE(s.StartSession());
    EXPECT_EQ(m.io.EnabledInterfaces(GUID_DEVINTERFACE_SMARTCARD_READER).size(), 1u);
  });
}

// A start the lower drivers fail completes with their status and sends nothing to the converter;
// the device stays one that takes no I/O (before its first start, after a stop, or when the
// failed start came to a started device), its interface withdrawn.
TEST(StartStopWake, AStartFailedBelowTouchesNothingAndLeavesTheDeviceRefusingIo) {
  OnMachine(1, [](StackMachine& m) {
    m.bus.set_completion({.start_status = STATUS_NO_SUCH_DEVICE});
    Plugged never(m);
    EXPECT_EQ(never.Urbs().size(), 0u) << "URBs sent after the bus failed the start";
    EXPECT_TRUE(m.io.EnabledInterfaces(GUID_DEVINTERFACE_SMARTCARD_READER).empty());
  });
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    ASSERT_TRUE(s.StartSession());
    // A start that comes to the started device, without a stop, and fails below; then one after
    // a stop. (Sent by hand: the Plug and Play manager would remove the device after it.)
    m.bus.set_completion({.start_status = STATUS_NO_SUCH_DEVICE});
    auto start = [&] {
      return host::io::SendSystemIrp(m.io, c.fdo, "Plug and Play manager", IRP_MJ_PNP,
                                     IRP_MN_START_DEVICE, [](PIRP, PIO_STACK_LOCATION) {})
          .status;
    };
    size_t urbs = c.Urbs().size();
    EXPECT_EQ(start(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(c.Urbs().size(), urbs);
    ExpectRefusedWhileStopped(m, c, s);
    m.bus.set_completion({});
    ASSERT_EQ(m.pnp.StopDevice(c.node()), STATUS_SUCCESS);
    m.bus.set_completion({.start_status = STATUS_NO_SUCH_DEVICE});
    EXPECT_EQ(start(), STATUS_NO_SUCH_DEVICE);
    ExpectRefusedWhileStopped(m, c, s);
    m.bus.set_completion({});
    ASSERT_EQ(m.pnp.StartDevice(c.node()), STATUS_SUCCESS);
    EXPECT_TRUE(s.StartSession());
  });
}

// Windows 98/Me disables a device with a stop: it refuses I/O and sends nothing afterwards.
TEST(StartStopWake, ALegacyDisableStopRefusesIo) {
  OnMachine(
      1,
      [](StackMachine& m) {
        Plugged c(m);
        Session s(m);
        ASSERT_TRUE(s.StartSession());
        size_t urbs = c.Urbs().size();
        NTSTATUS status =
            host::io::SendSystemIrp(m.io, c.fdo, "configuration manager", IRP_MJ_PNP,
                                    IRP_MN_STOP_DEVICE, [](PIRP, PIO_STACK_LOCATION) {})
                .status;
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_LE(c.Urbs().size(), urbs + 1);  // the unconfiguring request
        urbs = c.Urbs().size();
        EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(m.app.Write(s.h, kSelectMf).status, STATUS_DEVICE_NOT_READY);
        Sleep(Seconds(5));
        EXPECT_EQ(c.Urbs().size(), urbs);
      },
      host::io::IoOptions::Legacy());
}

// A WMI request that comes while the removal tears the device down, or after, is refused rather
// than sent to a lower device the removal has let go of.
TEST(StartStopWake, WmiRequestsRacingTheRemoval) {
  for (uint64_t seed = 1; seed <= 8 && !::testing::Test::HasFailure(); ++seed) {
    OnMachine(seed, [&](StackMachine& m) {
      std::mt19937_64 rng(seed);
      Plugged c(m);
      PDEVICE_OBJECT fdo = c.fdo;
      m.io.ReferenceDevice(fdo);
      bool removed = false;
      PKTHREAD wmi = m.k.Spawn("WMI", [&] {
        while (!removed) {
          NTSTATUS status = SendWmi(m, fdo);
          EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DELETE_PENDING ||
                      status == STATUS_INVALID_DEVICE_REQUEST)
              << std::hex << status;
          Sleep(Ticks(rng() % uint64_t(Milliseconds(20))));
        }
      });
      Sleep(Ticks(rng() % uint64_t(Milliseconds(50))));
      c.Unplug();
      removed = true;
      KeWaitForSingleObject(wmi, Executive, KernelMode, FALSE, nullptr);
      EXPECT_EQ(SendWmi(m, fdo), STATUS_DELETE_PENDING);
      m.io.DereferenceDevice(fdo);
    });
  }
}

// Windows 98/Me, where the machine stops on what that platform lacks (KeReadStateEvent, a wait on
// a thread object): a session, a sleep and a wake, a close and the removal.
TEST(StartStopWake, LegacyPlatformSessionSleepWakeAndRemoval) {
  OnMachine(
      1,
      [](StackMachine& m) {
        {
          Plugged c(m);
          Session s(m);
          ASSERT_TRUE(s.StartSession());
          ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
          ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
          EXPECT_TRUE(s.StartSession());
          EXPECT_EQ(s.Close(), STATUS_SUCCESS);
          c.Unplug();
        }
        m.ExpectNothingLeft();
      },
      host::io::IoOptions::Legacy());
}
