// The zarq7 tool's commands as one source for both its builds: the host's, on a simulated machine,
// and zarq7.exe's on Windows. Each works through a CardReader, whatever carries its requests, and
// prints its lines to out and its failures ("zarq7: <what> failed: STATUS_...") to err. What the
// host adds around the steps (its trace, the timing of each APDU) comes through CommandHooks.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "tools/device_requests.h"
#include "tools/operands.h"

namespace tools {

// An opened reader: the smart card requests as the resource manager sends them (a ULONG for the
// power code, the protocol mask and the attribute tag; the SCARD_IO_REQUEST header before a
// command and its answer, kept out of what Transmit returns) and any other request.
class CardReader : public DeviceRequests {
 public:
  virtual RequestAnswer GetAttribute(uint32_t tag) = 0;
  // IOCTL_SMARTCARD_GET_STATE; SCARD_UNKNOWN when the request fails.
  virtual uint32_t GetState() = 0;
  virtual RequestAnswer Power(uint32_t minor_code) = 0;
  // The protocol the reader selected is kept for Transmit.
  virtual RequestAnswer SetProtocol(uint32_t mask) = 0;
  virtual uint32_t protocol() const = 0;
  virtual RequestAnswer Transmit(std::span<const uint8_t> command) = 0;
  virtual RequestAnswer RawReaderCommand(std::span<const uint8_t> command) = 0;
};

class CommandHooks {
 public:
  virtual ~CommandHooks() = default;
  // After each step that reached the driver, and before a failure is reported.
  virtual void Progress() {}
  // Around one APDU's transmission (Begin, End right after its answer came) and after its lines.
  virtual void BeginApdu() {}
  virtual void EndApdu() {}
  virtual void AfterApdu() {}
};

struct CommandIo {
  std::ostream& out;
  std::ostream& err;
  CommandHooks& hooks;
};

// "zarq7: <what> failed: STATUS_..." on err, after the hooks' progress; returns 1.
int StepFailed(CommandIo& io, const std::string& what, int32_t status);

// The session from the reader's line on: attributes and card state, a cold reset with the ATR
// explained, the protocol selection, each APDU with its status word explained. 0 when every step
// and every APDU went through (whatever the card's status words), 1 when one failed.
int CardSession(CardReader& reader, bool t1, uint32_t line_rate,
                const std::vector<std::vector<uint8_t>>& apdus, CommandIo& io);
// usb: selects `setting` first when given; then descriptors, pipe table, setting in use.
int ShowUsb(DeviceRequests& device, std::optional<uint8_t> setting, CommandIo& io);
int ShowConverterStatus(DeviceRequests& device, CommandIo& io);
// reading: the driver's reading side, the change, and its reading side again.
int ChangeReading(DeviceRequests& device, ReadingChoice choice, CommandIo& io);
int PurgeFifos(DeviceRequests& device, PurgeChoice choice, CommandIo& io);
int SendRawCommands(CardReader& reader, const std::vector<std::vector<uint8_t>>& commands,
                    CommandIo& io);
int ShowVendorAnswer(CardReader& reader, uint32_t tag, CommandIo& io);

}  // namespace tools
