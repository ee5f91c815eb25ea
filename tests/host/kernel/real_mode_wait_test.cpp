#include <gtest/gtest.h>

#include "host/kernel/kernel.h"
#include "platform/wdm.h"

using namespace host::kernel;

// An unbounded wait in real mode (under UBSan this overflowed converting the missing deadline).
TEST(RealMode, UnboundedWaitIsWokenBySetEvent) {
  Kernel k(KernelOptions{.mode = Mode::kReal});
  NTSTATUS st = -1;
  auto r = k.Run([&] {
    static KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    PKTHREAD setter = k.Spawn("setter", [&] {
      LARGE_INTEGER d;
      d.QuadPart = -Milliseconds(20);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      KeSetEvent(&e, 0, FALSE);
    });
    st = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(setter, Executive, KernelMode, FALSE, nullptr);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(st, STATUS_SUCCESS);
}
