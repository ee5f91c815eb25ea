// The receive queue: puts that do not fit are dropped whole, and a put that fits behind unread
// bytes only after they move to the front never runs past the storage.
#include "driver_rig.h"

using namespace driver_test;

TEST(ReceiveQueue, PutsAreStoredWholeOrDroppedWholeAndNeverPassTheStorage) {
  Kernel k;
  auto r = k.Run([&] {
    RECEIVE_QUEUE q{};
    ASSERT_EQ(QueueInit(&q, RECEIVE_QUEUE_SIZE), STATUS_SUCCESS);
    std::vector<UCHAR> bytes(RECEIVE_QUEUE_SIZE);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = UCHAR(i * 7);
    QueuePut(&q, bytes.data(), RECEIVE_QUEUE_SIZE);
    QueuePut(&q, bytes.data(), 1);
    EXPECT_EQ(QueueCount(&q), ULONG(RECEIVE_QUEUE_SIZE));
    std::vector<UCHAR> out(RECEIVE_QUEUE_SIZE);
    QueueGet(&q, out.data(), 6);
    QueuePut(&q, bytes.data(), 8);  // 506 + 8: dropped whole
    EXPECT_EQ(QueueCount(&q), 506u);
    // 506 + 6 fits, but not behind the unread bytes at offset 6: they move to the front first.
    QueuePut(&q, bytes.data(), 6);
    EXPECT_EQ(QueueCount(&q), ULONG(RECEIVE_QUEUE_SIZE));
    QueueGet(&q, out.data(), RECEIVE_QUEUE_SIZE);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 506, bytes.begin() + 6));
    EXPECT_TRUE(std::equal(out.begin() + 506, out.end(), bytes.begin()));

    QueueFree(&q);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// The waiter is signalled when a put brings the count to its threshold, also by a put that was
// dropped; a purge empties the queue but keeps a waiting read, which the next bytes wake.
TEST(ReceiveQueue, WaiterIsSignalledAtItsThresholdAndSurvivesAPurge) {
  Kernel k;
  auto r = k.Run([&] {
    RECEIVE_QUEUE q{};
    ASSERT_EQ(QueueInit(&q, RECEIVE_QUEUE_SIZE), STATUS_SUCCESS);
    KEVENT woken;
    KeInitializeEvent(&woken, NotificationEvent, FALSE);
    std::vector<UCHAR> bytes(RECEIVE_QUEUE_SIZE, 0x5A);
    QueueSetWaiter(&q, 10, &woken);
    QueuePut(&q, bytes.data(), 8);
    EXPECT_EQ(KeReadStateEvent(&woken), 0);
    QueuePut(&q, bytes.data(), 2);
    EXPECT_NE(KeReadStateEvent(&woken), 0);
    // Full: a put that is dropped still signals a waiter whose threshold is reached.
    QueuePut(&q, bytes.data(), RECEIVE_QUEUE_SIZE - 10);
    KeClearEvent(&woken);
    QueuePut(&q, bytes.data(), 1);
    EXPECT_EQ(QueueCount(&q), ULONG(RECEIVE_QUEUE_SIZE));
    EXPECT_NE(KeReadStateEvent(&woken), 0);
    // A purge empties the queue; the waiter stays, and the next bytes wake it.
    KeClearEvent(&woken);
    QueueReset(&q);
    EXPECT_EQ(QueueCount(&q), 0u);
    QueuePut(&q, bytes.data(), 9);
    EXPECT_EQ(KeReadStateEvent(&woken), 0);
    QueuePut(&q, bytes.data(), 1);
    EXPECT_NE(KeReadStateEvent(&woken), 0);
    QueueSetWaiter(&q, 0, nullptr);
    QueueFree(&q);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// A read waiting for 3 bytes while the queue is purged gets the 3 that arrive after the purge as
// soon as they are queued, not at its time-out.
TEST(ReceiveQueue, ReadWaitingThroughAPurgeGetsTheBytesThatFollowIt) {
  OnStartedConverter([](DriverMachine& m, Converter& c) {
    c.SetLink();
    c.ext->Timeouts.ReadIntervalTimeout = 0;
    IrpResult read;
    Ticks ended = 0;
    PKTHREAD reader = m.k.Spawn("reader", [&] {
      read = ReadIrp(c.fdo, 3);
      ended = m.k.Now();
    });
    Sleep(Milliseconds(10));
    QueueReset(&c.ext->ReceiveQueue);
    Ticks sent = m.k.Now();
    c.rig.line().reader_end().Transmit({0x31, 0x32, 0x33});
    KeWaitForSingleObject(reader, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(read.data, std::vector<UCHAR>({0x31, 0x32, 0x33}));
    EXPECT_LT(ended - sent, Milliseconds(100));
  });
}
