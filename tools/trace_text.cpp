#include "tools/trace_text.h"

#include <cstdio>

#include "host/io/io_manager.h"
#include "sim/converter/converter_protocol.h"
#include "sim/reader_protocol.h"
#include "sim/t1_block.h"
#include "tools/reader_answer.h"

namespace tools {

namespace {

using host::usb::UrbRecord;
namespace converter = sim::converter;

std::string Hex(std::span<const uint8_t> bytes) { return sim::t1::Hex(bytes); }

std::string LineSettingsText(uint16_t value) {
  std::string text;
  struct Rate {
    uint16_t bit;
    unsigned rate;
  };
  constexpr Rate kRates[] = {{converter::kRate1200, 1200},    {converter::kRate9600, 9600},
                             {converter::kRate19200, 19200},  {converter::kRate28800, 28800},
                             {converter::kRate38400, 38400},  {converter::kRate57600, 57600},
                             {converter::kRate115200, 115200}};
  for (const Rate& r : kRates) {
    if (value & r.bit) text = "line " + std::to_string(r.rate) + " bit/s";
  }
  if (value & converter::kFramingMask) {
    text += text.empty() ? "line 8 data bits" : ", 8 data bits";
    if (value & converter::kParityEven) text += ", even parity";
    if (value & converter::kParityOdd) text += ", odd parity";
    if (value & converter::kParityNone) text += ", no parity";
    if (value & converter::kStopBitsOne) text += ", 1 stop bit";
    if (value & converter::kStopBitsTwo) text += ", 2 stop bits";
  }
  return text.empty() ? "line settings unchanged" : text;
}

bool IsVendorMilestone(const host::usb::SetupPacket& s) {
  return s.Type() == BMREQUEST_VENDOR &&
         (s.request == converter::kRequestLineSettings ||
          s.request == converter::kRequestModemLines || s.request == converter::kRequestPort);
}

std::string Outcome(const UrbRecord& r) {
  if (!r.completed) return "pending";
  char took[32];
  std::snprintf(took, sizeof took, " in %.3f ms",
                double(r.completed_at - r.submitted) / double(host::kernel::kTicksPerMillisecond));
  return host::io::StatusName(r.status) + took;
}

}  // namespace

std::string NodeName(uint8_t address) {
  switch (address) {
    case sim::t1::kAddressCard:
      return "card";
    case sim::t1::kAddressReader:
      return "reader";
    case sim::t1::kAddressHost:
      return "host";
    default:
      return "node " + std::to_string(address);
  }
}

std::string BlockDescriber::Describe(const sim::DecodedBlock& block) {
  std::string out = sim::DirectionName(block.direction);
  out += ' ' + Hex(block.bytes);
  if (block.bytes.size() < sim::t1::kPrologueSize) return out + "  cut short";
  uint8_t nad = block.bytes[0], pcb = block.bytes[1];
  char nad_text[16];
  std::snprintf(nad_text, sizeof nad_text, " NAD %02X", nad);
  out += "  " + sim::t1::DescribePcb(pcb) + nad_text;
  if (nad != sim::t1::kNadControl) {
    out += " (" + NodeName(sim::t1::NadSource(nad)) + " to " +
           NodeName(sim::t1::NadDestination(nad)) + ")";
  }
  size_t have = block.bytes.size() - sim::t1::kPrologueSize;
  size_t shown = std::min<size_t>(block.bytes[2], have);
  std::span<const uint8_t> inf(block.bytes.data() + sim::t1::kPrologueSize, shown);
  bool i_block = (pcb & sim::t1::kPcbINotI) == 0;
  bool& chain_open = chain_open_[static_cast<int>(block.direction)];
  if (i_block && !chain_open && sim::t1::NadDestination(nad) == sim::t1::kAddressReader) {
    if (std::optional<std::string> name = ReaderCommandName(inf)) out += ": " + *name;
  }
  if (i_block) chain_open = pcb & sim::t1::kPcbIMore;
  if (!inf.empty()) out += ", INF=" + Hex(inf);
  if (!block.complete) {
    out += ", cut short";
  } else {
    out += block.lrc_ok ? ", LRC ok" : ", LRC bad";
  }
  if (block.character_errors) out += " (character errors)";
  return out;
}

bool IsMilestone(const UrbRecord& r) {
  switch (r.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
      return true;
    default:
      return r.setup && IsVendorMilestone(*r.setup);
  }
}

std::string UrbDescriber::ModemLines(uint16_t value) {
  std::string text;
  auto add = [&](const std::string& what) { text += text.empty() ? what : ", " + what; };
  if (value & converter::kDtrOff) {
    add(dtr_on_ ? "DTR off: the reader loses power" : "DTR off");
    dtr_on_ = false;
  }
  if (value & converter::kDtrOn) {
    add(dtr_on_ ? "DTR on (held)" : "DTR on: the reader powers up");
    dtr_on_ = true;
  }
  if (value & converter::kRtsOff) add("RTS off");
  if (value & converter::kRtsOn) add("RTS on");
  return text.empty() ? "modem lines unchanged" : text;
}

std::string UrbDescriber::Milestone(const UrbRecord& r) {
  std::string text;
  switch (r.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      uint8_t type = r.setup ? uint8_t(r.setup->value >> 8) : 0;
      const char* what = type == USB_DEVICE_DESCRIPTOR_TYPE          ? "device"
                         : type == USB_CONFIGURATION_DESCRIPTOR_TYPE ? "configuration"
                         : type == USB_STRING_DESCRIPTOR_TYPE        ? "string"
                                                                     : "other";
      text = std::string(what) + " descriptor read, " + std::to_string(r.actual_length) + " bytes";
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      text = r.setup && r.setup->value
                 ? "configuration " + std::to_string(r.setup->value) + " selected"
                 : std::string("device unconfigured");
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      text = "interface " + std::to_string(r.setup ? r.setup->index : 0) + " setting " +
             std::to_string(r.setup ? r.setup->value : 0) + " selected";
      break;
    default: {
      const host::usb::SetupPacket& s = *r.setup;
      if (s.request == converter::kRequestLineSettings) {
        text = LineSettingsText(s.value);
      } else if (s.request == converter::kRequestModemLines) {
        text = ModemLines(s.value);
      } else if (s.DeviceToHost()) {
        text = "converter status port " + std::to_string(s.value) + " read";
      } else {
        text = "converter control register written";
      }
    }
  }
  if (r.completed && !NT_SUCCESS(r.status)) text += " failed: " + host::io::StatusName(r.status);
  return text;
}

std::string UrbDescriber::Urb(const UrbRecord& r) {
  std::string out = "URB " + std::to_string(r.id) + " " + host::usb::UrbFunctionName(r.function);
  char endpoint[16];
  if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    std::snprintf(endpoint, sizeof endpoint, " ep %02X", r.endpoint);
    out += endpoint;
    out += r.In() ? " in " + std::to_string(r.requested_length) : " out";
  }
  if (r.setup) {
    std::array<uint8_t, 8> setup = r.setup->Bytes();
    out += " setup " + Hex(setup);
  }
  if (!r.out_data.empty()) out += " data " + Hex(r.out_data);
  out += " -> " + Outcome(r);
  if (!r.in_data.empty()) out += ": " + Hex(r.in_data);
  if (IsMilestone(r)) out += "  (" + Milestone(r) + ")";
  return out;
}

}  // namespace tools
