#include "sim/reader_rig.h"

#include <algorithm>

#include "platform/ke.h"

namespace sim {

using host::kernel::Milliseconds;

ReaderRig::ReaderRig(host::kernel::Kernel& kernel, ReaderRigOptions options)
    : kernel_(kernel), options_(options) {
  line_ = std::make_unique<SerialLine>(kernel_, options_.seed);
  trace_ = std::make_unique<LineTrace>(*line_);
  // The reader's pauses inside a block do not cut it in the trace.
  trace_->set_block_gap(std::max(kDefaultBlockGap, 2 * options_.reader.character_gap_max));
  reader_ = std::make_unique<Reader>(*line_, options_.reader);
  card_ = std::make_shared<BuiltinCard>(options_.card);
  if (options_.insert_card) reader_->InsertCard(card_);
  if (options_.host_port) {
    port_ = std::make_unique<BlockingPort>(line_->converter_end());
    host_ = std::make_unique<T1Host>(*port_);
  }
}

ReaderRig::~ReaderRig() {
  host_.reset();
  port_.reset();
  reader_.reset();
  trace_.reset();
  line_.reset();
}

void ReaderRig::PowerUp() {
  line_->SetDtr(true);
  LARGE_INTEGER wait;
  wait.QuadPart = -(options_.reader.boot_time + Milliseconds(10));
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

bool ReaderRig::BringUp(uint8_t ifsd) {
  PowerUp();
  if (!host_->Resynch()) return false;
  if (!host_->SetIfsd(ifsd)) return false;
  host_->ifsc = options_.reader.ifsc;
  return true;
}

}  // namespace sim
