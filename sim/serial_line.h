// The serial line between the USB-to-serial converter and the reader: two UART ends, one per
// side, each with its own bit rate and framing, and the modem lines.
//
// Timing. A character leaves its transmitter at that end's pace, (1 start + data + parity +
// stop bits) / rate seconds each, back to back while characters are queued; the far end gets it
// when its own receiver has sampled it, at its virtual arrival time. Bursts are timed exactly:
// nine characters at 9600 8E1 take 99/9600 s, not nine rounded character times.
//
// Mismatched ends. The line carries the bit waveform, and each receiver samples it in the middle
// of its own bit times after a start edge, so ends set to different rates or framings garble
// what crosses (deterministically): wrong bytes, parity and framing errors, lost characters.
//
// Contexts. Receive callbacks, idle notifications and modem notifications run as device events
// of the kernel (DISPATCH_LEVEL, interrupt context): they may transmit, schedule events and set
// events, never wait. Every other method may be called from any thread of the machine (a device
// event or a host thread); the line guards its state with an internal lock that is never held
// while a callback runs.
//
// Lifetime: create the line inside the running machine and keep it while anything uses it;
// whoever installed a callback clears it before going away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>

#include "host/kernel/kernel.h"
#include "sim/line_faults.h"
#include "sim/uart_settings.h"

namespace sim {

// Which way a character travels: from the converter (the host's side) to the reader, or back.
enum class Direction : uint8_t { kHostToReader, kReaderToHost };
const char* DirectionName(Direction direction);  // "host->reader", "reader->host"

struct ReceivedCharacter {
  uint8_t value = 0;           // the sampled data bits
  bool parity_error = false;   // the parity bit disagreed with the receiver's parity
  bool framing_error = false;  // the first stop bit was not a mark
  host::kernel::Ticks time = 0;
};
using ReceiveCallback = std::function<void(const ReceivedCharacter&)>;

// What an observer (the line trace) is told about every character.
struct LineEvent {
  enum class Kind : uint8_t { kSent, kReceived };
  Kind kind = Kind::kSent;
  Direction direction = Direction::kHostToReader;
  host::kernel::Ticks time = 0;  // sent: when its start bit began; received: arrival
  uint8_t value = 0;
  bool parity_error = false;   // received only
  bool framing_error = false;  // received only
  bool inserted = false;       // sent only: put on the line by fault injection
  bool lost = false;           // sent only: dropped or silenced, never on the wire
};
using LineObserver = std::function<void(const LineEvent&)>;

// Modem line activity, for tests.
struct ModemCounters {
  uint32_t dtr_on_requests = 0;   // SetDtr(true) calls
  uint32_t dtr_off_requests = 0;  // SetDtr(false) calls
  uint32_t dtr_rises = 0;         // DTR went from low to high
  uint32_t dtr_falls = 0;
  uint32_t rts_on_requests = 0;
  uint32_t rts_off_requests = 0;
};

class SerialLine {
 public:
  struct Impl;

  // One end of the line: its transmitter, its receiver and the faults put on what it sends.
  class End {
   public:
    // New settings apply to the next character this end starts sending and to the next
    // character its receiver locks onto. Invalid settings are a bug check.
    void Configure(const UartSettings& settings);
    UartSettings settings() const;

    // Queues the bytes for sending; they leave one after another at this end's pace.
    void Transmit(std::span<const uint8_t> bytes);
    void Transmit(std::initializer_list<uint8_t> bytes) {
      Transmit(std::span<const uint8_t>(bytes.begin(), bytes.size()));
    }
    // Characters not yet completely sent, the one on the wire included.
    size_t TransmitQueued() const;
    bool TransmitterBusy() const { return TransmitQueued() != 0; }
    // Drops the queued characters; the one on the wire is finished.
    void PurgeTransmit();
    // fn runs once (device event) as soon as nothing is queued or on the wire.
    void WhenTransmitterIdle(std::function<void()> fn);

    // One callback per end; nullptr removes it. Characters arriving without one are lost.
    void SetReceiveCallback(ReceiveCallback callback);

    // Faults applied to what this end sends. Edit them from the machine's running thread in
    // simulation, or before traffic starts in real mode.
    LineFaults& faults();

    // Faults at chosen times on the wire this end sends on, heard by the far end's receiver:
    // A phantom start bit: the line dips to space for `bits` bit times at `at`.
    void GlitchAt(host::kernel::Ticks at, double bits = 0.5);
    // Phantom start bits at random, about `per_second` of them, while the line idles.
    void NoiseBetween(host::kernel::Ticks from, host::kernel::Ticks until, double per_second);
    // The line held at space (a break, or a line stuck): the receiver takes one 00 with a
    // framing error, and whatever this end sends meanwhile is lost.
    void BreakBetween(host::kernel::Ticks from, host::kernel::Ticks until);
    // A character put on the line at `at` (after the one on the wire then), its parity bit
    // inverted when asked.
    void InjectAt(host::kernel::Ticks at, uint8_t value, bool bad_parity = false);

    // The direction of what this end sends.
    Direction direction() const;
    SerialLine& line() const { return line_; }

   private:
    friend class SerialLine;
    End(SerialLine& line, std::shared_ptr<Impl> impl, int side)
        : line_(line), impl_(std::move(impl)), side_(side) {}
    SerialLine& line_;
    std::shared_ptr<Impl> impl_;
    int side_;
  };

  // seed feeds the bit error generator of both directions.
  explicit SerialLine(host::kernel::Kernel& kernel, uint64_t seed = 1);
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  End& converter_end() { return converter_; }  // the host's side, behind the USB converter
  End& reader_end() { return reader_; }

  // Modem lines driven by the converter side.
  void SetDtr(bool on);
  void SetRts(bool on);
  bool dtr() const;
  bool rts() const;
  // The reader side's callback for every change of DTR or RTS (device event).
  void SetModemCallback(std::function<void(bool dtr, bool rts)> callback);
  // DTR as the reader sees it drops at `at` for `duration` (a loose contact, a converter that
  // glitches), while the converter keeps it set.
  void DropDtr(host::kernel::Ticks at, host::kernel::Ticks duration);
  ModemCounters modem_counters() const;

  // Status lines driven by the reader side, read by the converter.
  void SetDsr(bool on);
  void SetCts(bool on);
  bool dsr() const;
  bool cts() const;

  // Observers see every character sent and received, in the context that caused it; they must
  // not call back into the line.
  int AddObserver(LineObserver observer);
  void RemoveObserver(int id);

  host::kernel::Kernel& kernel() const;

 private:
  std::shared_ptr<Impl> impl_;
  End converter_;
  End reader_;
};

}  // namespace sim
