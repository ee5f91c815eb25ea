#include "sim/converter_rig.h"

namespace sim {

namespace {

ReaderRigOptions WithoutHostPort(ReaderRigOptions options) {
  options.host_port = false;
  return options;
}

}  // namespace

ConverterRig::ConverterRig(host::kernel::Kernel& kernel, ConverterRigOptions options)
    : rig_(std::make_unique<ReaderRig>(kernel, WithoutHostPort(options.reader))),
      port_(std::make_unique<SerialLinePort>(rig_->line().converter_end())),
      converter_(std::make_unique<UsbSerialConverter>(kernel, *port_, options.converter)) {}

ConverterRig::~ConverterRig() {
  converter_.reset();
  port_.reset();
  rig_.reset();
}

}  // namespace sim
