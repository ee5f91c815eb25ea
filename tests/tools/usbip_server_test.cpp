// zarq7-usbip as a USB/IP client sees it: the device list, the import, the converter's requests
// over the default pipe, interrupt transfers that pend until data comes or they are unlinked, a
// write that reaches the reader, and the control port's unplug and card changes. The service runs
// in real time in this process; the client speaks to it over loopback.
#include <gtest/gtest.h>

#include <thread>

#include "platform/usb.h"
#include "sim/converter/converter_descriptors.h"
#include "sim/converter/converter_protocol.h"
#include "tests/tools/usbip_client.h"
#include "tools/usbip/usbip_service.h"

using namespace usbip_test;
using host::usb::SetupPacket;
namespace conv = sim::converter;

namespace {

constexpr uint8_t kVendorIn = 0xC2;   // vendor request, device to host, to an endpoint
constexpr uint8_t kVendorOut = 0x42;  // host to device
constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kStandardOut = 0x00;
constexpr uint32_t kInEndpoint = conv::kDataInEndpoint & 0x0F;
constexpr uint32_t kOutEndpoint = conv::kDataOutEndpoint & 0x0F;
constexpr uint16_t kDeviceDescriptorLength = 18;
constexpr uint16_t kConfigurationHeaderLength = 9;
// The reader powers up with DTR and boots in a tenth of a second; this is ample.
constexpr std::chrono::milliseconds kReaderBoot{600};
// S(RESYNCH request) and the reader's S(RESYNCH response): NAD 0, PCB, LEN 0, LRC.
const std::vector<uint8_t> kResynchRequest = {0x00, 0xC0, 0x00, 0xC0};
const std::vector<uint8_t> kResynchResponse = {0x00, 0xE0, 0x00, 0xE0};

struct Served {
  explicit Served(unsigned converters = 1) {
    tools::usbip::ServiceOptions o;
    o.port = 0;
    o.control_port = 0;
    o.converters = converters;
    service = std::make_unique<tools::usbip::Service>(o);
    std::string error;
    started = service->Start(&error);
    EXPECT_TRUE(started) << error;
  }
  uint16_t port() const { return service->port(); }
  uint16_t control() const { return service->control_port(); }
  std::unique_ptr<tools::usbip::Service> service;
  bool started = false;
};

SetupPacket GetDescriptor(uint8_t type, uint16_t length) {
  return {kStandardIn, USB_REQUEST_GET_DESCRIPTOR, uint16_t(type << 8), 0, length};
}

// The importer's start, as a host's enumeration does it: the device descriptor, configuration 1.
void Configure(Client& c) {
  auto d = c.Control(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, kDeviceDescriptorLength));
  ASSERT_TRUE(d);
  ASSERT_EQ(d->header.status(), kStatusOk);
  auto s =
      c.Control({kStandardOut, USB_REQUEST_SET_CONFIGURATION, conv::kConfigurationValue, 0, 0});
  ASSERT_TRUE(s);
  ASSERT_EQ(s->header.status(), kStatusOk);
}

// The line as the driver sets it for the reader (9600 bit/s, 8E1), then DTR on: the reader boots.
void PowerReader(Client& c) {
  auto line = c.Control({kVendorOut, conv::kRequestLineSettings,
                         uint16_t(conv::kRate9600 | conv::kParityEven | conv::kStopBitsOne), 0, 0});
  ASSERT_TRUE(line);
  ASSERT_EQ(line->header.status(), kStatusOk);
  auto dtr = c.Control({kVendorOut, conv::kRequestModemLines, conv::kDtrOn, 0, 0});
  ASSERT_TRUE(dtr);
  ASSERT_EQ(dtr->header.status(), kStatusOk);
  std::this_thread::sleep_for(kReaderBoot);
}

// The converter imported and configured, as an importing host brings it up; with `power`, its
// reader booted as well.
void ImportAndConfigure(Client& c, bool power = false) {
  ASSERT_EQ(c.Import("1-1"), kOpStatusOk);
  ASSERT_NO_FATAL_FAILURE(Configure(c));
  if (power) {
    ASSERT_NO_FATAL_FAILURE(PowerReader(c));
  }
}

}  // namespace

TEST(UsbipServer, ListsAndImportsEachConverterOnce) {
  Served s(2);
  ASSERT_TRUE(s.started);
  Client list(s.port());
  auto devices = list.Devlist();
  ASSERT_TRUE(devices);
  ASSERT_EQ(devices->size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const DeviceRecord& d = (*devices)[i];
    EXPECT_EQ(d.busid, "1-" + std::to_string(i + 1));
    EXPECT_EQ(d.vendor_id, conv::kVendorId);
    EXPECT_EQ(d.product_id, conv::kProductId);
    EXPECT_EQ(d.speed, kSpeedLow);
    EXPECT_EQ(d.device_class, 0xFF);
    EXPECT_EQ(d.configurations, 1);
    ASSERT_EQ(d.interface.size(), 1u);
    EXPECT_EQ(d.interface[0].interface_class, 0xFF);
  }
  // The list's connection ends after the answer, as usbipd's does.
  EXPECT_TRUE(list.ClosedWithin());

  Client first(s.port());
  DeviceRecord record;
  EXPECT_EQ(first.Import("1-2", &record), kOpStatusOk);
  EXPECT_EQ(record.busid, "1-2");
  EXPECT_EQ(record.devid(), (*devices)[1].devid());
  Client second(s.port());
  EXPECT_EQ(second.Import("1-2"), kOpStatusError);  // imported already
  Client third(s.port());
  EXPECT_EQ(third.Import("9-9"), kOpStatusError);
  Client fourth(s.port());
  EXPECT_EQ(fourth.Import("1-1"), kOpStatusOk);
}

TEST(UsbipServer, AnswersStandardAndConverterRequests) {
  Served s;
  ASSERT_TRUE(s.started);
  Client c(s.port());
  ASSERT_EQ(c.Import("1-1"), kOpStatusOk);

  auto device = c.Control(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 64));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->header.status(), kStatusOk);
  ASSERT_EQ(device->data.size(), kDeviceDescriptorLength);  // cut to what the device has
  EXPECT_EQ(device->data[8] | device->data[9] << 8, conv::kVendorId);
  EXPECT_EQ(device->data[10] | device->data[11] << 8, conv::kProductId);

  auto head =
      c.Control(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, kConfigurationHeaderLength));
  ASSERT_TRUE(head);
  ASSERT_EQ(head->data.size(), kConfigurationHeaderLength);
  uint16_t total = uint16_t(head->data[2] | head->data[3] << 8);
  auto whole = c.Control(GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, total));
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->data, conv::BuildConfigurationDescriptor(conv::StandardLayout()));

  // Before a configuration the converter's pipes do not exist.
  c.SubmitIn(kInEndpoint, conv::kPacketSize);
  auto refused = c.Next();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->header.status(), kENOENT);

  Configure(c);
  auto config = c.Control({kStandardIn, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1});
  ASSERT_TRUE(config);
  EXPECT_EQ(config->data, std::vector<uint8_t>{conv::kConfigurationValue});
  // A port reset, as usbip-host takes it from a client: the device is unconfigured again.
  auto reset = c.Control({0x23, USB_REQUEST_SET_FEATURE, 4, 1, 0});
  ASSERT_TRUE(reset);
  EXPECT_EQ(reset->header.status(), kStatusOk);
  auto unconfigured = c.Control({kStandardIn, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1});
  ASSERT_TRUE(unconfigured);
  EXPECT_EQ(unconfigured->data, std::vector<uint8_t>{0});
  Configure(c);
  auto setting = c.Control({0x01, USB_REQUEST_SET_INTERFACE, 2, conv::kInterfaceNumber, 0});
  ASSERT_TRUE(setting);
  EXPECT_EQ(setting->header.status(), kStatusOk);
  auto no_setting = c.Control({0x01, USB_REQUEST_SET_INTERFACE, 7, conv::kInterfaceNumber, 0});
  ASSERT_TRUE(no_setting);
  EXPECT_EQ(no_setting->header.status(), kEPIPE);

  // The converter's own requests: its identity port, a line setting, one it refuses.
  auto identity =
      c.Control({kVendorIn, conv::kRequestPort, conv::kPortIdentity, 0, conv::kReplyLength});
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->header.status(), kStatusOk);
  ASSERT_EQ(identity->data.size(), conv::kReplyLength);
  EXPECT_EQ(identity->data[0] | identity->data[1] << 8, 0x0102);  // firmware version
  auto line = c.Control({kVendorOut, conv::kRequestLineSettings,
                         uint16_t(conv::kRate9600 | conv::kParityEven | conv::kStopBitsOne), 0, 0});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->header.status(), kStatusOk);
  auto two_rates = c.Control(
      {kVendorOut, conv::kRequestLineSettings, uint16_t(conv::kRate9600 | conv::kRate1200), 0, 0});
  ASSERT_TRUE(two_rates);
  EXPECT_EQ(two_rates->header.status(), kEPIPE);
  std::vector<uint8_t> user = {1, 2, 3};
  auto data_out = c.Control({kVendorOut, conv::kRequestPort, 0, 0, uint16_t(user.size())}, user);
  ASSERT_TRUE(data_out);
  EXPECT_EQ(data_out->header.status(), kStatusOk);
  EXPECT_EQ(data_out->header.actual_length(), user.size());
}

TEST(UsbipServer, InterruptInPendsUntilUnlinked) {
  Served s;
  ASSERT_TRUE(s.started);
  Client c(s.port());
  ASSERT_NO_FATAL_FAILURE(ImportAndConfigure(c));
  // Nothing on the line: the IN transfer pends.
  uint32_t in = c.SubmitIn(kInEndpoint, conv::kPacketSize);
  EXPECT_FALSE(c.Next(kQuiet));
  uint32_t unlink = c.Unlink(in);
  auto answer = c.Next();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.command, kRetUnlink);
  EXPECT_EQ(answer->header.seqnum, unlink);
  EXPECT_EQ(answer->header.status(), kECONNRESET);
  EXPECT_FALSE(c.Next(kQuiet)) << "a RET_SUBMIT for the unlinked transfer";

  // An unlink that comes after the answer is told 0; the answer went first.
  auto identity =
      c.Control({kVendorIn, conv::kRequestPort, conv::kPortIdentity, 0, conv::kReplyLength});
  ASSERT_TRUE(identity);
  uint32_t late = c.Unlink(identity->header.seqnum);
  auto late_answer = c.Next();
  ASSERT_TRUE(late_answer);
  EXPECT_EQ(late_answer->header.seqnum, late);
  EXPECT_EQ(late_answer->header.status(), kStatusOk);

  // Two pending on one endpoint: unlinking the second leaves the first pending.
  uint32_t a = c.SubmitIn(kInEndpoint, conv::kPacketSize);
  uint32_t b = c.SubmitIn(kInEndpoint, conv::kPacketSize);
  c.Unlink(b);
  auto b_gone = c.Next();
  ASSERT_TRUE(b_gone);
  EXPECT_EQ(b_gone->header.status(), kECONNRESET);
  c.Unlink(a);
  auto a_gone = c.Next();
  ASSERT_TRUE(a_gone);
  EXPECT_EQ(a_gone->header.status(), kECONNRESET);
}

TEST(UsbipServer, WriteReachesTheReaderAndItsAnswerComesIn) {
  Served s;
  ASSERT_TRUE(s.started);
  Client c(s.port());
  ASSERT_NO_FATAL_FAILURE(ImportAndConfigure(c, true));
  uint32_t in = c.SubmitIn(kInEndpoint, conv::kPacketSize);
  uint32_t out =
      c.Submit(kDirectionOut, kOutEndpoint, uint32_t(kResynchRequest.size()), kResynchRequest);
  std::vector<uint8_t> received;
  bool written = false;
  for (int answers = 0; answers < 8 && (received.size() < kResynchResponse.size() || !written);
       ++answers) {
    auto m = c.Next();
    ASSERT_TRUE(m) << "received so far: " << received.size() << " bytes";
    ASSERT_EQ(m->header.command, kRetSubmit);
    ASSERT_EQ(m->header.status(), kStatusOk);
    if (m->header.seqnum == out) {
      EXPECT_EQ(m->header.actual_length(), kResynchRequest.size());
      written = true;
    } else {
      EXPECT_EQ(m->header.seqnum, in);
      received.insert(received.end(), m->data.begin(), m->data.end());
      if (received.size() < kResynchResponse.size())
        in = c.SubmitIn(kInEndpoint, conv::kPacketSize);
    }
  }
  EXPECT_TRUE(written);
  EXPECT_EQ(received, kResynchResponse);
}

TEST(UsbipServer, BadHeaderClosesOnlyThatConnection) {
  Served s;
  ASSERT_TRUE(s.started);
  {
    Client c(s.port());
    ASSERT_EQ(c.Import("1-1"), kOpStatusOk);
    UrbHeader bogus;
    bogus.command = 0x77;
    auto bytes = bogus.Encode();
    c.SendBytes({bytes.begin(), bytes.end()});
    EXPECT_TRUE(c.ClosedWithin());
  }
  {
    Client c(s.port());
    ASSERT_EQ(c.Import("1-1"), kOpStatusOk);        // released with the connection
    c.Submit(kDirectionIn, kInEndpoint, 1u << 30);  // an absurd length
    EXPECT_TRUE(c.ClosedWithin());
  }
  {
    Client c(s.port());
    c.SendBytes({0x01, 0x06, 0x80, 0x05, 0, 0, 0, 0});  // another protocol version
    EXPECT_TRUE(c.ClosedWithin());
  }
  Client c(s.port());
  auto devices = c.Devlist();
  ASSERT_TRUE(devices);
  EXPECT_EQ(devices->size(), 1u);
}

// The importer goes away with a transfer pending (vhci detached, a client killed): the next one
// imports the device and is served.
TEST(UsbipServer, NextImporterIsServedAfterOneVanishes) {
  Served s;
  ASSERT_TRUE(s.started);
  for (int round = 0; round < 3; ++round) {
    Client c(s.port());
    ASSERT_EQ(c.Import("1-1"), kOpStatusOk) << "round " << round;
    Configure(c);
    c.SubmitIn(kInEndpoint, conv::kPacketSize);
    auto identity =
        c.Control({kVendorIn, conv::kRequestPort, conv::kPortIdentity, 0, conv::kReplyLength});
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->header.status(), kStatusOk);
  }
}

TEST(UsbipServer, UnplugFailsPendingUrbsAndClosesTheImporter) {
  Served s;
  ASSERT_TRUE(s.started);
  {
    Client c(s.port());
    ASSERT_NO_FATAL_FAILURE(ImportAndConfigure(c));
    uint32_t in = c.SubmitIn(kInEndpoint, conv::kPacketSize);
    EXPECT_FALSE(c.Next(kQuiet));
    EXPECT_EQ(ControlLine(s.control(), "unplug 1-1"), "ok");
    auto failed = c.Next();
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->header.seqnum, in);
    EXPECT_EQ(failed->header.status(), kESHUTDOWN);
    EXPECT_TRUE(c.ClosedWithin());
  }
  Client list(s.port());
  auto gone = list.Devlist();
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->empty());
  Client refused(s.port());
  EXPECT_EQ(refused.Import("1-1"), kOpStatusError);
  EXPECT_EQ(ControlLine(s.control(), "unplug 1-1"), "error: 1-1 is not plugged in");
  EXPECT_EQ(ControlLine(s.control(), "status"), "ok: 1-1 unplugged");

  EXPECT_EQ(ControlLine(s.control(), "plug 1-1"), "ok");
  Client again(s.port());
  ASSERT_NO_FATAL_FAILURE(ImportAndConfigure(again, true));
  again.Submit(kDirectionOut, kOutEndpoint, uint32_t(kResynchRequest.size()), kResynchRequest);
  auto written = again.Next();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->header.status(), kStatusOk);
}

// The cable pulled while transfers come and go on both pipes and the default pipe: every URB
// gets one answer, and the connection ends.
TEST(UsbipServer, UnplugRacesTraffic) {
  Served s;
  ASSERT_TRUE(s.started);
  Client c(s.port());
  ASSERT_NO_FATAL_FAILURE(ImportAndConfigure(c, true));
  std::thread pull([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ControlLine(s.control(), "unplug 1-1"), "ok");
  });
  std::set<uint32_t> sent;
  for (int i = 0; i < 20; ++i) {
    sent.insert(c.SubmitIn(kInEndpoint, conv::kPacketSize));
    sent.insert(
        c.Submit(kDirectionOut, kOutEndpoint, uint32_t(kResynchRequest.size()), kResynchRequest));
    sent.insert(
        c.Submit(kDirectionIn, 0, conv::kReplyLength, {},
                 {kVendorIn, conv::kRequestPort, conv::kPortIdentity, 0, conv::kReplyLength}));
  }
  pull.join();
  std::set<uint32_t> answered;
  bool shut_down = false;
  for (;;) {
    auto m = c.Next();
    if (!m) break;
    ASSERT_EQ(m->header.command, kRetSubmit);
    EXPECT_TRUE(answered.insert(m->header.seqnum).second) << "two answers for one URB";
    shut_down |= m->header.status() == kESHUTDOWN || m->header.status() == kENODEV;
  }
  EXPECT_TRUE(shut_down);
  for (uint32_t seq : answered) EXPECT_TRUE(sent.contains(seq));
  EXPECT_EQ(ControlLine(s.control(), "status"), "ok: 1-1 unplugged");
}

TEST(UsbipServer, ControlPortChangesTheCard) {
  Served s;
  ASSERT_TRUE(s.started);
  EXPECT_EQ(ControlLine(s.control(), "card out 1-1"), "ok");
  EXPECT_EQ(ControlLine(s.control(), "card out 1-1"), "error: 1-1 has no card");
  EXPECT_EQ(ControlLine(s.control(), "card in 1-1"), "ok");
  EXPECT_EQ(ControlLine(s.control(), "card in 1-1"), "error: 1-1 has a card already");
  EXPECT_EQ(ControlLine(s.control(), "card in 1-7"), "error: no device 1-7");
  EXPECT_EQ(ControlLine(s.control(), "eject"),
            "error: unknown command (card in|out BUSID, plug|unplug BUSID, status, quit)");
  EXPECT_EQ(ControlLine(s.control(), "quit"), "ok");
  s.service->WaitUntilQuit();  // returns: the quit was taken
  s.service->Stop();
  EXPECT_EQ(s.service->machine_report(), "");
}

// The service ends (quit, SIGTERM) while a client holds the device with a transfer pending: the
// client's connection is closed and the machine shuts down cleanly.
TEST(UsbipServer, StopWhileServed) {
  Served s;
  ASSERT_TRUE(s.started);
  Client c(s.port());
  ASSERT_NO_FATAL_FAILURE(ImportAndConfigure(c));
  c.SubmitIn(kInEndpoint, conv::kPacketSize);
  EXPECT_FALSE(c.Next(kQuiet));
  std::thread stop([&] { s.service->Stop(); });
  EXPECT_TRUE(c.ClosedWithin());
  stop.join();
  EXPECT_EQ(s.service->machine_report(), "");
  Client late(s.port());
  EXPECT_FALSE(late.connected());
}
