// The transport's edge cases on the simulated converter: read time-outs and the bytes each read
// delivers, writes in chunks with flow control, the direct read, the reading thread's stop and
// restart, and the watchdog racing a completion.
#include <set>

#include "driver_rig.h"

using namespace driver_test;
using namespace sim::converter;

namespace {

constexpr Ticks kPoll = Milliseconds(8);

std::vector<UCHAR> Bytes(size_t n, UCHAR first = 0x30) {
  std::vector<UCHAR> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = UCHAR(first + i);
  return b;
}

}  // namespace

TEST(UsbTransport, ReadsEndAtTheirTimeoutsAndReportTheBytesTheyDeliver) {
  OnStartedConverter([](DriverMachine& m, Converter& c) {
    c.SetLink();
    // Nothing queued: a read of 0 bytes ends at once with STATUS_TIMEOUT.
    Ticks start = m.k.Now();
    EXPECT_EQ(ReadIrp(c.fdo, 0).status, STATUS_TIMEOUT);
    EXPECT_EQ(m.k.Now(), start);
    // Nothing arrives: 3 x 50 + 5000 ms, STATUS_TIMEOUT, no byte.
    IrpResult none = ReadIrp(c.fdo, 3);
    EXPECT_EQ(none.outcome(), IrpOutcome(STATUS_TIMEOUT, 0));
    EXPECT_TRUE(TookAbout(m.k.Now() - start, Milliseconds(5150)));
    // Four bytes and then silence: the read ends ReadIntervalTimeout (50 ms) after the last one
    // was queued, with the four, long before its total time-out.
    start = m.k.Now();
    c.rig.line().reader_end().Transmit(Bytes(4));
    IrpResult some = ReadIrp(c.fdo, 10);
    EXPECT_EQ(some.status, STATUS_SUCCESS);
    EXPECT_EQ(some.data, Bytes(4));
    Ticks last_char = start + 4 * sim::CharacterTime(sim::kLinkSettings);
    EXPECT_TRUE(TookAbout(m.k.Now() - last_char, Milliseconds(50), kPoll + kClockTick));

    // Without an interval time-out the same read waits (10 - 4) x 50 + 5000 ms.
    c.ext->Timeouts.ReadIntervalTimeout = 0;
    c.rig.line().reader_end().Transmit(Bytes(4));
    Sleep(Milliseconds(100));
    start = m.k.Now();
    EXPECT_EQ(ReadIrp(c.fdo, 10).data, Bytes(4));
    EXPECT_TRUE(TookAbout(m.k.Now() - start, Milliseconds(5300)));
  });
}

TEST(UsbTransport, WritesGoOutInChunksWithFlowControlPolledBetweenThem) {
  OnStartedConverter([](DriverMachine&, Converter& c) {
    c.SetLink();
    c.ext->FlowControl = TRUE;
    size_t mark = c.Urbs().size();
    IrpResult w = WriteIrp(c.fdo, Bytes(20));
    EXPECT_EQ(w.outcome(), IrpOutcome(STATUS_SUCCESS, 20));
    std::vector<uint32_t> sequence;  // OUT transfers' lengths; 0 for a poll of the flow port
    for (const auto& u : c.Urbs(mark)) {
      bool poll = u.setup && u.setup->request == kRequestPort && u.setup->value == kPortFlow;
      if (poll || u.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        sequence.push_back(poll ? 0 : u.requested_length);
      }
    }
    EXPECT_EQ(sequence, std::vector<uint32_t>({8, 0, 8, 0, 4}));
    Sleep(Milliseconds(30));
    EXPECT_EQ(c.rig.trace().Bytes(sim::Direction::kHostToReader), Bytes(20));
    // Too long, or a device that is gone: refused before anything is sent, reading disabled.
    mark = c.Urbs().size();
    EXPECT_EQ(WriteIrp(c.fdo, Bytes(65536, 0)).status, STATUS_INVALID_USER_BUFFER);
    EXPECT_EQ(ReadIrp(c.fdo, 0).status, STATUS_TIMEOUT);
    EXPECT_NE(KeReadStateEvent(&c.ext->ReaderThreadContext.ReadEnableEvent), 0);
    c.ext->DeviceStarted = FALSE;
    IrpResult refused = WriteIrp(c.fdo, Bytes(3));
    EXPECT_EQ(refused.outcome(), IrpOutcome(STATUS_DEVICE_DATA_ERROR, 0));
    EXPECT_EQ(KeReadStateEvent(&c.ext->ReaderThreadContext.ReadEnableEvent), 0);
    EXPECT_TRUE(c.Urbs(mark, false).empty());
  });
}

// Two converter requests one after the other while permanent reading is on: the reading thread's
// IN transfer, cancelled by the first, comes back for the converter while the first holds it, and
// the second request's cancel finds nothing in flight. Neither request may then wait for a
// transfer nobody cancels (the watchdog's 2.5 s): the reading thread gives way to both, and reads
// again afterwards.
TEST(UsbTransport, ConverterRequestsGiveWayToNoTransferStartedAfterTheirCancel) {
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    OnStartedConverter(
        [&](DriverMachine& m, Converter& c) {
          c.SetLink();
          KeSetEvent(&c.ext->ReaderThreadContext.ReadEnableEvent, IO_NO_INCREMENT, FALSE);
          Sleep(Milliseconds(10));
          Ticks first_took = 0;
          PKTHREAD first = m.k.Spawn("first request", [&] {
            Ticks start = m.k.Now();
            EXPECT_EQ(ZarUSBSerConv_WritePort(c.fdo, kRequestModemLines, kDtrOn, 0),
                      STATUS_SUCCESS);
            first_took = m.k.Now() - start;
          });
          // While the first request's control transfer is on the bus.
          m.k.SleepFor(Microseconds(300));
          Ticks start = m.k.Now();
          EXPECT_EQ(ZarUSBSerConv_ReadPort(c.fdo, kRequestCounters, nullptr, nullptr),
                    STATUS_SUCCESS);
          Ticks second_took = m.k.Now() - start;
          KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr);
          EXPECT_LT(first_took, Milliseconds(50)) << "seed " << seed;
          EXPECT_LT(second_took, Milliseconds(50)) << "seed " << seed;
          // Reading is on again: a byte from the reader reaches the receive queue.
          EXPECT_NE(KeReadStateEvent(&c.ext->ReaderThreadContext.ReadEnableEvent), 0);
          c.rig.line().reader_end().Transmit({0x5A});
          Sleep(Milliseconds(20));
          EXPECT_EQ(QueueCount(&c.ext->ReceiveQueue), 1u) << "seed " << seed;
        },
        true, {}, seed);
  }
}

TEST(UsbTransport, DirectReadWithoutReadingThreadNeverPassesTheCallersBuffer) {
  OnStartedConverter(
      [](DriverMachine&, Converter& c) {
        c.SetLink();
        EXPECT_EQ(ReadIrp(c.fdo, 9).status, STATUS_INVALID_USER_BUFFER);
        EXPECT_EQ(ReadIrp(c.fdo, 2, 0).status, STATUS_INVALID_PARAMETER);  // not a read operation
        // Five bytes wait in the converter; a read of 2 gets 2 of the packet (the buffer is exactly
        // 2 bytes: the sanitizer sees any copy beyond), the rest of the packet is dropped.
        c.rig.line().reader_end().Transmit(Bytes(5));
        Sleep(Milliseconds(20));
        IrpResult two = ReadIrp(c.fdo, 2);
        EXPECT_EQ(two.status, STATUS_SUCCESS);
        EXPECT_EQ(two.data, Bytes(2));
        c.rig.line().reader_end().Transmit(Bytes(8, 0x40));
        Sleep(Milliseconds(20));
        IrpResult eight = ReadIrp(c.fdo, 8);
        EXPECT_EQ(eight.data, Bytes(8, 0x40));
        c.ext->DeviceStarted = FALSE;
        EXPECT_EQ(ReadIrp(c.fdo, 8).status, STATUS_DEVICE_DATA_ERROR);
      },
      false);
}

TEST(UsbTransport, ReadingThreadStopsWakingItsReaderAndStartsAgain) {
  OnStartedConverter(
      [](DriverMachine& m, Converter& c) {
        c.SetLink();
        EXPECT_FALSE(StopReadingThread(c.fdo));
        ASSERT_EQ(StartReadingThread(c.fdo), STATUS_SUCCESS);
        EXPECT_EQ(StartReadingThread(c.fdo), STATUS_UNSUCCESSFUL);

        // A reader waiting for 5 bytes gets the 2 that came when the thread ends, not at its
        // time-out (no interval time-out: arrivals alone do not end it).
        c.ext->Timeouts.ReadIntervalTimeout = 0;
        IrpResult woken;
        Ticks read_end = 0;
        PKTHREAD reader = m.k.Spawn("reader", [&] {
          woken = ReadIrp(c.fdo, 5);
          read_end = m.k.Now();
        });
        Sleep(Milliseconds(10));
        c.rig.line().reader_end().Transmit(Bytes(2));
        Sleep(Milliseconds(100));
        Ticks stop = m.k.Now();
        EXPECT_TRUE(StopReadingThread(c.fdo));
        // No fixed grace: the stop ends with the thread.
        EXPECT_LT(m.k.Now() - stop, Milliseconds(20));
        KeWaitForSingleObject(reader, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(woken.data, Bytes(2));
        EXPECT_LE(read_end, m.k.Now());  // at the thread's end
        EXPECT_EQ(c.ext->ReaderThreadHandle, nullptr);

        // Started again, the thread reads once a read enables it.
        ASSERT_EQ(StartReadingThread(c.fdo), STATUS_SUCCESS);
        c.rig.line().reader_end().Transmit(Bytes(3, 0x50));
        IrpResult again = ReadIrp(c.fdo, 3);
        EXPECT_EQ(again.data, Bytes(3, 0x50));
      },
      false);
}

// An IN transfer submitted about 4 ms past a poll has its watchdog expire at about a poll: a
// byte that arrives just before is either delivered, or cancelled with the transfer and left in
// the converter for the next one; never lost, and no request is left behind.
TEST(UsbTransport, WatchdogRacingACompletionNeverLosesAByte) {
  std::set<NTSTATUS> outcomes;
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    for (Ticks offset : {Ticks(-10), Ticks(0), Ticks(10)}) {
      SCOPED_TRACE(offset);
      OnStartedConverter(
          [&](DriverMachine& m, Converter& c) {
            c.SetLink();
            Sleep((m.k.Now() / kPoll + 1) * kPoll + Milliseconds(4) + offset - m.k.Now());
            Ticks due = (m.k.Now() / kPoll + 1) * kPoll + Milliseconds(2496);
            m.k.ScheduleAt(due - sim::CharacterTime(sim::kLinkSettings) - Microseconds(100),
                           [&] { c.rig.line().reader_end().Transmit({0x5A}); });
            std::vector<UCHAR> got;
            for (int i = 0; i < 2 && got.empty(); ++i) {
              UCHAR chunk[8] = {};
              URB urb{};
              UsbBuildInterruptOrBulkTransferRequest(
                  &urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                  c.ext->InPipe->PipeInfo->PipeHandle, chunk, nullptr, sizeof chunk,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
              KeWaitForSingleObject(&c.ext->UsbMutex, Executive, KernelMode, FALSE, nullptr);
              NTSTATUS status = SubmitUrb(c.fdo, &urb);
              KeReleaseMutex(&c.ext->UsbMutex, FALSE);
              if (i == 0) outcomes.insert(status);
              got.assign(chunk, chunk + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
            }
            EXPECT_EQ(got, std::vector<UCHAR>{0x5A});
            EXPECT_EQ(c.ext->CurrentUrbIrp, nullptr);
          },
          false, {}, seed);
      ASSERT_FALSE(HasFailure());
    }
  }
  for (NTSTATUS status : outcomes) {
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
  }
}

// Without pool for its URB no reading thread is made and reads take the direct path (a thread
// without one read nothing, and every read waited on an empty queue: a device dead until
// unplugged). A thread whose transfers fail at once pauses between them: nothing spins at its
// real-time priority.
TEST(UsbTransport, ReadingThreadThatCannotReadDoesNotSpin) {
  OnStartedConverter(
      [](DriverMachine& m, Converter& c) {
        c.SetLink();
        m.k.pool().FailTag(DRIVER_POOL_TAG);
        EXPECT_EQ(StartReadingThread(c.fdo), STATUS_INSUFFICIENT_RESOURCES);
        m.k.pool().ClearFaults();
        EXPECT_EQ(c.ext->ReaderThreadHandle, nullptr);
        EXPECT_FALSE(StopReadingThread(c.fdo));
        c.rig.line().reader_end().Transmit(Bytes(3, 0x60));
        Sleep(Milliseconds(20));
        EXPECT_EQ(ReadIrp(c.fdo, 3).data, Bytes(3, 0x60));
        c.ext->Timeouts = {0, 0, 1000, 0, 0};
        // A stalled IN endpoint that cannot be reset (no pool for the request): every transfer
        // fails at once.
        ASSERT_EQ(StartReadingThread(c.fdo), STATUS_SUCCESS);
        Sleep(Milliseconds(1));  // the thread has its URB
        m.k.pool().FailTag(DRIVER_POOL_TAG);
        c.rig.converter().StallEndpoint(kDataInEndpoint);
        size_t mark = c.Urbs().size();
        EXPECT_EQ(ReadIrp(c.fdo, 1).status, STATUS_TIMEOUT);
        size_t failed = c.Urbs(mark, true).size();  // stalled, then refused at once
        EXPECT_GE(failed, 5u);
        EXPECT_LE(failed, 12u);  // about one per 100 ms in the read's second
        m.k.pool().ClearFaults();
      },
      false);
}

// Replays zarq7-fault-matrix --class stall --seed 1: a transfer answered with a stall left its
// pipe halted and the device dead until it was plugged in again. The pipe is reset after the
// stall, and the next write and read go through.
TEST(UsbTransport, StalledPipesAreResetAndTheDeviceWorksOn) {
  OnStartedConverter([](DriverMachine&, Converter& c) {
    c.SetLink();
    auto resets = [&c](size_t from) {
      size_t n = 0;
      for (const auto& u : c.Urbs(from))
        n += u.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
      return n;
    };
    size_t mark = c.Urbs().size();
    c.rig.converter().StallEndpoint(kDataOutEndpoint);
    EXPECT_FALSE(NT_SUCCESS(WriteIrp(c.fdo, Bytes(4)).status));
    EXPECT_EQ(resets(mark), 1u);
    EXPECT_EQ(WriteIrp(c.fdo, Bytes(4)).outcome(), IrpOutcome(STATUS_SUCCESS, 4));
    Sleep(Milliseconds(30));
    EXPECT_EQ(c.rig.trace().Bytes(sim::Direction::kHostToReader), Bytes(4));

    mark = c.Urbs().size();
    c.rig.converter().StallEndpoint(kDataInEndpoint);
    c.rig.line().reader_end().Transmit(Bytes(4));
    EXPECT_EQ(ReadIrp(c.fdo, 4).data, Bytes(4));
    EXPECT_EQ(resets(mark), 1u);
  });
}
