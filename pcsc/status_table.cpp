#include "pcsc/status_table.h"

#include <optional>

namespace pcsc {

namespace {

struct StatusRow {
  std::optional<NTSTATUS> status;  // none: every status no row above named
  Operation operation;
  IfdCode code;
};

// clang-format off
constexpr StatusRow kStatusTable[] = {
  {STATUS_SUCCESS,                Operation::kAny,       IfdCode::kSuccess},
  // The device is gone: the I/O manager refuses requests on a handle whose device was deleted.
  {STATUS_DELETE_PENDING,         Operation::kAny,       IfdCode::kNoSuchDevice},
  {STATUS_NO_SUCH_DEVICE,         Operation::kAny,       IfdCode::kNoSuchDevice},
  {STATUS_DEVICE_REMOVED,         Operation::kAny,       IfdCode::kNoSuchDevice},
  {STATUS_DEVICE_NOT_CONNECTED,   Operation::kAny,       IfdCode::kNoSuchDevice},
  // No card, or one the reader cannot use.
  {STATUS_NO_MEDIA,               Operation::kAny,       IfdCode::kIccNotPresent},
  {STATUS_NO_MEDIA_IN_DEVICE,     Operation::kAny,       IfdCode::kIccNotPresent},
  {STATUS_UNRECOGNIZED_MEDIA,     Operation::kAny,       IfdCode::kErrorPowerAction},
  // The reader or the card did not answer in time.
  {STATUS_IO_TIMEOUT,             Operation::kAny,       IfdCode::kResponseTimeout},
  {STATUS_TIMEOUT,                Operation::kAny,       IfdCode::kResponseTimeout},
  {STATUS_BUFFER_TOO_SMALL,       Operation::kAny,       IfdCode::kErrorInsufficientBuffer},
  // A protocol the card or the reader does not offer: pcscd must not take it for a reader that
  // merely cannot negotiate (IFD_NOT_SUPPORTED), which it would answer with the default protocol.
  {STATUS_NOT_SUPPORTED,          Operation::kProtocol,  IfdCode::kProtocolNotSupported},
  {STATUS_INVALID_DEVICE_REQUEST, Operation::kProtocol,  IfdCode::kProtocolNotSupported},
  // An attribute the driver does not know.
  {STATUS_NOT_SUPPORTED,          Operation::kAttribute, IfdCode::kErrorTag},
  {STATUS_INVALID_DEVICE_REQUEST, Operation::kAttribute, IfdCode::kErrorTag},
  {STATUS_NOT_SUPPORTED,          Operation::kAny,       IfdCode::kNotSupported},
  {STATUS_INVALID_DEVICE_REQUEST, Operation::kAny,       IfdCode::kNotSupported},
  // Every other failure.
  {std::nullopt,                  Operation::kPower,     IfdCode::kErrorPowerAction},
  {std::nullopt,                  Operation::kAny,       IfdCode::kCommunicationError},
};
// clang-format on

}  // namespace

IfdCode IfdCodeFor(NTSTATUS status, Operation operation) {
  for (const StatusRow& row : kStatusTable) {
    bool status_matches = !row.status || *row.status == status;
    bool operation_matches = row.operation == Operation::kAny || row.operation == operation;
    if (status_matches && operation_matches) return row.code;
  }
  return IfdCode::kCommunicationError;
}

}  // namespace pcsc
