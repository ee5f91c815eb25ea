// The handler's parts that pcscd never sees directly: device names, the status table, and the
// lanes that carry pcscd's calls into the real-time machine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "pcsc/control_code_name.h"
#include "pcsc/device_spec.h"
#include "pcsc/machine_lane.h"
#include "pcsc/status_table.h"
#include "platform/smclib.h"

namespace {

TEST(DeviceSpec, TakesOnlyTheNamesItKnows) {
  std::string error;
  for (const char* name : {"zarq7:", "\"builtin", "smartcard", "builtin,rate=9601", "vicc",
                           "builtin,port=1", "t0,seed", "none,colour=red"}) {
    EXPECT_FALSE(pcsc::ParseDeviceName(name, &error)) << name;
  }
  // The name in the log stands in one pair of quotes, whether pcscd's configuration quoted it.
  EXPECT_FALSE(pcsc::ParseDeviceName("\"zarq7:bogus\"", &error));
  EXPECT_EQ(error.substr(0, error.find(" (")),
            "device name \"zarq7:bogus\": unknown card \"bogus\"");
  auto spec = pcsc::ParseDeviceName("\"zarq7:vicc,port=35999,rate=57600,seed=4\"", &error);
  ASSERT_TRUE(spec);
  EXPECT_EQ(spec->card, pcsc::CardKind::kVicc);
  EXPECT_EQ(spec->vicc_port, 35999);
  EXPECT_EQ(spec->rate, 57600u);
  EXPECT_EQ(spec->seed, 4u);
}

TEST(StatusTable, SaysWhatEachFailureMeansToPcscd) {
  using pcsc::IfdCode;
  using pcsc::Operation;
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_NOT_SUPPORTED, Operation::kProtocol),
            IfdCode::kProtocolNotSupported);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_NOT_SUPPORTED, Operation::kAttribute), IfdCode::kErrorTag);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_NOT_SUPPORTED, Operation::kTransmit), IfdCode::kNotSupported);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_IO_TIMEOUT, Operation::kTransmit), IfdCode::kResponseTimeout);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_DELETE_PENDING, Operation::kPresence), IfdCode::kNoSuchDevice);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_UNSUCCESSFUL, Operation::kPower), IfdCode::kErrorPowerAction);
  EXPECT_EQ(pcsc::IfdCodeFor(STATUS_UNSUCCESSFUL, Operation::kTransmit),
            IfdCode::kCommunicationError);
}

// Outside threads hand jobs to two lanes of a real-time machine as fast as they can, waiting for
// some and posting others, while the lanes' threads sleep between jobs. A wake-up lost anywhere
// between them (the queue, the doorbell, the completion) leaves a thread waiting for good: no
// wait on a lane looks again on a clock.
TEST(Lane, EveryJobHandedInRunsAndEveryWaiterWakes) {
  constexpr int kThreads = 4;
  constexpr int kJobsEach = 1500;
  std::atomic<int> ran{0};
  int expected = 0;
  auto run = std::async(std::launch::async, [&] {
    host::kernel::Kernel k(host::kernel::KernelOptions{.mode = host::kernel::Mode::kReal});
    return k.Run([&] {
      auto outside = std::make_shared<pcsc::OutsideWaits>();
      pcsc::Lane a(k, outside), b(k, outside);
      a.Spawn("lane a");
      b.Spawn("lane b");
      std::vector<std::thread> callers;
      std::atomic<int> refused{0};
      for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
          for (int i = 0; i < kJobsEach; ++i) {
            pcsc::Lane& lane = (i + t) % 2 ? a : b;
            auto job = [&] { ran.fetch_add(1); };
            if (!(i % 5 == 0 ? lane.Post(job) : lane.Run(job))) refused.fetch_add(1);
          }
        });
      }
      for (auto& c : callers) c.join();
      expected = kThreads * kJobsEach - refused.load();
      EXPECT_EQ(refused.load(), 0);
      a.Stop();
      b.Stop();
      a.Join();
      b.Join();
    });
  });
  // A hang is the failure this test looks for; it must end the test, not the suite's time-out.
  if (run.wait_for(std::chrono::minutes(2)) != std::future_status::ready) {
    ADD_FAILURE() << "a lane job or a waiter was left waiting: " << ran.load() << " jobs ran";
    std::_Exit(1);
  }
  EXPECT_TRUE(run.get().ok());
  EXPECT_EQ(ran.load(), expected);
}

}  // namespace

// The handler's log names a refused request by its control code, never as a status.
TEST(ControlCodeName, NamesTheRequestsPcscdSends) {
  EXPECT_EQ(pcsc::ControlCodeName(IOCTL_SMARTCARD_GET_STATE), "IOCTL_SMARTCARD_GET_STATE");
  EXPECT_EQ(pcsc::ControlCodeName(IOCTL_SMARTCARD_TRANSMIT), "IOCTL_SMARTCARD_TRANSMIT");
  EXPECT_EQ(pcsc::ControlCodeName(SCARD_CTL_CODE(55)), "raw reader command 0x003100DC");
  EXPECT_EQ(pcsc::ControlCodeName(0x00222000), "control code 0x00222000");
}
