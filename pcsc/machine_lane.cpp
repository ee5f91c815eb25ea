#include "pcsc/machine_lane.h"

#include <deque>

#include "platform/io.h"
#include "platform/ke.h"

namespace pcsc {

struct Lane::State {
  struct Job {
    std::function<void()> work;
    std::shared_ptr<bool> done;  // set under outside->mu when the job has run; may be null
  };

  State(host::kernel::Kernel& k, std::shared_ptr<OutsideWaits> o)
      : kernel(k), outside(std::move(o)) {}

  host::kernel::Kernel& kernel;
  std::shared_ptr<OutsideWaits> outside;
  KEVENT doorbell{};      // synchronization event: a ring wakes the lane once
  std::deque<Job> jobs;   // guarded by outside->mu
  bool stopping = false;  // guarded by outside->mu
};

Lane::Lane(host::kernel::Kernel& kernel, std::shared_ptr<OutsideWaits> outside)
    : state_(std::make_shared<State>(kernel, std::move(outside))) {
  KeInitializeEvent(&state_->doorbell, SynchronizationEvent, FALSE);
}

Lane::~Lane() = default;

void Lane::Spawn(std::string name) {
  thread_ = state_->kernel.Spawn(std::move(name), [this] { Serve(); });
}

void Lane::Serve(host::kernel::Ticks idle_every, const std::function<void()>& idle) {
  State& s = *state_;
  host::kernel::Ticks next_idle = idle_every ? s.kernel.Now() + idle_every : 0;
  for (;;) {
    State::Job job;
    {
      std::unique_lock lock(s.outside->mu);
      if (s.jobs.empty() && s.stopping) return;
      if (!s.jobs.empty()) {
        job = std::move(s.jobs.front());
        s.jobs.pop_front();
      }
    }
    if (job.work) {
      job.work();
      {
        std::lock_guard lock(s.outside->mu);
        if (job.done) *job.done = true;
      }
      s.outside->cv.notify_all();
    } else if (idle_every) {
      host::kernel::Ticks now = s.kernel.Now();
      if (now >= next_idle) {
        idle();
        next_idle = now + idle_every;
        continue;
      }
      LARGE_INTEGER timeout;
      timeout.QuadPart = -(next_idle - now);
      KeWaitForSingleObject(&s.doorbell, Executive, KernelMode, FALSE, &timeout);
    } else {
      KeWaitForSingleObject(&s.doorbell, Executive, KernelMode, FALSE, nullptr);
    }
  }
}

void Lane::Join() {
  if (!thread_) return;
  KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
  thread_ = nullptr;
}

bool Lane::Queue(std::function<void()> job, std::shared_ptr<bool> done) {
  std::shared_ptr<State> s = state_;
  {
    std::lock_guard lock(s->outside->mu);
    if (s->outside->machine_ended || s->stopping) return false;
    s->jobs.push_back(State::Job{std::move(job), std::move(done)});
  }
  // The device event keeps the state alive until it has rung, whatever becomes of the lane.
  s->kernel.ScheduleAt(s->kernel.Now(), [s] { KeSetEvent(&s->doorbell, IO_NO_INCREMENT, FALSE); });
  return true;
}

bool Lane::Run(std::function<void()> job) {
  auto done = std::make_shared<bool>(false);
  if (!Queue(std::move(job), done)) return false;
  OutsideWaits& outside = *state_->outside;
  std::unique_lock lock(outside.mu);
  outside.cv.wait(lock, [&] { return *done || outside.machine_ended; });
  return *done;
}

bool Lane::Post(std::function<void()> job) { return Queue(std::move(job), nullptr); }

void Lane::Stop() {
  std::shared_ptr<State> s = state_;
  {
    std::lock_guard lock(s->outside->mu);
    if (s->stopping || s->outside->machine_ended) return;
    s->stopping = true;
  }
  s->kernel.ScheduleAt(s->kernel.Now(), [s] { KeSetEvent(&s->doorbell, IO_NO_INCREMENT, FALSE); });
}

}  // namespace pcsc
