// A driver's whole conversation with the reader, in raw URBs: descriptors, configuration, the
// link's line settings, DTR, one block written in 8-byte packets and the reader's answer read
// back through interrupt IN transfers, on the virtual clock of the line and the polling
// interval; tshark decodes the capture of the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "sim/converter/converter_protocol.h"
#include "sim/converter_rig.h"
#include "usb_bus_test_support.h"

using namespace usb_bus_test;
using namespace sim::converter;

namespace {

const std::vector<uint8_t> kBlock = {0x12, 0x00, 0x05, 0x20, 0x13, 0x00, 0x80, 0x00, 0xA4};
// Alternate setting 0 asks for 10 ms; Windows polls it every 8 ms.
constexpr Ticks kInterval = Milliseconds(8);
constexpr uint32_t kLinkRate = 9600;
constexpr uint32_t kBitsPerCharacter = 11;  // start, 8 data, even parity, stop
constexpr uint8_t kReaderToHostNad = 0x21;
constexpr size_t kPrologue = 3;  // NAD, PCB, LEN
constexpr size_t kEpilogue = 1;  // LRC

// Start of character i of a back-to-back burst, as the line reports it (whole ticks, down).
Ticks BurstOffset(size_t i) { return Ticks(i) * kBitsPerCharacter * kTicksPerSecond / kLinkRate; }

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

}  // namespace

TEST(UsbBusMustShow, RawUrbsExchangeABlockWithTheReaderAtLineSpeedAndPollingInterval) {
  Machine m;
  std::string capture = (std::filesystem::temp_directory_path() /
                         ("usb_bus_must_show_" + std::to_string(getpid()) + ".pcap"))
                            .string();
  std::vector<uint8_t> answer;
  auto r = m.k.Run([&] {
    sim::ConverterRig rig(m.k);
    PDEVICE_OBJECT pdo = m.bus.Plug(rig.device());
    ASSERT_NE(pdo, nullptr);

    USB_DEVICE_DESCRIPTOR dd{};
    URB get = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, &dd, sizeof dd);
    ASSERT_EQ(Submit(pdo, &get), STATUS_SUCCESS);
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, sizeof dd);
    EXPECT_EQ(dd.idVendor, kVendorId);
    EXPECT_EQ(dd.idProduct, kProductId);

    std::vector<ULONG> returned;
    std::vector<uint8_t> cd =
        ReadConfiguration(pdo, sizeof(USB_CONFIGURATION_DESCRIPTOR), &returned);
    ASSERT_EQ(returned.size(), 2u);
    EXPECT_EQ(returned[0], sizeof(USB_CONFIGURATION_DESCRIPTOR));
    EXPECT_EQ(returned[1], cd.size());

    reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data())->bNumInterfaces = 1;
    PURB select = SelectConfigurationUrb(cd);
    ASSERT_NE(select, nullptr);
    ASSERT_EQ(Submit(pdo, select), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION& info = select->UrbSelectConfiguration.Interface;
    ASSERT_EQ(info.NumberOfPipes, 2u);
    USBD_PIPE_INFORMATION in = info.Pipes[0];
    USBD_PIPE_INFORMATION out = info.Pipes[1];
    ExFreePool(select);
    EXPECT_EQ(in.EndpointAddress, kDataInEndpoint);
    EXPECT_EQ(out.EndpointAddress, kDataOutEndpoint);
    EXPECT_EQ(in.Interval, 10);

    auto vendor_out = [&](UCHAR request, USHORT value) {
      URB v = VendorUrb(request, value, false, nullptr, 0);
      return Submit(pdo, &v);
    };
    ASSERT_EQ(vendor_out(kRequestLineSettings, kRate9600), STATUS_SUCCESS);
    ASSERT_EQ(vendor_out(kRequestLineSettings, kParityEven | kStopBitsOne), STATUS_SUCCESS);
    EXPECT_EQ(rig.line().converter_end().settings(), sim::kLinkSettings);
    EXPECT_FALSE(rig.reader().booted());
    ASSERT_EQ(vendor_out(kRequestModemLines, kDtrOn), STATUS_SUCCESS);
    EXPECT_TRUE(rig.line().dtr());
    Sleep(Milliseconds(150));
    ASSERT_TRUE(rig.reader().booted());

    // The block, in packets of at most 8 bytes, one OUT transfer each.
    std::vector<Ticks> written;
    for (size_t at = 0; at < kBlock.size(); at += 8) {
      uint8_t chunk[8];
      ULONG n = ULONG(std::min<size_t>(8, kBlock.size() - at));
      std::memcpy(chunk, kBlock.data() + at, n);
      URB w = PipeUrb(out.PipeHandle, false, chunk, n);
      ASSERT_EQ(Submit(pdo, &w), STATUS_SUCCESS);
      EXPECT_EQ(w.UrbBulkOrInterruptTransfer.TransferBufferLength, n);
      written.push_back(m.k.Now());
    }
    EXPECT_EQ(written[0] % kInterval, 0);
    EXPECT_EQ(written[1] - written[0], kInterval);

    // The answer, through 8-byte interrupt IN transfers until the block is complete.
    std::vector<Ticks> in_times;
    std::vector<size_t> in_totals;
    while (answer.size() < kPrologue + kEpilogue ||
           answer.size() < kPrologue + answer[2] + kEpilogue) {
      uint8_t chunk[8] = {};
      URB rd = PipeUrb(in.PipeHandle, true, chunk, sizeof chunk);
      ASSERT_EQ(Submit(pdo, &rd), STATUS_SUCCESS);
      ULONG n = rd.UrbBulkOrInterruptTransfer.TransferBufferLength;
      ASSERT_GE(n, 1u);
      ASSERT_LE(n, 8u);
      answer.insert(answer.end(), chunk, chunk + n);
      in_times.push_back(m.k.Now());
      in_totals.push_back(answer.size());
      ASSERT_LT(m.k.Now(), written[0] + Seconds(1));
    }

    // The line: the first packet's characters back to back from the poll that took it, 11 bits
    // each at 9600 bit/s; the next poll of the OUT endpoint, 8 ms later, finds the converter
    // still sending them, so the ninth follows the eighth back to back.
    std::vector<sim::LineEvent> sent, at_reader, at_converter;
    for (const sim::LineEvent& e : rig.trace().events()) {
      if (e.time < written[0]) continue;
      bool to_reader = e.direction == sim::Direction::kHostToReader;
      if (e.kind == sim::LineEvent::Kind::kSent && to_reader) sent.push_back(e);
      if (e.kind == sim::LineEvent::Kind::kReceived) {
        (to_reader ? at_reader : at_converter).push_back(e);
      }
    }
    ASSERT_EQ(sent.size(), kBlock.size());
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(sent[i].value, kBlock[i]);
      EXPECT_EQ(sent[i].time, written[0] + BurstOffset(i)) << i;
    }
    EXPECT_LT(written[1], written[0] + BurstOffset(8));
    EXPECT_EQ(sent[8].time, written[0] + BurstOffset(8));
    ASSERT_EQ(at_reader.size(), kBlock.size());
    EXPECT_EQ(at_reader[7].time, written[0] + BurstOffset(8) + 1);  // rounded up to the tick
    EXPECT_EQ(at_reader[8].time, written[0] + BurstOffset(9));      // 9 characters: whole ticks
    EXPECT_FALSE(at_reader[8].parity_error);

    // The reader's answer reached the converter after the block, and each IN transfer ended at
    // the first poll (a multiple of the interval) at which the converter had bytes, with at
    // most 8 of them.
    ASSERT_EQ(at_converter.size(), answer.size());
    EXPECT_GT(at_converter.front().time, at_reader.back().time);
    size_t delivered = 0;
    Ticks previous = written[1];
    for (size_t k = 0; k < in_times.size(); ++k) {
      EXPECT_EQ(in_times[k] % kInterval, 0) << k;
      auto arrived_by = [&](Ticks t) {
        return size_t(std::count_if(at_converter.begin(), at_converter.end(),
                                    [t](const sim::LineEvent& e) { return e.time <= t; }));
      };
      Ticks first_poll = (previous / kInterval + 1) * kInterval;
      while (arrived_by(first_poll) <= delivered) first_poll += kInterval;
      EXPECT_EQ(in_times[k], first_poll) << k;
      EXPECT_EQ(in_totals[k], std::min(delivered + 8, arrived_by(in_times[k]))) << k;
      delivered = in_totals[k];
      previous = in_times[k];
    }
    std::vector<uint8_t> from_reader;
    for (const sim::LineEvent& e : at_converter) from_reader.push_back(e.value);
    EXPECT_EQ(answer, from_reader);
    EXPECT_EQ(answer[0], kReaderToHostNad);
    auto blocks = rig.trace().Blocks();
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(blocks.back().lrc_ok);
    EXPECT_EQ(blocks.back().bytes, answer);

    m.bus.Unplug(pdo);
    std::string error;
    ASSERT_TRUE(m.bus.WritePcap(capture, &error)) << error;
  });
  ASSERT_TRUE(r.ok()) << r.report;

  int code = 0;
  RunCommand("command -v tshark >/dev/null 2>&1", &code);
  if (code != 0) {
    std::filesystem::remove(capture);
    GTEST_SKIP() << "tshark is not installed (Debian package tshark); the capture of the run "
                    "cannot be checked against a real decoder";
  }
  std::string decoded = RunCommand("tshark -r '" + capture + "' -V 2>&1", &code);
  std::filesystem::remove(capture);
  ASSERT_EQ(code, 0) << decoded;
  EXPECT_NE(decoded.find("DEVICE DESCRIPTOR"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("CONFIGURATION DESCRIPTOR"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("URB_FUNCTION_SELECT_CONFIGURATION"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("URB_FUNCTION_VENDOR_ENDPOINT"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("Leftover Capture Data: 1200052013008000"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("Leftover Capture Data: a4"), std::string::npos) << decoded;
  char first_in[64];
  std::snprintf(first_in, sizeof first_in, "Leftover Capture Data: %02x", answer[0]);
  EXPECT_NE(decoded.find(first_in), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("Malformed"), std::string::npos) << decoded;
}
