// What pcscd is told when the driver (or the I/O manager on its way) answers a request with an
// NTSTATUS: one table, read top to bottom, the first row that matches both the status and the
// handler's operation wins. The rows are in status_table.cpp.
#pragma once

#include "pcsc/ifd_codes.h"
#include "platform/ntstatus.h"

namespace pcsc {

// The handler operation a request serves; some statuses mean different things to pcscd in each.
enum class Operation {
  kAny,        // in the table: a row for every operation
  kPower,      // IFDHPowerICC: IOCTL_SMARTCARD_POWER
  kProtocol,   // IFDHSetProtocolParameters: IOCTL_SMARTCARD_SET_PROTOCOL
  kTransmit,   // IFDHTransmitToICC: IOCTL_SMARTCARD_TRANSMIT
  kPresence,   // IFDHICCPresence: IOCTL_SMARTCARD_GET_STATE
  kTracking,   // the polling thread: IOCTL_SMARTCARD_IS_PRESENT and IS_ABSENT
  kControl,    // IFDHControl: the raw reader command, vendor requests
  kAttribute,  // IFDHGetCapabilities and IFDHSetCapabilities: GET_ and SET_ATTRIBUTE
};

IfdCode IfdCodeFor(NTSTATUS status, Operation operation);

}  // namespace pcsc
