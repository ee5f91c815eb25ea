// Work handed into a running real-time machine by threads outside it (pcscd's). A lane is one
// thread of the machine that runs the jobs given to it, one at a time, in order, at
// PASSIVE_LEVEL, as an application's thread would make its requests. An outside thread reaches
// the lane as hardware reaches the machine: it queues a device event that signals the lane's
// doorbell event. The outside thread then waits, outside the machine, until the job is done or
// the machine has ended (stopped by the verifier, say), so that it is never left waiting.
//
// No wait here looks again on a clock: the lane's queue, a job's completion and the machine's end
// change only under OutsideWaits::mu and are announced on its condition, and the doorbell is a
// synchronization event, so a ring that comes before the lane sleeps stays until it does.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/kernel/kernel.h"

namespace pcsc {

// What outside threads wait on: one lock and one condition for every lane of a machine.
struct OutsideWaits {
  std::mutex mu;
  std::condition_variable cv;
  bool machine_ended = false;  // guarded by mu; set once the machine's run has returned
};

class Lane {
 public:
  Lane(host::kernel::Kernel& kernel, std::shared_ptr<OutsideWaits> outside);
  ~Lane();
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  // From a machine thread: serves the lane in a thread of its own until Stop.
  void Spawn(std::string name);
  // From the machine thread that serves the lane itself: returns after Stop. Every `idle_every`
  // (0: never) `idle` runs in between jobs.
  void Serve(host::kernel::Ticks idle_every = 0, const std::function<void()>& idle = {});
  // From a machine thread, after Stop: waits until the spawned thread has ended.
  void Join();

  // From outside: runs job on the lane and waits for it. False when the lane was stopped, or the
  // machine ended first (and then the job may or may not have run).
  bool Run(std::function<void()> job);
  // From any thread: hands the job over without waiting; false when the lane was stopped or the
  // machine has ended.
  bool Post(std::function<void()> job);
  // From any thread: the lane ends once the jobs given before are done.
  void Stop();

 private:
  struct State;
  bool Queue(std::function<void()> job, std::shared_ptr<bool> done);

  std::shared_ptr<State> state_;
  PKTHREAD thread_ = nullptr;
};

}  // namespace pcsc
