// A card in the reader's slot, as the reader firmware sees it. The reader calls these from its
// card worker thread (a host thread of the machine, PASSIVE_LEVEL), one call at a time, so a
// card may block (the vpcd bridge waits on its socket) and needs no lock of its own for state
// only these calls touch.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/kernel/ticks.h"

namespace sim {

// Card protocols, as bits.
constexpr uint32_t kProtocolT0 = 1;
constexpr uint32_t kProtocolT1 = 2;

class Card {
 public:
  virtual ~Card() = default;

  // Activation and reset: the answer to reset. An empty ATR means the card gives none the
  // reader can use (not a processor card, or mute).
  virtual std::vector<uint8_t> PowerOn() = 0;
  virtual void PowerOff() = 0;

  // Command APDU in, response APDU (data and status word) out. An empty response means that
  // the card did not answer.
  virtual std::vector<uint8_t> Transmit(std::span<const uint8_t> command) = 0;

  // How long the card works on a command before its answer is there; the reader asks just
  // before Transmit and waits this long (virtual time in simulation) after Transmit returns.
  // PowerOn is asked for with an empty command.
  virtual host::kernel::Ticks ProcessingTime(std::span<const uint8_t> command) {
    (void)command;
    return 0;
  }

  // The protocols the card offers; by default those its last ATR names.
  virtual uint32_t SupportedProtocols();

  // The reader tells the card the protocol selected for it.
  virtual void SelectProtocol(uint32_t protocol) { (void)protocol; }

 protected:
  std::vector<uint8_t> last_atr_;  // kept by cards that want the default SupportedProtocols
};

// The protocols an ATR offers: T=0 when no TD byte names another first, plus every T named by
// a TD byte. Malformed ATRs offer nothing.
uint32_t AtrProtocols(std::span<const uint8_t> atr);

}  // namespace sim
