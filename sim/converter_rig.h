// The simulated hardware behind one USB port: the USB-to-serial converter on a serial line with
// the reader at its far end and the built-in card in the slot (a ReaderRig without a host port:
// the converter owns the line's converter end). The converter is the USB device a bus plugs in:
//
//   sim::ConverterRig rig(kernel);                 // inside the running machine
//   PDEVICE_OBJECT pdo = bus.Plug(rig.device());   // host::usb::UsbBus
//   ...
//   bus.Unplug(pdo);                               // before the rig is destroyed
//
// Destroy the rig inside the machine's run, after its device has left the bus.
#pragma once

#include <memory>

#include "host/kernel/kernel.h"
#include "host/usb/usb_device.h"
#include "sim/converter/usb_serial_converter.h"
#include "sim/reader_rig.h"
#include "sim/serial_line_port.h"

namespace sim {

struct ConverterRigOptions {
  ConverterOptions converter;
  // host_port is ignored: the converter takes the line's converter end.
  ReaderRigOptions reader;
};

class ConverterRig {
 public:
  explicit ConverterRig(host::kernel::Kernel& kernel, ConverterRigOptions options = {});
  ~ConverterRig();
  ConverterRig(const ConverterRig&) = delete;
  ConverterRig& operator=(const ConverterRig&) = delete;

  host::usb::UsbDevice& device() { return *converter_; }
  UsbSerialConverter& converter() { return *converter_; }
  SerialLine& line() { return rig_->line(); }
  LineTrace& trace() { return rig_->trace(); }
  Reader& reader() { return rig_->reader(); }
  std::shared_ptr<BuiltinCard> card() { return rig_->card(); }

 private:
  std::unique_ptr<ReaderRig> rig_;
  std::unique_ptr<SerialLinePort> port_;
  std::unique_ptr<UsbSerialConverter> converter_;
};

}  // namespace sim
