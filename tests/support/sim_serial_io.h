// Test support: the serial routine of the driver's reader link carried out on the simulated
// serial line directly, as the converter would carry it out: settings and modem lines change the
// line's converter end, reads wait for the line's characters under the link's time limits in
// virtual time, writes put the block on the line. It stands in for the USB path (the converter
// and the driver's own serial adapter) wherever a test, tool or benchmark wants the link on the
// simulated reader without the device stack.
//
// Every request is recorded in order, with its data, so that tests can assert what the link
// asked for ("one CLR_DTR and seven SET_DTR").
//
// Create it inside the running machine and use it from the machine's threads. It takes the
// converter end's receive callback (through its own BlockingPort) while it exists, so a ReaderRig
// it shares the line with is made with host_port = false.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

#include "host/kernel/ticks.h"
#include "platform/wdm.h"
#include "sim/blocking_port.h"
#include "sim/serial_line.h"
#include "tests/support/test_serial_line.h"

namespace test_support {

// The time limits the device starts with, in ms, until the link sets its own.
constexpr ULONG kSimDefaultReadInterval = 50;
constexpr ULONG kSimDefaultReadMultiplier = 50;
constexpr ULONG kSimDefaultReadConstant = 5000;
constexpr ULONG kSimDefaultWriteMultiplier = 50;
constexpr ULONG kSimDefaultWriteConstant = 50;

struct SimSerialIoOptions {
  // What the converter takes at once before the line has to make room: a write returns once no
  // more than this many of its characters still wait to be sent. 0: once the last has left.
  size_t transmit_buffer = 64;
  // Characters with parity or framing errors: handed on with the value sampled and reported on
  // IOCTL_SERIAL_GET_COMMSTATUS (kFlag, as a serial port does), handed on unreported so that the
  // link has only its LRC (kIgnore), or thrown away so that a damaged block arrives short (kDrop;
  // still reported).
  sim::CharacterErrors damaged_characters = sim::CharacterErrors::kFlag;
  // The converter path's delay before a written block's first character leaves, drawn in
  // [min, max] from `seed`: the IN poll that brought the answer's last byte up and the OUT frame
  // that takes the block down (1 to 11 ms at 9600 bit/s, whose IN endpoint is polled every 10).
  host::kernel::Ticks turnaround_min = 0;
  host::kernel::Ticks turnaround_max = 0;
  uint64_t seed = 1;
};

struct SerialRequestRecord {
  ULONG code = 0;
  Bytes data;            // the request's input: the bytes written, or the settings record
  ULONG wanted = 0;      // reads: bytes asked for
  ULONG delivered = 0;   // reads: bytes handed over
  ULONG timeout_ms = 0;  // reads: the total time limit the wait had
  NTSTATUS status = STATUS_SUCCESS;
  host::kernel::Ticks time = 0;  // when the request was made
};

class SimSerialIo {
 public:
  // Serves the link of `extension` on `line`; SerialIo finds it from the extension.
  SimSerialIo(PSMARTCARD_EXTENSION extension, sim::SerialLine& line,
              SimSerialIoOptions options = {});
  ~SimSerialIo();
  SimSerialIo(const SimSerialIo&) = delete;
  SimSerialIo& operator=(const SimSerialIo&) = delete;

  // The serial routine to hand to CreateReaderBinding.
  static NTSTATUS SerialIo(PSMARTCARD_EXTENSION extension);

  // Every request so far, in order.
  std::vector<SerialRequestRecord> requests() const;
  size_t Count(ULONG code) const;
  std::vector<ULONG> Codes() const;
  void ClearRecord();

  SERIAL_TIMEOUTS timeouts() const;
  sim::BlockingPort& port() { return port_; }
  sim::SerialLine& line() { return line_; }

 private:
  NTSTATUS Serve(PSMARTCARD_EXTENSION extension);
  NTSTATUS Write(const SMARTCARD_REQUEST& request);
  NTSTATUS Read(SMARTCARD_REPLY& reply, SerialRequestRecord& record);
  NTSTATUS SetBaudRate(const SMARTCARD_REQUEST& request);
  NTSTATUS SetLineControl(const SMARTCARD_REQUEST& request);
  NTSTATUS SetTimeouts(const SMARTCARD_REQUEST& request);
  NTSTATUS GetCommStatus(SMARTCARD_REQUEST& request);
  void Record(SerialRequestRecord record);

  PSMARTCARD_EXTENSION extension_;
  sim::SerialLine& line_;
  SimSerialIoOptions options_;
  sim::BlockingPort port_;
  mutable std::mutex mu_;  // guards requests_ and timeouts_; never held across a wait
  std::vector<SerialRequestRecord> requests_;
  SERIAL_TIMEOUTS timeouts_;
  uint64_t errors_reported_ = 0;  // the port's error count at the last GET_COMMSTATUS
  std::mt19937_64 rng_;           // turnarounds
};

}  // namespace test_support
