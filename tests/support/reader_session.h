// Test support: one reader on the simulated serial line, served by the driver's reader services
// as one of its devices. A device object whose extension starts with the smart card extension is
// bound to the library with the serial routine on the line, the link is brought up as the device
// start does, and requests travel as IRPs handed to the library with LinkMutex held, the share of
// the device-control routing: the reader services on their own, without the device stack (for
// the whole stack, see machine_run.h).
//
// Create it inside a running machine that has a host::io::IoManager and a
// host::smclib::SmartcardLibrary; destroy it there too (it closes, releases the binding and
// deletes the device).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "platform/wdm.h"
#include "sim/cards/card.h"
#include "sim/fault_script.h"
#include "sim/reader_rig.h"
#include "tests/support/sim_link.h"

namespace test_support {

struct ReaderSessionOptions {
  SimCardKind card = SimCardKind::kBuiltin;
  std::shared_ptr<sim::Card> custom_card;  // the card for kCustom (a vicc bridge, a scripted card)
  sim::ReaderOptions reader;
  uint64_t line_seed = 1;
  sim::FaultScript faults;  // put to work as the session is made
};

struct ControlResult {
  NTSTATUS status = STATUS_PENDING;
  std::vector<uint8_t> output;  // the Information bytes of the output buffer
  // The output as one ULONG (state, protocol, numeric attributes); 0 when it is not one.
  ULONG Ulong() const;
};

// The header SCARD_IO_REQUEST puts before a command and its answer.
inline constexpr ULONG kIoRequestHeaderSize = 8;

class ReaderSession {
 public:
  ReaderSession(host::kernel::Kernel& kernel, host::io::IoManager& io,
                ReaderSessionOptions options = {});
  ~ReaderSession();
  ReaderSession(const ReaderSession&) = delete;
  ReaderSession& operator=(const ReaderSession&) = delete;

  // The device start's share of the link: serial setup, then the bring-up.
  NTSTATUS Start();
  // What opening and closing the device do for the reader: card tracking runs while open.
  NTSTATUS Open();
  NTSTATUS Close();

  // One device-control request, waited for.
  ControlResult Control(ULONG code, std::span<const uint8_t> input, ULONG output_length);
  // The same, sent and left to complete: for presence requests that pend.
  int Submit(ULONG code, std::span<const uint8_t> input, ULONG output_length);
  bool Completed(int request) const;
  ControlResult Wait(int request);
  void Cancel(int request);

  ControlResult Power(ULONG minor_code, ULONG atr_capacity = 64);
  ControlResult SetProtocol(ULONG mask);
  // Header (the selected protocol) + command in; the answer after the header comes back.
  ControlResult Transmit(std::span<const uint8_t> command, ULONG answer_capacity = 258);
  ControlResult GetAttribute(ULONG tag, ULONG length = 64);
  ULONG State();

  // Moves the reader and the converter to another line rate: the reader's set-parameters command
  // with the rate tag, then the link's serial settings at the new rate.
  NTSTATUS SwitchRate(ULONG rate);

  sim::ReaderRig& rig() { return *rig_; }
  sim::LineTrace& trace() { return rig_->trace(); }
  SimSerialIo& serial() { return *serial_; }
  PDEVICE_OBJECT device() const { return device_; }
  PSMARTCARD_EXTENSION extension() const;
  PREADER_EXTENSION reader_extension() const;

 private:
  struct Pending;

  host::kernel::Kernel& kernel_;
  host::io::IoManager& io_;
  std::unique_ptr<sim::ReaderRig> rig_;
  std::unique_ptr<SimSerialIo> serial_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  bool open_ = false;
  std::vector<std::unique_ptr<Pending>> requests_;
};

}  // namespace test_support
