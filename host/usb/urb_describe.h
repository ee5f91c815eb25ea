// What a URB asks of the bus, read from its layout: the setup packet a control function stands
// for, the direction, the lengths and the bytes, for the trace and for the bus that serves it.
#pragma once
#include <optional>

#include "host/usb/setup_packet.h"
#include "host/usb/urb_trace.h"
#include "platform/usb.h"

namespace host::usb {

// The setup packet that a control-function URB puts on the default pipe; nothing for the
// functions that are not control transfers (pipe transfers, abort, reset, frame numbers).
// SELECT_CONFIGURATION and SELECT_INTERFACE stand for SET_CONFIGURATION and SET_INTERFACE.
std::optional<SetupPacket> SetupPacketForUrb(const URB& urb);

// Whether the URB moves data from the device to the host.
bool UrbIsDeviceToHost(const URB& urb);

// The trace record of a URB as it is submitted. Pipe transfers name the pipe's endpoint
// address and type, which only the bus knows from the pipe handle.
UrbRecord RecordUrbSubmission(const URB& urb, uint16_t device_address, uint8_t pipe_endpoint = 0,
                              TransferType pipe_type = TransferType::kControl);

// Records the completion of a URB: status, the length it reports, and the bytes it brought in.
void RecordUrbCompletion(UrbTrace& trace, uint64_t id, const URB& urb, NTSTATUS status,
                         kernel::Ticks now);

}  // namespace host::usb
