#include "host/machine/converter.h"

#include <algorithm>

#include "host/machine/machine.h"
#include "platform/winsmcrd.h"

namespace host::machine {

namespace {

// The rig with the slot left empty when the converter brings a card of its own.
sim::ConverterRigOptions RigOptions(const ConverterOptions& options) {
  sim::ConverterRigOptions rig = options.rig;
  if (options.card) rig.reader.insert_card = false;
  return rig;
}

}  // namespace

Converter::Converter(Machine& machine, ConverterOptions options)
    : machine_(machine),
      rig_(machine.kernel(), RigOptions(options)),
      layout_(options.rig.converter.layout) {
  if (options.card) {
    card_ = options.card;
    rig_.reader().InsertCard(card_);
  } else if (options.rig.reader.insert_card) {
    card_ = rig_.card();
  }
  pdo_ = machine_.bus().Plug(rig_.device());
  if (pdo_) {
    address_ = machine_.bus().DeviceAddress(pdo_);
    node_ = machine_.pnp().Find(pdo_);
  }
}

Converter::~Converter() = default;

const io::DeviceNode* Converter::node() { return node_; }

io::DeviceState Converter::state() { return node_ ? node_->state : io::DeviceState::kRemoved; }

bool Converter::plugged() { return pdo_ && machine_.bus().Present(pdo_); }

// The stack is reachable while Plug and Play still holds the physical device object.
PDEVICE_OBJECT Converter::top() {
  if (!node_ || !node_->pdo || node_->state == io::DeviceState::kRemoved) return nullptr;
  PDEVICE_OBJECT top = machine_.io().AttachedDevice(node_->pdo);
  return top == node_->pdo ? nullptr : top;
}

std::u16string Converter::device_name() {
  PDEVICE_OBJECT device = top();
  return device ? machine_.io().DeviceName(device) : std::u16string();
}

std::u16string Converter::reader_interface() {
  if (!node_ || !node_->pdo) return {};
  for (const std::u16string& link :
       machine_.io().EnabledInterfaces(GUID_DEVINTERFACE_SMARTCARD_READER)) {
    if (machine_.io().Resolve(link) == node_->pdo) return link;
  }
  return {};
}

std::vector<usb::UrbRecord> Converter::Urbs() {
  std::vector<usb::UrbRecord> mine;
  for (usb::UrbRecord& record : machine_.bus().trace().Records()) {
    if (record.device == address_) mine.push_back(std::move(record));
  }
  return mine;
}

kernel::Ticks Converter::polling_period() {
  const auto& settings = layout_.settings;
  size_t setting = std::min<size_t>(rig_.converter().alternate_setting(), settings.size() - 1);
  for (const sim::converter::EndpointLayout& endpoint : settings[setting].endpoints) {
    if (endpoint.address & USB_ENDPOINT_DIRECTION_MASK) {
      return usb::InterruptPollingPeriod(endpoint.interval);
    }
  }
  return usb::InterruptPollingPeriod(0);
}

NTSTATUS Converter::Stop() {
  return node_ ? machine_.pnp().StopDevice(node_) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS Converter::Start() {
  return node_ ? machine_.pnp().StartDevice(node_) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS Converter::Remove() {
  return node_ ? machine_.pnp().RemoveDevice(node_) : STATUS_NO_SUCH_DEVICE;
}

void Converter::Unplug() {
  if (plugged()) machine_.bus().Unplug(pdo_);
}

}  // namespace host::machine
