// One reader pcscd opened: a converter plugged into the handler's machine with the card its
// device name asks for, and the driver's device (\Device\USBTESKn) opened as the smart card
// resource manager opens it. Every pcscd call becomes the request an application sends on
// Windows, made by the reader's request lane; the polling thread's wait for a card change is a
// presence or absence request left pending in the driver, made by the reader's tracking lane.
//
// The driver disables the reader's device interface when its converter is pulled out; like the
// resource manager, the slot then closes its handle (which lets the removal finish) and answers
// IFD_NO_SUCH_DEVICE from then on.
//
// Calls come from pcscd's threads (outside the machine). pcscd makes one call at a time per
// reader, but for the polling thread's wait and its stop, which come in beside the others.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "host/machine/reader_handle.h"
#include "pcsc/control_server.h"
#include "pcsc/device_spec.h"
#include "pcsc/handler_machine.h"
#include "pcsc/ifd_codes.h"
#include "pcsc/status_table.h"
#include "sim/cards/vpcd_bridge.h"

namespace pcsc {

class ReaderSlot {
 public:
  // Plugs the converter, opens its device and switches the line to the rate its device name asks
  // for. nullptr and *error when any of it fails.
  static std::unique_ptr<ReaderSlot> Open(HandlerMachine& machine, const DeviceSpec& spec,
                                          std::string* error);
  ~ReaderSlot();
  // Closes the device and pulls the converter out. Calls still coming (from a thread that was
  // in one) are answered IFD_NO_SUCH_DEVICE without reaching the machine.
  void Close();
  ReaderSlot(const ReaderSlot&) = delete;
  ReaderSlot& operator=(const ReaderSlot&) = delete;

  // "USBTESK0"
  const std::string& device_name() const { return device_name_; }
  // The control socket's path; empty when it could not be made.
  std::string control_path() const;

  IfdAnswer Power(PowerAction action, size_t atr_capacity);
  // Protocols as pcsc-lite's bits.
  IfdCode SetProtocol(uint32_t protocol);
  IfdAnswer Transmit(uint32_t protocol, std::span<const uint8_t> command, size_t capacity);
  IfdCode Presence();
  // Returns when the card came or went since Presence last answered, after timeout, or on
  // StopWaiting.
  IfdCode WaitForCardEvent(std::chrono::milliseconds timeout);
  // Ends the wait in progress, or the next one when none is: one wait, not every later one.
  void StopWaiting();
  // A Windows control code.
  IfdAnswer Control(uint32_t code, std::span<const uint8_t> input, size_t capacity);
  IfdAnswer GetAttribute(uint32_t tag, size_t capacity);
  IfdCode SetAttribute(uint32_t tag, std::span<const uint8_t> value);

  // A control command's request line ("insert t0", "remove", ...); its answer line.
  std::string Command(std::string_view request);

 private:
  ReaderSlot(HandlerMachine& machine, const DeviceSpec& spec);
  // Main lane.
  bool PlugConverter(std::string* error);
  // Request lane.
  bool OpenHandle(std::string* error);
  IfdAnswer Request(Operation operation, uint32_t code, std::span<const uint8_t> input,
                    size_t output_length, NTSTATUS* status = nullptr);
  bool DeviceGone();
  void CloseHandle();
  // Tracking lane.
  void Track(bool present);
  // From outside: runs work on the request lane; false when the machine ended.
  bool OnRequestLane(const std::function<void()>& work);
  ULONG CardState();
  std::string InsertCard(CardKind kind);
  std::string RemoveCard(bool wait_until_seen);
  std::string Unplug();
  std::string Replug();
  std::string Status();

  HandlerMachine& hm_;  // until Close
  std::shared_ptr<OutsideWaits> outside_;
  bool closed_ = false;
  DeviceSpec spec_;
  std::string device_name_;
  host::machine::Converter* converter_ = nullptr;  // main lane
  std::shared_ptr<sim::VpcdBridge> vicc_;
  std::unique_ptr<sim::VpcdPresence> vicc_presence_;  // main lane
  std::unique_ptr<Lane> requests_;
  std::unique_ptr<Lane> tracking_;

  std::mutex handle_mu_;  // guards handle_: the request lane changes it, the tracking lane uses it
  std::unique_ptr<host::machine::ReaderHandle> handle_;

  // Guarded by outside_->mu, the lock the lanes' completions are announced under.
  struct Tracking {
    bool pending = false;   // a request handed to the tracking lane, its result not yet taken
    bool finished = false;  // ... and it has finished with `status`
    NTSTATUS status = STATUS_SUCCESS;
    bool reported_present = false;  // what Presence last told pcscd
    bool stop = false;              // pcscd stopped polling: ends one wait
    bool closed = false;            // pcscd closed the reader: ends every wait
    bool gone = false;              // the converter was pulled out
  } tracking_state_;

  CardKind card_in_slot_;
  std::unique_ptr<ControlServer> control_;
};

}  // namespace pcsc
