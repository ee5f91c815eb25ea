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
