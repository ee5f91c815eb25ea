// IOCTL_SMARTCARD_IS_PRESENT and IS_ABSENT: answered at once, pending with the driver, refused,
// cancelled, and the races between the library, the driver and a cancel.
#include <gtest/gtest.h>

#include "tests/host/smclib/smclib_rig.h"

using host::kernel::Outcome;
using smclib_test::Machine;
using smclib_test::Rig;

TEST(CardTracking, CompletesAtOnceWhenTheCardIsWhereTheCallerWantsIt) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    auto absent = rig.Send(IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0);
    EXPECT_TRUE(absent->completed);
    EXPECT_EQ(absent->status, STATUS_SUCCESS);
    EXPECT_EQ(absent->returned, STATUS_SUCCESS);
    rig.SetState(SCARD_SWALLOWED);
    auto present = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_TRUE(present->completed);
    EXPECT_EQ(present->returned, STATUS_SUCCESS);
    EXPECT_TRUE(rig.calls.empty()) << "the tracking function is not asked";
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, PendsWithTheDriverUntilTheCardMoves) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    auto present = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_EQ(present->returned, STATUS_PENDING);
    EXPECT_FALSE(present->completed);
    EXPECT_EQ(rig.e()->OsData->NotificationIrp, present->irp);
    ASSERT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.calls[0].slot, ULONG(RDF_CARD_TRACKING));
    EXPECT_EQ(rig.calls[0].major, ULONG(IOCTL_SMARTCARD_IS_PRESENT));
    EXPECT_EQ(present->irp->CancelRoutine, &Rig::CancelTracking);

    // An absence request holds at once; a second presence request has to wait and is refused.
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_IS_ABSENT, nullptr, 0, 0)->status, STATUS_SUCCESS);
    auto second = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_TRUE(second->completed);
    EXPECT_EQ(second->status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(second->returned, STATUS_DEVICE_BUSY);
    EXPECT_EQ(rig.e()->OsData->NotificationIrp, present->irp) << "the first keeps waiting";
    EXPECT_EQ(rig.calls.size(), 1u);

    // Other requests go on meanwhile.
    std::vector<UCHAR> out(4, 0);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_GET_STATE, &out, 0, 4)->status, STATUS_SUCCESS);

    rig.SetState(SCARD_PRESENT);
    Rig::CompleteTracking(rig.e());
    EXPECT_TRUE(present->completed);
    EXPECT_EQ(present->status, STATUS_SUCCESS);
    EXPECT_EQ(present->information, 0u);
    EXPECT_EQ(rig.e()->OsData->NotificationIrp, nullptr);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, ATrackingFunctionThatRefusesGetsTheRequestCompletedWithItsStatus) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.handler[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION) {
      return STATUS_INVALID_DEVICE_STATE;
    };
    auto present = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_TRUE(present->completed);
    EXPECT_EQ(present->status, STATUS_INVALID_DEVICE_STATE);
    // Marked pending before the driver saw it: only STATUS_PENDING may be returned for it.
    EXPECT_EQ(present->returned, STATUS_PENDING);
    EXPECT_EQ(rig.e()->OsData->NotificationIrp, nullptr);
    EXPECT_EQ(rig.e()->LastError, ULONG(STATUS_INVALID_DEVICE_STATE));

    // A later one is not refused as busy.
    rig.handler[RDF_CARD_TRACKING] = Rig::TrackingFunction;
    auto again = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_EQ(again->returned, STATUS_PENDING);
    EXPECT_FALSE(again->completed);
    Rig::CompleteTracking(rig.e());
    EXPECT_TRUE(again->completed);
    rig.Close();

    Rig bare(m, {});
    EXPECT_EQ(bare.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0)->status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bare.e()->OsData->NotificationIrp, nullptr);
    bare.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, CancelGoesThroughTheDriversCancelRoutine) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    auto present = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    ASSERT_FALSE(present->completed);
    EXPECT_TRUE(IoCancelIrp(present->irp));
    EXPECT_TRUE(present->completed);
    EXPECT_EQ(present->status, STATUS_CANCELLED);
    EXPECT_EQ(rig.e()->OsData->NotificationIrp, nullptr);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, CancelledWhileTheTrackingFunctionRunsAndThenRefused) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    // The driver installs its cancel routine, a cancel completes the request at once, and the
    // function then refuses: the library must not complete it a second time.
    rig.handler[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
      Rig::TrackingFunction(e);
      IoCancelIrp(e->OsData->NotificationIrp);
      return STATUS_INVALID_DEVICE_STATE;
    };
    auto present = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_TRUE(present->completed);
    EXPECT_EQ(present->status, STATUS_CANCELLED);
    EXPECT_EQ(present->returned, STATUS_PENDING);

    // Refused with its cancel routine still set: the library takes the routine off first.
    rig.handler[RDF_CARD_TRACKING] = [](PSMARTCARD_EXTENSION e) {
      Rig::TrackingFunction(e);
      return STATUS_DEVICE_NOT_CONNECTED;
    };
    auto refused = rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    EXPECT_TRUE(refused->completed);
    EXPECT_EQ(refused->status, STATUS_DEVICE_NOT_CONNECTED);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, ARequestCancelledBeforeItArrivesIsNotStored) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    std::shared_ptr<smclib_test::Sent> sent;
    PIRP irp = m.io.AllocateSystemIrp(rig.device()->StackSize, "cancelled early", [&](PIRP irp) {
      sent = std::make_shared<smclib_test::Sent>();
      sent->completed = true;
      sent->status = irp->IoStatus.Status;
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SMARTCARD_IS_PRESENT;
    EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine yet";
    EXPECT_EQ(IoCallDriver(rig.device(), irp), STATUS_CANCELLED);
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->status, STATUS_CANCELLED);
    EXPECT_TRUE(rig.calls.empty());
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, AnApplicationWaitsForTheCardAndCancelsAtClose) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    host::io::Application app(m.io);
    host::io::Handle h;
    ASSERT_EQ(app.Open(m.io.DeviceName(rig.device()), &h), STATUS_SUCCESS);
    auto waiting = app.DeviceIoControlAsync(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    EXPECT_FALSE(waiting.done());
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000 * 500;  // 500 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_FALSE(waiting.done());
    rig.SetState(SCARD_PRESENT);
    Rig::CompleteTracking(rig.e());  // the driver's next poll sees the card
    EXPECT_EQ(waiting.Wait().status, STATUS_SUCCESS);

    auto absent = app.DeviceIoControlAsync(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    EXPECT_FALSE(absent.done());
    EXPECT_EQ(app.CancelIo(h), STATUS_SUCCESS);
    EXPECT_EQ(absent.Wait().status, STATUS_CANCELLED);

    auto at_close = app.DeviceIoControlAsync(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    EXPECT_EQ(app.Close(h), STATUS_SUCCESS);
    EXPECT_TRUE(at_close.done());
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CardTracking, ExitWithTheNotificationStillPendingStopsTheMachine) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.Send(IOCTL_SMARTCARD_IS_PRESENT, nullptr, 0, 0);
    SmartcardExit(rig.e());
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
  EXPECT_NE(r.report.find("NotificationIrp"), std::string::npos) << r.report;
}
