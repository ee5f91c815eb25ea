// System sleep and wake through the power manager, and power requests that change nothing.
#include "host/io/system_irp.h"
#include "reader/reader_extension.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

TEST(StackPower, SleepWithACardAndAPendingPresenceRequestThenWake) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    ASSERT_TRUE(s.StartSession());
    AsyncIo absent = s.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    Sleep(Seconds(3));
    ASSERT_FALSE(absent.done());

    ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(m.power.DevicePower(c.fdo), PowerDeviceD3);
    // Asleep: requests are refused at once, a new handle too, and no URB reaches the converter,
    // not even from card tracking.
    size_t urbs = c.Urbs().size();
    EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Session(m, c.interface_path()).open_status, STATUS_DELETE_PENDING);
    // A serial request as the link makes it, the link held: refused, nothing sent.
    PSMARTCARD_EXTENSION smartcard = &c.ext->SmartcardExtension;
    PREADER_EXTENSION reader = smartcard->ReaderExtension;
    KeWaitForSingleObject(&reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
    reader->SerialIoctl = IOCTL_SERIAL_SET_DTR;
    EXPECT_EQ(reader->SerialIoRoutine(smartcard), STATUS_DEVICE_DATA_ERROR);
    KeReleaseMutex(&reader->LinkMutex, FALSE);
    Sleep(Seconds(30));
    EXPECT_EQ(c.Urbs().size(), urbs);
    EXPECT_FALSE(absent.done());

    Ticks woken = m.k.Now();
    ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(m.power.DevicePower(c.fdo), PowerDeviceD0);
    // The presence request completes once the reader is back, restarted with the card unpowered.
    EXPECT_EQ(absent.Wait().status, STATUS_SUCCESS);
    EXPECT_LT(m.k.Now() - woken, Seconds(5));
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
    EXPECT_TRUE(s.StartSession());
  });
}

// A sleep queried and not entered leaves the device usable; a first D0 leaves the reader be.
TEST(StackPower, AQueriedSleepNotEnteredAndAWakeWithoutSleepLeaveTheSessionAlone) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    ASSERT_TRUE(s.StartSession());
    ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(m.power.DevicePower(c.fdo), PowerDeviceD0);
    auto query = [&](SYSTEM_POWER_STATE state) {
      host::io::SendSystemIrp(m.io, c.fdo, "power manager", IRP_MJ_POWER, IRP_MN_QUERY_POWER,
                              [&](PIRP, PIO_STACK_LOCATION next) {
                                next->Parameters.Power.Type = SystemPowerState;
                                next->Parameters.Power.State.SystemState = state;
                              });
    };
    query(PowerSystemSleeping1);
    EXPECT_EQ(s.Transmit(kSelectMf).output, kSwOk);
    query(PowerSystemSleeping3);
    EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_DEVICE_DATA_ERROR);
    ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(s.Transmit(kSelectMf).output, kSwOk);
    EXPECT_EQ(c.rig.reader().stats().boots, 1u);
  });
}
