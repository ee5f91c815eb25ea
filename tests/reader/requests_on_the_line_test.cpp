// Smart card requests as applications send them (IRPs through the library, LinkMutex held as the
// routing holds it) against the simulated reader and its card: the reader services end to end.
#include <gtest/gtest.h>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "sim/cards/builtin_card.h"
#include "tests/support/reader_session.h"
#include "tests/support/sim_serial_io.h"

using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;
using test_support::ControlResult;
using test_support::ReaderSession;
using Bytes = std::vector<uint8_t>;

namespace {

// One machine with an I/O manager and the library; body runs with a started session.
template <typename Body>
void WithSession(Body body, test_support::ReaderSessionOptions options = {}) {
  host::kernel::Kernel k;
  host::io::IoManager io(k);
  host::smclib::SmartcardLibrary library(k);
  auto r = k.Run([&] {
    ReaderSession s(k, io, options);
    body(k, s);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

}  // namespace

TEST(RequestsOnTheLine, TheDtrCycleReallyPowersTheReader) {
  WithSession([](host::kernel::Kernel& k, ReaderSession& s) {
    EXPECT_FALSE(s.rig().reader().booted());
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(s.rig().reader().booted());
    EXPECT_EQ(s.rig().reader().ifsd(), 254);
    // The serial setup's SET_DTR, then the cycle: one CLR_DTR and seven SET_DTR.
    EXPECT_EQ(s.serial().Count(IOCTL_SERIAL_CLR_DTR), 1u);
    EXPECT_EQ(s.serial().Count(IOCTL_SERIAL_SET_DTR), 8u);
    EXPECT_GE(k.Now(), Milliseconds(1800));
    // The bring-up's status query found the card in the slot, unpowered.
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
  });
}

TEST(RequestsOnTheLine, ResetSelectAndTransmit) {
  WithSession([](host::kernel::Kernel&, ReaderSession& s) {
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    ControlResult atr = s.Power(SCARD_COLD_RESET);
    ASSERT_EQ(atr.status, STATUS_SUCCESS);
    EXPECT_EQ(atr.output, sim::BuiltinCard::DualProtocolAtr());
    EXPECT_EQ(s.State(), ULONG(SCARD_POWERED));
    ControlResult attribute = s.GetAttribute(SCARD_ATTR_ATR_STRING);
    EXPECT_EQ(attribute.output, sim::BuiltinCard::DualProtocolAtr());

    ControlResult protocol = s.SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    ASSERT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.Ulong(), ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(s.State(), ULONG(SCARD_SPECIFIC));
    EXPECT_EQ(s.rig().reader().selected_protocol(), sim::kProtocolT1);

    EXPECT_EQ(s.Transmit(kSelectMf).output, (Bytes{0x90, 0x00}));
    // SELECT with FCI: the card answers 61 xx, the header plus two bytes come back.
    ControlResult fci = s.Transmit(Bytes{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00});
    ASSERT_EQ(fci.status, STATUS_SUCCESS);
    ASSERT_EQ(fci.output.size(), 2u);
    EXPECT_EQ(fci.output[0], 0x61);
    // 300 bytes of answer cross chained and intact.
    ControlResult pattern = s.Transmit(Bytes{0x80, 0xF0, 0x01, 0x2C}, 302);
    ASSERT_EQ(pattern.status, STATUS_SUCCESS);
    ASSERT_EQ(pattern.output.size(), 302u);
    for (size_t i = 0; i < 300; ++i) ASSERT_EQ(pattern.output[i], uint8_t(i));

    // In force already: nothing sent, and still answered (the library writes nothing for us).
    protocol = s.SetProtocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.Ulong(), ULONG(SCARD_PROTOCOL_T1));

    // A warm reset keeps nothing of the selection in the reader, nor in the driver: the next
    // selection goes to the reader again, and T=1 commands run under it.
    ASSERT_EQ(s.Power(SCARD_WARM_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(s.rig().reader().selected_protocol(), 0u);
    EXPECT_EQ(s.State(), ULONG(SCARD_POWERED));
    protocol = s.SetProtocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(protocol.Ulong(), ULONG(SCARD_PROTOCOL_T1));
    EXPECT_EQ(s.rig().reader().selected_protocol(), sim::kProtocolT1);
    EXPECT_EQ(s.Transmit(kSelectMf).output, (Bytes{0x90, 0x00}));
    ASSERT_EQ(s.Power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
    EXPECT_FALSE(s.rig().reader().card_powered());
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
  });
}

TEST(RequestsOnTheLine, ReaderAnswersBecomeStatuses) {
  WithSession([](host::kernel::Kernel& k, ReaderSession& s) {
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(s.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    // Pulled out with no tracking thread to notice: the reader itself answers 64 A1.
    s.rig().reader().RemoveCard();
    ControlResult r = s.Transmit(kSelectMf);
    EXPECT_EQ(r.status, STATUS_NO_MEDIA);
    EXPECT_TRUE(r.output.empty());
    // A reset without a card: 64 A1 again, and the state follows.
    EXPECT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_NO_MEDIA);
    EXPECT_EQ(s.State(), ULONG(SCARD_ABSENT));
    EXPECT_EQ(s.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_NO_MEDIA);
    (void)k;
  });
}

TEST(RequestsOnTheLine, PresenceRequestsFollowTheSlot) {
  WithSession([](host::kernel::Kernel& k, ReaderSession& s) {
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    // Without a handle open there is no tracking thread: the request is refused at once.
    int early = s.Submit(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    EXPECT_EQ(s.Wait(early).status, STATUS_INVALID_DEVICE_STATE);

    ASSERT_EQ(s.Open(), STATUS_SUCCESS);
    EXPECT_EQ(s.Control(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);
    int absent = s.Submit(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    EXPECT_FALSE(s.Completed(absent));
    // A second one while the first waits is refused.
    EXPECT_EQ(s.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_DEVICE_BUSY);

    Ticks removed = k.Now() + Seconds(3);
    s.rig().reader().RemoveCardAt(removed);
    ControlResult gone = s.Wait(absent);
    EXPECT_EQ(gone.status, STATUS_SUCCESS);
    // Seen by the next query: within one sleep of 1.2 s plus a query.
    EXPECT_GT(k.Now(), removed);
    EXPECT_LE(k.Now(), removed + Milliseconds(1200) + Milliseconds(30));
    EXPECT_EQ(s.State(), ULONG(SCARD_ABSENT));

    int present = s.Submit(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    Ticks inserted = k.Now() + Seconds(2);
    s.rig().reader().InsertCardAt(inserted, std::make_shared<sim::BuiltinCard>());
    EXPECT_EQ(s.Wait(present).status, STATUS_SUCCESS);
    EXPECT_LE(k.Now(), inserted + Milliseconds(1230));
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));

    // An application that gives up cancels its request.
    int cancelled = s.Submit(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    s.Cancel(cancelled);
    EXPECT_EQ(s.Wait(cancelled).status, STATUS_CANCELLED);

    // A close with a request pending completes it; nothing is left behind.
    int last = s.Submit(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    ASSERT_EQ(s.Close(), STATUS_SUCCESS);
    EXPECT_TRUE(s.Completed(last));
    s.Wait(last);
  });
}

// STATUS_TIMEOUT is of the success class: a reset of a reader that does not answer must not
// complete as a success without an ATR.
TEST(RequestsOnTheLine, ASilentReaderFailsAResetWithIoTimeout) {
  WithSession([](host::kernel::Kernel& k, ReaderSession& s) {
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    ULONG state = s.State();
    s.rig().line().reader_end().faults().Silence(k.Now(), host::kernel::kNoDeadline);
    ControlResult reset = s.Power(SCARD_COLD_RESET);
    EXPECT_EQ(reset.status, STATUS_IO_TIMEOUT);
    EXPECT_TRUE(reset.output.empty());
    EXPECT_EQ(s.State(), state);
    EXPECT_EQ(s.GetAttribute(SCARD_ATTR_ATR_STRING).output.size(), 0u);
    // A device start against it reports a failure too.
    EXPECT_FALSE(NT_SUCCESS(s.Start()));
  });
}

// A stop and start of the device with a handle open: the tracking thread holds the link mutex in
// the middle of a query when the bring-up begins, and goes on tracking afterwards.
TEST(RequestsOnTheLine, BringUpAgainWhileCardTrackingRuns) {
  WithSession([](host::kernel::Kernel& k, ReaderSession& s) {
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    ASSERT_EQ(s.Open(), STATUS_SUCCESS);
    LARGE_INTEGER query_begun;
    query_begun.QuadPart = -Milliseconds(1);
    KeDelayExecutionThread(KernelMode, FALSE, &query_begun);
    ASSERT_NE(KeReadStateMutex(&s.reader_extension()->LinkMutex), 1) << "the query holds it";
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));

    int absent = s.Submit(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    s.rig().reader().RemoveCardAt(k.Now() + Seconds(1));
    EXPECT_EQ(s.Wait(absent).status, STATUS_SUCCESS);
    ASSERT_EQ(s.Close(), STATUS_SUCCESS);
  });
}

TEST(RequestsOnTheLine, ASilentReaderFailsAtOnceUntilTheNextDtrCycle) {
  WithSession([](host::kernel::Kernel& k, ReaderSession& s) {
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(s.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    // The reader stops answering for a minute.
    s.rig().line().reader_end().faults().Silence(k.Now(), k.Now() + Seconds(60));
    EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_IO_TIMEOUT);
    NTSTATUS status = STATUS_SUCCESS;
    for (int i = 0; i < 4 && status != STATUS_INVALID_DEVICE_STATE; ++i) {
      status = s.Transmit(kSelectMf).status;
    }
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    // Given up: the next exchange fails at once, without a byte on the line.
    size_t writes = s.serial().Count(SMARTCARD_WRITE);
    Ticks before = k.Now();
    EXPECT_EQ(s.Transmit(kSelectMf).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(s.serial().Count(SMARTCARD_WRITE), writes);
    EXPECT_EQ(k.Now(), before);
    // Once the reader talks again, the next start's DTR cycle brings the link back.
    LARGE_INTEGER wait;
    wait.QuadPart = -(Seconds(60));
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    ASSERT_EQ(s.Start(), STATUS_SUCCESS);
    ASSERT_EQ(s.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(s.SetProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    EXPECT_EQ(s.Transmit(kSelectMf).output, (Bytes{0x90, 0x00}));
  });
}
