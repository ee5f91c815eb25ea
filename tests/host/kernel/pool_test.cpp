#include "tests/host/kernel/kernel_test_support.h"

using namespace host::kernel;
using namespace host::kernel::testing;

namespace {
constexpr ULONG kDriverTag = MakeTag("SC7Q");
constexpr ULONG kOtherTag = MakeTag("Othr");
}  // namespace

TEST(Pool, CountsPerTagAndChecksTheTagOnFree) {
  Kernel k;
  auto r = k.Run([&] {
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kDriverTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kDriverTag);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
    TagStats s = k.pool().Stats(kDriverTag);
    EXPECT_EQ(s.outstanding_blocks, 2u);
    EXPECT_EQ(s.outstanding_bytes, 128u);
    ExFreePoolWithTag(a, kDriverTag);
    ExFreePool(b);
    ExFreePool(c);
    s = k.pool().Stats(kDriverTag);
    EXPECT_EQ(s.outstanding_bytes, 0u);
    EXPECT_EQ(s.peak_bytes, 128u);
    EXPECT_EQ(s.allocations, 2u);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(TagName(kDriverTag), "SC7Q");
  EXPECT_EQ(kDriverTag, 0x51374353u);
}

TEST(Pool, FreeWithTheWrongTagStopsTheMachine) {
  Kernel k;
  auto r = k.Run(
      [&] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 1, kDriverTag), kOtherTag); });
  ExpectBugCheck(r, "ExFreePoolWithTag", "tag other than");
}

TEST(Pool, InjectedFailuresHitTheNthAllocationOrATag) {
  Kernel k;
  auto r = k.Run([&] {
    k.pool().FailNth(2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    k.pool().FailTag(kOtherTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kOtherTag), nullptr);
    void* fourth = ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag);
    EXPECT_NE(fourth, nullptr);
    k.pool().ClearFaults();
    void* fifth = ExAllocatePoolWithTag(NonPagedPool, 4, kOtherTag);
    EXPECT_NE(fifth, nullptr);
    EXPECT_EQ(k.pool().Stats(kDriverTag).failures, 1u);
    for (void* p : {first, third, fourth, fifth}) ExFreePool(p);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Pool, RandomFailuresRepeatForTheSameSeed) {
  auto pattern = [](uint64_t seed) {
    Kernel k;
    std::string failed;
    auto r = k.Run([&] {
      k.pool().FailRandomly(0.3, seed);
      for (int i = 0; i < 40; ++i) {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kDriverTag);
        failed += p ? '.' : 'x';
        if (p) ExFreePool(p);
      }
    });
    EXPECT_TRUE(r.ok()) << r.report;
    return failed;
  };
  EXPECT_EQ(pattern(3), pattern(3));
  EXPECT_NE(pattern(3), pattern(4));
  EXPECT_NE(pattern(3).find('x'), std::string::npos);
}

TEST(Pool, FreshBlocksAreNotZeroed) {
  Kernel k;
  auto r = k.Run([&] {
    auto p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag));
    EXPECT_NE(p[0], 0) << "code that relies on zeroed pool must fail here too";
    ExFreePool(p);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
