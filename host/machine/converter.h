// One converter plugged into the machine's USB bus: the simulated converter with its serial line,
// the reader at the line's far end and a card in the reader's slot (sim::ConverterRig), and what
// the machine's side knows of it: its physical device object and Plug and Play node, the device
// the driver made for it, and its URBs.
//
// Created by Machine::Plug; lives until the machine shuts down, also after it was pulled out, so
// that what it saw stays readable.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/io/pnp_manager.h"
#include "host/usb/urb_trace.h"
#include "sim/cards/card.h"
#include "sim/converter_rig.h"

namespace host::machine {

class Machine;

struct ConverterOptions {
  sim::ConverterRigOptions rig;
  // A card of its own in the slot (a vicc bridge, a scripted card) in place of the built-in one.
  std::shared_ptr<sim::Card> card;
};

class Converter {
 public:
  Converter(Machine& machine, ConverterOptions options);
  ~Converter();
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // --- the hardware ---
  sim::ConverterRig& rig() { return rig_; }
  sim::UsbSerialConverter& converter() { return rig_.converter(); }
  sim::Reader& reader() { return rig_.reader(); }
  sim::SerialLine& line() { return rig_.line(); }
  sim::LineTrace& line_trace() { return rig_.trace(); }
  // The card in the slot at plug-in: the built-in one or the options' own.
  std::shared_ptr<sim::Card> card() const { return card_; }

  // --- the machine's side ---
  PDEVICE_OBJECT pdo() const { return pdo_; }
  // Plug and Play's record of the device: its state and the requests it was sent.
  const io::DeviceNode* node();  // NULL when the bus could not make a PDO
  io::DeviceState state();
  // Its address on the bus (1, 2, ... in plug order).
  uint16_t address() const { return address_; }
  bool plugged();
  // The name of the device object the driver attached for it ("\Device\USBTESK0"), empty when
  // no driver's device is on the stack (AddDevice refused, or the stack is gone).
  std::u16string device_name();
  // The symbolic link of its enabled smart card reader interface, empty when none is enabled.
  std::u16string reader_interface();
  // Its URBs in the bus's trace, in submission order.
  std::vector<usb::UrbRecord> Urbs();
  // How often the bus polls its IN endpoint in the interface setting now selected.
  kernel::Ticks polling_period();

  // --- Plug and Play, as the system sends it ---
  NTSTATUS Stop();    // query stop, stop
  NTSTATUS Start();   // a start after a stop
  NTSTATUS Remove();  // orderly removal (query remove, remove); the converter stays plugged
  // Pulls the cable: surprise removal, and removal once the last handle is closed.
  void Unplug();

 private:
  // The top of the device's stack while the driver's device is on it.
  PDEVICE_OBJECT top();

  Machine& machine_;
  sim::ConverterRig rig_;
  std::shared_ptr<sim::Card> card_;
  sim::converter::DescriptorLayout layout_;
  PDEVICE_OBJECT pdo_ = nullptr;  // an identity only once pulled out (the bus deletes it)
  io::DeviceNode* node_ = nullptr;
  uint16_t address_ = 0;
};

}  // namespace host::machine
