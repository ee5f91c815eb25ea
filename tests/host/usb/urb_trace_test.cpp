// The URB trace: records read from real URB layouts, the text form, and the USBPcap capture as
// tshark decodes it.
#include "host/usb/urb_trace.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "host/kernel/ticks.h"
#include "host/usb/descriptors.h"
#include "host/usb/urb_describe.h"
#include "host/usb/usbpcap.h"
#include "platform/wdm.h"

using namespace host::kernel;
using namespace host::usb;

namespace {

constexpr uint16_t kDeviceAddress = 3;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;

// A capture of a descriptor read, a vendor IN request, an OUT transfer and an IN transfer that
// was cancelled after it had moved nothing.
struct SampleRun {
  UrbTrace trace;
  Bytes device_descriptor = BuildDeviceDescriptor(
      {.vendor_id = 0xF7A5, .product_id = 0x0C01, .manufacturer_string = 1, .product_string = 2});

  SampleRun() {
    URB urb{};
    UCHAR descriptor[18] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr,
                                 sizeof descriptor, nullptr);
    uint64_t id = trace.Submitted(RecordUrbSubmission(urb, kDeviceAddress), Milliseconds(1));
    std::copy(device_descriptor.begin(), device_descriptor.end(), descriptor);
    urb.UrbHeader.Status = USBD_STATUS_SUCCESS;
    RecordUrbCompletion(trace, id, urb, STATUS_SUCCESS, Milliseconds(3));

    URB vendor{};
    UCHAR reply[8] = {};
    UsbBuildVendorRequest(&vendor, URB_FUNCTION_VENDOR_ENDPOINT,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, 0x10, 4, 0, reply,
                          nullptr, sizeof reply, nullptr);
    id = trace.Submitted(RecordUrbSubmission(vendor, kDeviceAddress), Milliseconds(5));
    reply[0] = 1;
    reply[2] = 1;
    vendor.UrbHeader.Status = USBD_STATUS_SUCCESS;
    RecordUrbCompletion(trace, id, vendor, STATUS_SUCCESS, Milliseconds(8));

    URB out{};
    UCHAR block[8] = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00};
    UsbBuildInterruptOrBulkTransferRequest(&out, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), nullptr,
                                           block, nullptr, sizeof block, USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    id = trace.Submitted(
        RecordUrbSubmission(out, kDeviceAddress, kOutEndpoint, TransferType::kInterrupt),
        Milliseconds(10));
    out.UrbHeader.Status = USBD_STATUS_SUCCESS;
    RecordUrbCompletion(trace, id, out, STATUS_SUCCESS, Milliseconds(14));

    URB in{};
    UCHAR chunk[8] = {};
    UsbBuildInterruptOrBulkTransferRequest(
        &in, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), nullptr, chunk, nullptr, sizeof chunk,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    id = trace.Submitted(
        RecordUrbSubmission(in, kDeviceAddress, kInEndpoint, TransferType::kInterrupt),
        Milliseconds(15));
    in.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    in.UrbHeader.Status = USBD_STATUS_CANCELED;
    RecordUrbCompletion(trace, id, in, STATUS_CANCELLED, Milliseconds(2515));
  }
};

std::string RunCommand(const std::string& command, int* exit_code) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *exit_code = -1;
    return output;
  }
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  *exit_code = pclose(pipe);
  return output;
}

bool HaveTshark() {
  int code = 0;
  RunCommand("command -v tshark >/dev/null 2>&1", &code);
  return code == 0;
}

}  // namespace

TEST(UrbTrace, RecordsWhatEachUrbAskedAndGot) {
  SampleRun run;
  auto records = run.trace.Records();
  ASSERT_EQ(records.size(), 4u);

  const UrbRecord& get = records[0];
  EXPECT_EQ(get.function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  ASSERT_TRUE(get.setup);
  EXPECT_EQ(get.setup->Bytes(), (std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x01, 0, 0, 18, 0}));
  EXPECT_EQ(get.endpoint, 0x80);
  EXPECT_EQ(get.in_data, run.device_descriptor);
  EXPECT_EQ(get.completed_at - get.submitted, Milliseconds(2));

  // A vendor request to an endpoint, device to host: bmRequestType 0xC2.
  ASSERT_TRUE(records[1].setup);
  EXPECT_EQ(records[1].setup->request_type, 0xC2);
  EXPECT_EQ(records[1].setup->request, 0x10);
  EXPECT_EQ(records[1].setup->value, 4);
  EXPECT_EQ(records[1].setup->length, 8);

  EXPECT_EQ(records[2].transfer, TransferType::kInterrupt);
  EXPECT_EQ(records[2].endpoint, kOutEndpoint);
  EXPECT_EQ(records[2].out_data.size(), 8u);
  EXPECT_TRUE(records[2].in_data.empty());

  EXPECT_EQ(records[3].status, STATUS_CANCELLED);
  EXPECT_EQ(records[3].usbd_status, USBD_STATUS_CANCELED);
  EXPECT_EQ(records[3].actual_length, 0u);
  EXPECT_TRUE(records[3].in_data.empty());

  std::string text = run.trace.Format();
  EXPECT_NE(text.find("VENDOR_ENDPOINT ep=0x80 control len=8 setup=[C2 10 04 00 00 00 08 00]"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("-> 2515.0000ms status=0xC0000120"), std::string::npos) << text;
}

TEST(UrbTrace, PendingUrbsAndUnknownCompletions) {
  UrbTrace trace;
  URB in{};
  UCHAR chunk[8];
  UsbBuildInterruptOrBulkTransferRequest(&in, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), nullptr,
                                         chunk, nullptr, 8, USBD_TRANSFER_DIRECTION_IN, nullptr);
  uint64_t id = trace.Submitted(RecordUrbSubmission(in, 1, kInEndpoint, TransferType::kInterrupt),
                                Milliseconds(1));
  trace.Completed(id + 100, Milliseconds(2), STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, {});
  auto records = trace.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0].completed);
  EXPECT_NE(trace.Format().find("-> pending"), std::string::npos);
  // A pending URB is one packet in the capture: its submission.
  std::vector<uint8_t> file = EncodeUsbPcap(records);
  EXPECT_EQ(file.size(), 24u + 16 + kUsbPcapHeaderLength);
}

TEST(UsbPcap, FileHeaderAndPacketLayout) {
  SampleRun run;
  std::vector<uint8_t> f = EncodeUsbPcap(run.trace.Records());
  ASSERT_GE(f.size(), 24u);
  auto u32 = [&](size_t at) {
    return uint32_t(f[at] | f[at + 1] << 8 | f[at + 2] << 16 | uint32_t(f[at + 3]) << 24);
  };
  EXPECT_EQ(u32(0), kPcapMagic);
  EXPECT_EQ(u32(20), kLinkTypeUsbPcap);
  // First packet: the descriptor read's setup at 1 ms.
  EXPECT_EQ(u32(24), 0u);
  EXPECT_EQ(u32(28), 1000u);
  EXPECT_EQ(u32(32), kUsbPcapControlHeaderLength + 8u);
  size_t p = 40;
  EXPECT_EQ(f[p] | f[p + 1] << 8, kUsbPcapControlHeaderLength);
  EXPECT_EQ(f[p + 16], 0);                                // info: submission
  EXPECT_EQ(f[p + 21], 0x80);                             // endpoint
  EXPECT_EQ(f[p + 22], uint8_t(TransferType::kControl));  // transfer
  EXPECT_EQ(f[p + 27], kUsbPcapStageSetup);
  EXPECT_EQ(f[p + 28], 0x80);  // bmRequestType
}

TEST(UsbPcap, TsharkDecodesTheCaptureAsUsb) {
  if (!HaveTshark()) {
    GTEST_SKIP() << "tshark is not installed (Debian package tshark); the capture cannot be "
                    "checked against a real decoder";
  }
  SampleRun run;
  std::string path = (std::filesystem::temp_directory_path() /
                      ("host_usb_trace_" + std::to_string(getpid()) + ".pcap"))
                         .string();
  std::string error;
  ASSERT_TRUE(run.trace.WritePcap(path, &error)) << error;
  int code = 0;
  std::string out = RunCommand("tshark -r '" + path + "' -V 2>&1", &code);
  std::filesystem::remove(path);
  ASSERT_EQ(code, 0) << out;
  EXPECT_NE(out.find("USB URB"), std::string::npos) << out;
  EXPECT_NE(out.find("URB Function: URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE"), std::string::npos)
      << out;
  EXPECT_NE(out.find("DEVICE DESCRIPTOR"), std::string::npos) << out;
  EXPECT_NE(out.find("idVendor: Unknown (0xf7a5)"), std::string::npos) << out;
  EXPECT_NE(out.find("URB_FUNCTION_VENDOR_ENDPOINT"), std::string::npos) << out;
  EXPECT_NE(out.find("URB transfer type: URB_INTERRUPT (0x01)"), std::string::npos) << out;
  EXPECT_NE(out.find("Endpoint: 0x02, Direction: OUT"), std::string::npos) << out;
  EXPECT_NE(out.find("Leftover Capture Data: 1200052013008000"), std::string::npos) << out;
  EXPECT_NE(out.find("Control transfer stage: Complete (3)"), std::string::npos) << out;
  EXPECT_NE(out.find("[Time from request: 2.500000000 seconds]"), std::string::npos) << out;
  EXPECT_NE(out.find("USBD_STATUS_CANCELED"), std::string::npos) << out;
  EXPECT_EQ(out.find("Malformed"), std::string::npos) << out;
}
