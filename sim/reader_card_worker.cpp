// The reader's card worker: a daemon host thread that makes the card calls, so that a card may
// take its time (virtual in simulation) or block on a socket without stopping the firmware.
#include "host/kernel/kernel.h"
#include "sim/reader_firmware.h"

namespace sim {

using host::kernel::Ticks;

void Reader::Firmware::QueueJobLocked(CardJob job) {
  job.epoch = power_epoch;
  job.command_seq = command_seq;
  if (job.done) ++card_calls;
  jobs.push_back(std::move(job));
  KeSetEvent(&jobs_event, 0, FALSE);
}

void Reader::Firmware::WorkerLoop() {
  for (;;) {
    std::optional<CardJob> job;
    {
      std::lock_guard lock(mu);
      if (closed) return;
      if (!jobs.empty()) {
        job = std::move(jobs.front());
        jobs.pop_front();
      }
    }
    if (!job) {
      KeWaitForSingleObject(&jobs_event, Executive, KernelMode, FALSE, nullptr);
      continue;
    }
    std::optional<std::vector<uint8_t>> result;
    uint32_t protocols = 0;
    Ticks work = 0;
    switch (job->kind) {
      case CardJob::Kind::kPowerOn:
        work = job->card->ProcessingTime({});
        result = job->card->PowerOn();
        protocols = result->empty() ? 0 : job->card->SupportedProtocols();
        work += options.card_time_base + Ticks(result->size()) * options.card_byte_time;
        break;
      case CardJob::Kind::kPowerOff:
        job->card->PowerOff();
        break;
      case CardJob::Kind::kSelectProtocol:
        job->card->SelectProtocol(job->protocol);
        break;
      case CardJob::Kind::kTransmit:
        work = job->card->ProcessingTime(job->command);
        result = job->card->Transmit(job->command);
        // The bytes cross between reader and card at the card's rate.
        work += options.card_time_base +
                Ticks(job->command.size() + result->size()) * options.card_byte_time;
        break;
    }
    if (work > options.card_timeout) {
      work = options.card_timeout;
      result.reset();  // mute as far as the reader can tell
    }
    if (work > 0) {
      LARGE_INTEGER delay;
      delay.QuadPart = -work;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    if (!job->done) continue;
    std::lock_guard lock(mu);
    auto done = std::move(job->done);
    At(
        kernel.Now(),
        [done, result, protocols, epoch = job->epoch, seq = job->command_seq](Firmware& fw) {
          if (epoch != fw.power_epoch) return;
          --fw.card_calls;
          if (seq == fw.command_seq) done(result, protocols);
        },
        false);
  }
}

}  // namespace sim
