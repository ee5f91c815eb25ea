#include "tools/usb_text.h"

#include <cstdio>

#include "host/usb/descriptors.h"

namespace tools {

namespace {

constexpr size_t kColumnWidth = 25;  // name and right-aligned value
constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kSelfPowered = 0x40;
constexpr uint8_t kRemoteWakeup = 0x20;
constexpr unsigned kMaxPowerUnitMa = 2;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kEndpointNumberMask = 0x0F;

class Lines {
 public:
  explicit Lines(std::vector<std::string>& out) : out_(out) {}
  // "  bLength                18  meaning"
  void Field(int depth, const std::string& name, const std::string& value,
             const std::string& meaning = "") {
    std::string line(size_t(depth) * 2, ' ');
    line += name;
    // The value ends at the column's right edge, one space after a name that reaches it.
    size_t used = name.size() + value.size();
    line.append(used < kColumnWidth ? kColumnWidth - used : 1, ' ');
    line += value;
    if (!meaning.empty()) line.append(" ").append(meaning);
    out_.push_back(line);
  }
  void Text(int depth, const std::string& text) {
    out_.push_back(std::string(size_t(depth) * 2, ' ') + text);
  }

 private:
  std::vector<std::string>& out_;
};

std::string Number(unsigned value) { return std::to_string(value); }
std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}
std::string Bcd(uint16_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%2x.%02x", value >> 8, value & 0xFF);
  return text;
}
uint16_t Word(const uint8_t* d) { return uint16_t(d[0] | d[1] << 8); }

std::string ClassName(uint8_t c, bool device) {
  if (c == kVendorSpecificClass) return "Vendor Specific Class";
  if (c == 0 && device) return "(Defined at Interface level)";
  return "";
}

void StringField(Lines& l, int depth, const std::string& name, uint8_t index,
                 const StringLookup& strings) {
  l.Field(depth, name, Number(index), index ? strings(index) : "");
}

void Device(Lines& l, const std::vector<uint8_t>& d, const StringLookup& strings) {
  l.Text(0, "Device Descriptor:");
  if (d.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
    l.Text(1, std::string("(").append(Number(unsigned(d.size()))).append(" bytes: too short)"));
    return;
  }
  l.Field(1, "bLength", Number(d[0]));
  l.Field(1, "bDescriptorType", Number(d[1]));
  l.Field(1, "bcdUSB", Bcd(Word(&d[2])));
  l.Field(1, "bDeviceClass", Number(d[4]), ClassName(d[4], true));
  l.Field(1, "bDeviceSubClass", Number(d[5]));
  l.Field(1, "bDeviceProtocol", Number(d[6]));
  l.Field(1, "bMaxPacketSize0", Number(d[7]));
  l.Field(1, "idVendor", Hex(Word(&d[8]), 4));
  l.Field(1, "idProduct", Hex(Word(&d[10]), 4));
  l.Field(1, "bcdDevice", Bcd(Word(&d[12])));
  StringField(l, 1, "iManufacturer", d[14], strings);
  StringField(l, 1, "iProduct", d[15], strings);
  StringField(l, 1, "iSerial", d[16], strings);
  l.Field(1, "bNumConfigurations", Number(d[17]));
}

void Configuration(Lines& l, const uint8_t* d, const StringLookup& strings) {
  l.Text(1, "Configuration Descriptor:");
  l.Field(2, "bLength", Number(d[0]));
  l.Field(2, "bDescriptorType", Number(d[1]));
  l.Field(2, "wTotalLength", Hex(Word(&d[2]), 4));
  l.Field(2, "bNumInterfaces", Number(d[4]));
  l.Field(2, "bConfigurationValue", Number(d[5]));
  StringField(l, 2, "iConfiguration", d[6], strings);
  l.Field(2, "bmAttributes", Hex(d[7], 2));
  l.Text(3, d[7] & kSelfPowered ? "Self Powered" : "(Bus Powered)");
  if (d[7] & kRemoteWakeup) l.Text(3, "Remote Wakeup");
  l.Field(2, "MaxPower", Number(d[8] * kMaxPowerUnitMa) + "mA");
}

void Interface(Lines& l, const uint8_t* d, const StringLookup& strings) {
  l.Text(2, "Interface Descriptor:");
  l.Field(3, "bLength", Number(d[0]));
  l.Field(3, "bDescriptorType", Number(d[1]));
  l.Field(3, "bInterfaceNumber", Number(d[2]));
  l.Field(3, "bAlternateSetting", Number(d[3]));
  l.Field(3, "bNumEndpoints", Number(d[4]));
  l.Field(3, "bInterfaceClass", Number(d[5]), ClassName(d[5], false));
  l.Field(3, "bInterfaceSubClass", Number(d[6]));
  l.Field(3, "bInterfaceProtocol", Number(d[7]));
  StringField(l, 3, "iInterface", d[8], strings);
}

void Endpoint(Lines& l, const uint8_t* d) {
  static const char* const kTransfer[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
  static const char* const kSynch[] = {"None", "Asynchronous", "Adaptive", "Synchronous"};
  static const char* const kUsage[] = {"Data", "Feedback", "Implicit feedback Data", "Reserved"};
  l.Text(3, "Endpoint Descriptor:");
  l.Field(4, "bLength", Number(d[0]));
  l.Field(4, "bDescriptorType", Number(d[1]));
  l.Field(4, "bEndpointAddress", Hex(d[2], 2),
          " EP " + Number(d[2] & kEndpointNumberMask) + (d[2] & kDirectionIn ? " IN" : " OUT"));
  l.Field(4, "bmAttributes", Number(d[3]));
  l.Text(5, std::string("Transfer Type            ") + kTransfer[d[3] & 3]);
  l.Text(5, std::string("Synch Type               ") + kSynch[(d[3] >> 2) & 3]);
  l.Text(5, std::string("Usage Type               ") + kUsage[(d[3] >> 4) & 3]);
  uint16_t packet = Word(&d[4]);
  l.Field(4, "wMaxPacketSize", Hex(packet, 4), " 1x " + Number(packet & 0x7FF) + " bytes");
  l.Field(4, "bInterval", Number(d[6]));
}

void Unrecognised(Lines& l, int depth, const uint8_t* d, size_t length) {
  std::string text = "** UNRECOGNIZED: ";
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, " %02x", d[i]);
    text += byte;
  }
  l.Text(depth, text);
}

}  // namespace

std::vector<std::string> DescribeDescriptors(const std::vector<uint8_t>& device,
                                             const std::vector<uint8_t>& configuration,
                                             const StringLookup& strings) {
  std::vector<std::string> out;
  Lines l(out);
  Device(l, device, strings);
  const std::vector<uint8_t>& c = configuration;
  if (c.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    l.Text(1, "Configuration Descriptor: (" + Number(unsigned(c.size())) + " bytes: too short)");
    return out;
  }
  Configuration(l, c.data(), strings);
  // The descriptors after the configuration's own, as far as each one's bLength holds.
  int depth = 2;
  for (size_t at = c[0]; at + 2 <= c.size();) {
    uint8_t length = c[at], type = c[at + 1];
    if (length < 2 || at + length > c.size()) {
      Unrecognised(l, depth, &c[at], c.size() - at);
      break;
    }
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      Interface(l, &c[at], strings);
      depth = 3;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      Endpoint(l, &c[at]);
    } else {
      Unrecognised(l, depth, &c[at], length);
    }
    at += length;
  }
  return out;
}

}  // namespace tools
