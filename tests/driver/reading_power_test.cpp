// Permanent reading across a power-down: no IN transfer is left pending when the converter goes to
// D3, and an application's reads while it is there neither re-enable reading nor reach the bus.
#include <atomic>

#include "tests/driver/stack_rig.h"

using namespace stack_test;

namespace {

// IN transfers of c still pending after the power-down that ended at `at`, or submitted in
// [at, until).
size_t InTransfersWhilePoweredDown(Plugged& c, Ticks at, Ticks until) {
  size_t n = 0;
  for (const auto& u : c.Urbs(0, true)) {
    bool pending = u.submitted <= at && (!u.completed || u.completed_at > at);
    bool submitted = u.submitted > at && u.submitted < until;
    if (pending || submitted) {
      ADD_FAILURE() << "IN transfer submitted at " << u.submitted << ", completed "
                    << (u.completed ? u.completed_at : -1) << ", powered down at " << at;
    }
    n += pending || submitted;
  }
  return n;
}

}  // namespace

TEST(StackReadingPower, NoInTransferReachesThePoweredDownConverter) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    OnMachine(seed, [](StackMachine& m) {
      Plugged c(m);
      Session s(m);
      ASSERT_TRUE(s.StartSession());
      // The session's last read left reading enabled: an IN transfer is pending. Another thread
      // of the application reads on while the system goes to sleep.
      std::atomic<bool> sleeping = false;
      std::vector<NTSTATUS> asleep_reads;
      PKTHREAD reader = m.k.Spawn("application reader", [&] {
        while (!sleeping) {
          if (!NT_SUCCESS(m.app.Read(s.h, 8).status)) Sleep(Milliseconds(5));
        }
      });
      Sleep(Milliseconds(300));
      ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
      sleeping = true;
      Ticks asleep = m.k.Now();
      KeWaitForSingleObject(reader, Executive, KernelMode, FALSE, nullptr);
      // ReadFile in D3: fails at once, nothing enabled.
      for (int i = 0; i < 3; ++i) {
        asleep_reads.push_back(m.app.Read(s.h, 8).status);
        Sleep(Milliseconds(500));
      }
      Sleep(Seconds(1));
      Ticks woken = m.k.Now();
      EXPECT_EQ(InTransfersWhilePoweredDown(c, asleep, woken), 0u);
      for (NTSTATUS status : asleep_reads) EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;

      ASSERT_EQ(m.power.SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
      EXPECT_TRUE(s.StartSession());
    });
    ASSERT_FALSE(HasFailure()) << "seed " << seed;
  }
}
