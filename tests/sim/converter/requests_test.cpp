// The converter's configuration and vendor requests as the driver sends them, and what they do
// to the line.
#include <gtest/gtest.h>

#include "converter_bench.h"

using namespace converter_test;

TEST(ConverterConfiguration, EndpointsLiveOnlyInTheSelectedConfiguration) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    Handshake h;
    b.InInterrupt([&] { h = b.converter->SetInterface(0, 1); });
    EXPECT_EQ(h, Handshake::kStall);  // not configured yet
    EXPECT_EQ(b.Poll().handshake, Handshake::kStall);
    b.InInterrupt([&] { h = b.converter->SetConfiguration(2); });
    EXPECT_EQ(h, Handshake::kStall);

    EXPECT_EQ(b.Configure(2), Handshake::kAck);
    EXPECT_EQ(b.converter->alternate_setting(), 2);
    b.InInterrupt([&] { h = b.converter->SetInterface(0, 3); });
    EXPECT_EQ(h, Handshake::kStall);
    EXPECT_EQ(b.converter->alternate_setting(), 2);
    EXPECT_EQ(b.Poll().handshake, Handshake::kNak);
    EXPECT_EQ(b.Poll(0x85).handshake, Handshake::kStall);  // not an endpoint of the setting

    b.InInterrupt([&] { h = b.converter->SetConfiguration(0); });
    EXPECT_EQ(h, Handshake::kAck);
    EXPECT_EQ(b.Poll().handshake, Handshake::kStall);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterRequests, LineSettingsSetRateAndFramingSeparately) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    Ticks start = k.Now();
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestLineSettings, kRate19200)));
    EXPECT_EQ(k.Now() - start, Milliseconds(1));  // the converter's answer time
    EXPECT_EQ(b.line.settings.bit_rate, 19200u);
    // Framing only: the rate stays.
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestLineSettings, kParityEven | kStopBitsOne)));
    EXPECT_EQ(b.line.settings, (UartSettings{19200, 8, Parity::kEven, 1}));
    // Rate only: the framing stays.
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestLineSettings, kRate9600)));
    EXPECT_EQ(b.line.settings, (UartSettings{9600, 8, Parity::kEven, 1}));
    EXPECT_TRUE(
        b.Acked(b.VendorOut(kRequestLineSettings, kRate115200 | kParityOdd | kStopBitsTwo)));
    EXPECT_EQ(b.line.settings, (UartSettings{115200, 8, Parity::kOdd, 2}));

    // Contradictions and unknown bits are refused and change nothing.
    size_t changes = b.line.settings_history.size();
    for (uint16_t bad :
         {uint16_t(kRate1200 | kRate9600), uint16_t(kParityEven | kParityNone),
          uint16_t(kStopBitsOne | kStopBitsTwo), uint16_t(0x8000), uint16_t(0x0004)}) {
      EXPECT_TRUE(b.Stalled(b.VendorOut(kRequestLineSettings, bad))) << bad;
    }
    EXPECT_EQ(b.line.settings_history.size(), changes);
    EXPECT_EQ(b.line.settings, (UartSettings{115200, 8, Parity::kOdd, 2}));
    // Asked as an IN request, it is not a request the converter knows.
    EXPECT_TRUE(b.Stalled(b.VendorIn(kRequestLineSettings, kRate9600)));
    // Not a vendor request at all.
    EXPECT_TRUE(b.Stalled(b.Control({0x22, kRequestLineSettings, kRate9600, 0, 0})));
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterRequests, ModemLinesReachTheLine) {
  Kernel k;
  Bench b(k);
  auto r = k.Run([&] {
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestModemLines, kDtrOn)));
    EXPECT_TRUE(b.line.modem.back().dtr);
    EXPECT_FALSE(b.line.modem.back().rts);
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestModemLines, kRtsOn)));
    EXPECT_TRUE(b.line.modem.back().dtr && b.line.modem.back().rts);
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestModemLines, kDtrOff | kRtsOff)));
    EXPECT_FALSE(b.line.modem.back().dtr || b.line.modem.back().rts);
    EXPECT_TRUE(b.Stalled(b.VendorOut(kRequestModemLines, kDtrOn | kDtrOff)));
    EXPECT_TRUE(b.Stalled(b.VendorOut(kRequestModemLines, 0x0100)));
    EXPECT_FALSE(b.converter->dtr());
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(ConverterRequests, StatusPortsReportCapabilitiesFlowAndReadiness) {
  Kernel k;
  sim::ConverterOptions options;
  options.close_stops_reading = true;
  Bench b(k, options);
  auto r = k.Run([&] {
    auto port1 = b.VendorIn(kRequestPort, kPortCapabilities);
    ASSERT_TRUE(b.Acked(port1));
    ASSERT_EQ(port1->data.size(), 8u);
    EXPECT_EQ(port1->data[kCapabilitiesByte],
              kCapabilityOutputFlowControl | kCapabilityCloseStopsReading);

    auto port4 = b.VendorIn(kRequestPort, kPortFlow);
    ASSERT_TRUE(b.Acked(port4));
    EXPECT_EQ(port4->data[kFlowStateByte] & kFlowControlOn, 0);
    EXPECT_EQ(port4->data[kFlowReadyByte] & kFlowReadyForData, kFlowReadyForData);

    // The control register switches flow control on; port 4 reports it, port 2 echoes it.
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestPort, kControlFlowControl)));
    EXPECT_EQ(b.VendorIn(kRequestPort, kPortFlow)->data[kFlowStateByte] & kFlowControlOn,
              kFlowControlOn);
    auto port2 = b.VendorIn(kRequestPort, kPortIdentity);
    ASSERT_TRUE(b.Acked(port2));
    EXPECT_EQ(port2->data[kIdentityFirmwareByte], 0x02);
    EXPECT_EQ(port2->data[kIdentityControlByte], kControlFlowControl);

    EXPECT_TRUE(b.Stalled(b.VendorIn(kRequestPort, 3)));
    EXPECT_EQ(b.VendorIn(kRequestPort, kPortCapabilities, 4)->data.size(), 4u);

    // The data stage form keeps the bytes.
    EXPECT_TRUE(b.Acked(b.VendorOut(kRequestPort, 0, {1, 2, 3})));
    EXPECT_EQ(b.converter->user_data(), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(b.Stalled(b.VendorOut(kRequestPort, 0, std::vector<uint8_t>(65, 0))));
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
