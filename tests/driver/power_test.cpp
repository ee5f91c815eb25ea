// System sleep and wake through the power manager: the device goes to D3 and back to D0, the reader
// is set up again, a pending presence request completes, and nothing reaches the converter while
// the device is powered down.
#include "reader/reader_extension.h"
#include "sim/cards/builtin_card.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

namespace {

constexpr Ticks kAsleep = Seconds(30);

NTSTATUS Sleep3(StackMachine& m) { return m.power.SetSystemPowerState(PowerSystemSleeping3); }
NTSTATUS Wake(StackMachine& m) { return m.power.SetSystemPowerState(PowerSystemWorking); }

}  // namespace

TEST(StackPower, SleepWithACardAndAPendingPresenceRequestThenWake) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    ASSERT_TRUE(s.StartSession());
    AsyncIo absent = s.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    Sleep(Seconds(3));
    ASSERT_FALSE(absent.done());

    ASSERT_EQ(Sleep3(m), STATUS_SUCCESS);
    EXPECT_EQ(m.power.DevicePower(c.fdo), PowerDeviceD3);
    // Asleep: requests are refused at once, and no URB reaches the converter, not even from card
    // tracking.
    size_t urbs = c.Urbs();
    EXPECT_EQ(s.State(), ULONG(SCARD_UNKNOWN));  // GET_STATE refused
    EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_DEVICE_DATA_ERROR);
    // A serial request as the link makes it, the link held: refused, nothing sent.
    PSMARTCARD_EXTENSION smartcard = &c.ext->SmartcardExtension;
    PREADER_EXTENSION reader = smartcard->ReaderExtension;
    KeWaitForSingleObject(&reader->LinkMutex, Executive, KernelMode, FALSE, nullptr);
    reader->SerialIoctl = IOCTL_SERIAL_SET_DTR;
    EXPECT_EQ(reader->SerialIoRoutine(smartcard), STATUS_DEVICE_DATA_ERROR);
    KeReleaseMutex(&reader->LinkMutex, FALSE);
    Sleep(kAsleep);
    EXPECT_EQ(c.Urbs(urbs), 0u);
    EXPECT_FALSE(absent.done());

    Ticks woken = m.k.Now();
    ASSERT_EQ(Wake(m), STATUS_SUCCESS);
    EXPECT_EQ(m.power.DevicePower(c.fdo), PowerDeviceD0);
    // The presence request completed at power-up; the reader restarted with the card unpowered.
    ASSERT_TRUE(absent.done());
    EXPECT_EQ(absent.Wait().status, STATUS_SUCCESS);
    EXPECT_LT(m.k.Now() - woken, Seconds(5));
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
    EXPECT_TRUE(s.StartSession());
  });
}

// A request on the link when the system goes to sleep fails at its next serial request, which the
// adapter refuses in D3 without sending anything; the sleep waits only for that.
TEST(StackPower, ATransmissionInFlightAtSleepFailsWithoutConverterTraffic) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    ASSERT_TRUE(s.StartSession());
    c.rig.card()->SetProcessingTime(sim::kInsSelect, Seconds(2));
    IoResult transmitted;
    PKTHREAD app = m.k.Spawn("application", [&] { transmitted = s.Transmit(kSelectMf); });
    Sleep(Milliseconds(500));
    Ticks asked = m.k.Now();
    ASSERT_EQ(Sleep3(m), STATUS_SUCCESS);
    size_t urbs = c.Urbs();
    KeWaitForSingleObject(app, Executive, KernelMode, FALSE, nullptr);
    // The link's failure, as the transmission reports a reader it cannot reach.
    EXPECT_EQ(transmitted.status, STATUS_IO_TIMEOUT);
    EXPECT_LT(m.k.Now() - asked, Seconds(3));
    Sleep(kAsleep);
    EXPECT_EQ(c.Urbs(urbs), 0u);
    ASSERT_EQ(Wake(m), STATUS_SUCCESS);
    c.rig.card()->SetProcessingTime(sim::kInsSelect, 0);
    EXPECT_TRUE(s.StartSession());
  });
}
