// A converter on a stand-in line and a stand-in bus, driven as the bus drives it: every call from
// the kernel's interrupt context, completions on the virtual clock.
#pragma once
#include <memory>
#include <optional>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/usb/usb_device.h"
#include "platform/wdm.h"
#include "sim/converter/usb_serial_converter.h"

namespace converter_test {

using namespace host::kernel;
using namespace sim;
using namespace sim::converter;
using host::usb::ControlResult;
using host::usb::Handshake;
using host::usb::InPacket;
using host::usb::SetupPacket;

// The line: records what the converter does to it, takes CharacterTime per character sent, and
// delivers characters from the far end at the line's rate.
class FakeLinePort : public LinePort {
 public:
  struct Sent {
    Ticks start;
    uint8_t character;
  };
  struct ModemChange {
    Ticks at;
    bool dtr;
    bool rts;
  };
  struct PurgeCall {
    bool receive;
    bool transmit;
  };

  explicit FakeLinePort(Kernel& k) : k_(k) {}

  void Connect(LineClient* client) override { client_ = client; }
  void SetLineSettings(const UartSettings& s) override {
    settings = s;
    settings_history.push_back(s);
  }
  void SetModemLines(bool dtr, bool rts) override { modem.push_back({k_.Now(), dtr, rts}); }
  void Purge(bool receive, bool transmit) override { purges.push_back({receive, transmit}); }
  void Transmit(uint8_t character) override {
    if (busy_) overlapped = true;
    busy_ = true;
    sent.push_back({k_.Now(), character});
    k_.ScheduleAfter(CharacterTime(settings), [this] {
      busy_ = false;
      if (client_) client_->OnTransmitDone();
    });
  }

  // Characters from the far end, back to back from `start` at the current settings.
  void Deliver(std::vector<uint8_t> characters, Ticks start, bool error = false) {
    Ticks t = start;
    for (uint8_t c : characters) {
      t += CharacterTime(settings);
      k_.ScheduleAt(t, [this, c, error] {
        if (client_) client_->OnCharacterReceived(c, error);
      });
    }
  }

  std::vector<uint8_t> SentBytes() const {
    std::vector<uint8_t> b;
    for (const Sent& s : sent) b.push_back(s.character);
    return b;
  }

  UartSettings settings;
  std::vector<UartSettings> settings_history;
  std::vector<ModemChange> modem;
  std::vector<PurgeCall> purges;
  std::vector<Sent> sent;
  bool overlapped = false;  // Transmit while a character was still on the wire

 private:
  Kernel& k_;
  LineClient* client_ = nullptr;
  bool busy_ = false;
};

// The bus port: records an unplug and answers it with Detached, as the bus does.
class FakeBusPort : public host::usb::UsbBusPort {
 public:
  FakeBusPort(Kernel& k, host::usb::UsbDevice& device) : k_(k), device_(device) {}
  void Unplug() override {
    if (unplugged_at) return;
    unplugged_at = k_.Now();
    k_.ScheduleAfter(0, [this] { device_.Detached(); });
  }
  std::optional<Ticks> unplugged_at;

 private:
  Kernel& k_;
  host::usb::UsbDevice& device_;
};

struct Bench {
  Kernel& k;
  FakeLinePort line;
  std::unique_ptr<sim::UsbSerialConverter> converter;
  std::unique_ptr<FakeBusPort> bus;

  explicit Bench(Kernel& kernel, sim::ConverterOptions options = {})
      : k(kernel),
        line(kernel),
        converter(std::make_unique<sim::UsbSerialConverter>(kernel, line, std::move(options))),
        bus(std::make_unique<FakeBusPort>(kernel, *converter)) {
    converter->Attached(bus.get());
  }

  // Runs fn in the interrupt context at the current virtual time and waits for it.
  template <class F>
  void InInterrupt(F fn) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    k.ScheduleAfter(0, [&] {
      fn();
      KeSetEvent(&done, 0, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }

  // A control transfer; nothing when it is not answered within `timeout`.
  std::optional<ControlResult> Control(SetupPacket setup, std::vector<uint8_t> data = {},
                                       Ticks timeout = Seconds(5)) {
    struct State {
      KEVENT event;
      ControlResult result;
    };
    auto state = std::make_shared<State>();
    KeInitializeEvent(&state->event, NotificationEvent, FALSE);
    InInterrupt([&] {
      converter->ControlTransfer(setup, data, [state](ControlResult r) {
        state->result = std::move(r);
        KeSetEvent(&state->event, 0, FALSE);
      });
    });
    LARGE_INTEGER t;
    t.QuadPart = -timeout;
    if (KeWaitForSingleObject(&state->event, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT) {
      return std::nullopt;
    }
    return state->result;
  }

  // A vendor request as the driver sends it: to an endpoint, 0x42 out or 0xC2 in.
  std::optional<ControlResult> VendorOut(uint8_t request, uint16_t value,
                                         std::vector<uint8_t> data = {}) {
    return Control({0x42, request, value, 0, uint16_t(data.size())}, data);
  }
  std::optional<ControlResult> VendorIn(uint8_t request, uint16_t value, uint16_t length = 8) {
    return Control({0xC2, request, value, 0, length});
  }
  bool Acked(const std::optional<ControlResult>& r) { return r && r->handshake == Handshake::kAck; }
  bool Stalled(const std::optional<ControlResult>& r) {
    return r && r->handshake == Handshake::kStall;
  }

  InPacket Poll(uint8_t endpoint = kDataInEndpoint) {
    InPacket p;
    InInterrupt([&] { p = converter->PollIn(endpoint, kPacketSize); });
    return p;
  }
  Handshake Out(std::vector<uint8_t> packet, uint8_t endpoint = kDataOutEndpoint) {
    Handshake h;
    InInterrupt([&] { h = converter->Out(endpoint, packet); });
    return h;
  }
  Handshake Configure(uint8_t alternate_setting = 0) {
    Handshake h;
    InInterrupt([&] {
      h = converter->SetConfiguration(kConfigurationValue);
      if (h == Handshake::kAck && alternate_setting) {
        h = converter->SetInterface(kInterfaceNumber, alternate_setting);
      }
    });
    return h;
  }
  // The bench plays the bus: its waits are the bus's schedule, exact, not the clock tick.
  void Sleep(Ticks t) { k.SleepFor(t); }
};

}  // namespace converter_test
