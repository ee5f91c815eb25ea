// IOCTL_SMARTCARD_GET_ATTRIBUTE and SET_ATTRIBUTE: the reader's vendor attributes and
// capabilities and the card's state answered from the extension; the attributes the library does
// not keep go to the driver.
#include "host/smclib/atr_parse.h"
#include "host/smclib/control_request.h"
#include "platform/rtl.h"

namespace host::smclib {
namespace {

// SCARD_ATTR_ICC_PRESENCE values.
constexpr UCHAR kIccAbsent = 0;
constexpr UCHAR kIccPresent = 1;
constexpr UCHAR kIccSwallowed = 2;  // in the reader's contacts (or further, powered and on)

// Bits of SCARD_ATTR_CHANNEL_ID: the channel type (the reader type) above the channel number.
constexpr int kChannelTypeShift = 16;

constexpr ULONG kClassShift = 16;

NTSTATUS Answer(ControlRequest& request, const void* data, ULONG length) {
  if (request.output_length < length || (length && !request.buffer)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (length) RtlCopyMemory(request.buffer, data, length);
  request.information = length;
  return STATUS_SUCCESS;
}

NTSTATUS AnswerUlong(ControlRequest& request, ULONG value) {
  return Answer(request, &value, sizeof value);
}

NTSTATUS AnswerByte(ControlRequest& request, UCHAR value) {
  return Answer(request, &value, sizeof value);
}

// A driver that wrote a Length past the buffer gets the buffer, not what lies behind it.
NTSTATUS AnswerString(ControlRequest& request, const SCARD_ATTR_STRING& text) {
  ULONG length =
      text.Length < MAXIMUM_ATTR_STRING_LENGTH ? text.Length : MAXIMUM_ATTR_STRING_LENGTH;
  return Answer(request, text.Buffer, length);
}

UCHAR Presence(ULONG state) {
  if (state <= SCARD_ABSENT) return kIccAbsent;
  if (state == SCARD_PRESENT) return kIccPresent;
  return kIccSwallowed;
}

// What the library does not keep: the driver's attribute function (where the library has that
// slot), else vendor-defined tags to its vendor function, else nobody.
NTSTATUS ToDriver(ControlRequest& request, ULONG tag) {
  PSMARTCARD_EXTENSION e = request.extension;
#if SMCLIB_HAS_ATTRIBUTE_SLOT
  if (e->ReaderFunction[RDF_ATTRIBUTES]) return CallReaderFunction(request, RDF_ATTRIBUTES, tag);
#endif
  if ((tag >> kClassShift) == SCARD_CLASS_VENDOR_DEFINED && e->ReaderFunction[RDF_IOCTL_VENDOR]) {
    return CallReaderFunction(request, RDF_IOCTL_VENDOR, tag);
  }
  return STATUS_NOT_SUPPORTED;
}

}  // namespace

NTSTATUS GetAttribute(ControlRequest& request) {
  ULONG tag = 0;
  if (!ReadInputUlong(request, &tag)) return STATUS_INVALID_PARAMETER;
  PSMARTCARD_EXTENSION e = request.extension;
  const auto& vendor = e->VendorAttr;
  const auto& reader = e->ReaderCapabilities;
  const auto& card = e->CardCapabilities;
  switch (tag) {
    case SCARD_ATTR_VENDOR_NAME:
      return AnswerString(request, vendor.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
      return AnswerString(request, vendor.IfdType);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      return AnswerUlong(request, ULONG(vendor.IfdVersion.VersionMajor) << 24 |
                                      ULONG(vendor.IfdVersion.VersionMinor) << 16 |
                                      vendor.IfdVersion.BuildNumber);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      // A reader without a serial number has no such attribute.
      if (vendor.IfdSerialNo.Length == 0) return STATUS_NOT_SUPPORTED;
      return AnswerString(request, vendor.IfdSerialNo);
    case SCARD_ATTR_DEVICE_UNIT:
      return AnswerUlong(request, vendor.UnitNo);
    case SCARD_ATTR_CHANNEL_ID:
      return AnswerUlong(request, reader.ReaderType << kChannelTypeShift | reader.Channel);
    case SCARD_ATTR_PROTOCOL_TYPES:
      return AnswerUlong(request, reader.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK:
      return AnswerUlong(request, reader.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK:
      return AnswerUlong(request, reader.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
      return AnswerUlong(request, reader.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE:
      return AnswerUlong(request, reader.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD:
      return AnswerUlong(request, reader.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
      return AnswerUlong(request, reader.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS:
      return AnswerUlong(request, reader.MechProperties);
    case SCARD_ATTR_ICC_PRESENCE:
      return AnswerByte(request, Presence(CurrentCardState(e)));
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      // The contacts are active while the card is powered.
      return AnswerByte(request, CurrentCardState(e) >= SCARD_POWERED ? 1 : 0);
    case SCARD_ATTR_ATR_STRING: {
      if (CurrentCardState(e) <= SCARD_ABSENT) return STATUS_NO_MEDIA;
      constexpr ULONG kAtrBuffer = sizeof card.ATR.Buffer;
      ULONG length = card.ATR.Length < kAtrBuffer ? card.ATR.Length : kAtrBuffer;
      return Answer(request, card.ATR.Buffer, length);
    }
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
      return AnswerUlong(request, card.Protocol.Selected);
    case SCARD_ATTR_CURRENT_F:
      return AnswerUlong(request, ClockRateConversionFactor(card.Fl));
    case SCARD_ATTR_CURRENT_D:
      return AnswerUlong(request, BitRateAdjustmentFactor(card.Dl));
    case SCARD_ATTR_CURRENT_N:
      return AnswerUlong(request, card.N);
    case SCARD_ATTR_CURRENT_W:
      return AnswerUlong(request, card.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC:
      return AnswerUlong(request, card.T1.IFSC);
    case SCARD_ATTR_CURRENT_BWT:
      return AnswerUlong(request, card.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT:
      return AnswerUlong(request, card.T1.CWT);
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
      return AnswerUlong(request, card.T1.EDC);
    default:
      return ToDriver(request, tag);
  }
}

// The value follows the tag in the input.
NTSTATUS SetAttribute(ControlRequest& request) {
  ULONG tag = 0;
  if (!ReadInputUlong(request, &tag)) return STATUS_INVALID_PARAMETER;
  if (tag == SCARD_ATTR_SUPRESS_T1_IFS_REQUEST) {
    // Without a value the request itself means "suppress"; a value of 0 withdraws it.
    BOOLEAN has_value = request.input_length > sizeof(ULONG);
    HostOsDataOf(request.extension)->suppress_t1_ifs_request =
        has_value ? request.buffer[sizeof(ULONG)] != 0 : TRUE;
    return STATUS_SUCCESS;
  }
  return ToDriver(request, tag);
}

}  // namespace host::smclib
