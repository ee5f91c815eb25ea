// IOCTL_SMARTCARD_GET_ATTRIBUTE and SET_ATTRIBUTE: exact answers from the extension, buffers too
// small, and the attributes that go to the driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/host/smclib/smclib_rig.h"

using smclib_test::Bytes;
using smclib_test::Machine;
using smclib_test::Rig;
using smclib_test::UlongAt;

namespace {

void SetString(SCARD_ATTR_STRING& s, const char* text) {
  s.Length = USHORT(std::strlen(text) + 1);
  std::memcpy(s.Buffer, text, s.Length);
}

// The answer to one attribute: status, and the bytes reported.
struct Got {
  NTSTATUS status;
  std::vector<UCHAR> bytes;
};

Got Get(Rig& rig, ULONG tag, ULONG output_length = 64) {
  std::vector<UCHAR> buffer;
  auto sent = rig.SendUlong(IOCTL_SMARTCARD_GET_ATTRIBUTE, tag, output_length, &buffer);
  EXPECT_TRUE(sent->completed);
  EXPECT_EQ(sent->returned, sent->status);
  return {sent->status, {buffer.begin(), buffer.begin() + ptrdiff_t(sent->information)}};
}

std::vector<UCHAR> U(ULONG v) { return Bytes(v); }

}  // namespace

TEST(GetAttribute, VendorAttributesComeFromTheExtension) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    auto& v = rig.e()->VendorAttr;
    SetString(v.VendorName, "Test Vendor");
    SetString(v.IfdType, "TR 1");
    v.IfdVersion.VersionMajor = 1;
    v.IfdVersion.VersionMinor = 0x92;
    v.IfdVersion.BuildNumber = 0x3D;
    v.UnitNo = 2;

    auto name = Get(rig, SCARD_ATTR_VENDOR_NAME);
    EXPECT_EQ(name.status, STATUS_SUCCESS);
    EXPECT_EQ(name.bytes,
              (std::vector<UCHAR>{'T', 'e', 's', 't', ' ', 'V', 'e', 'n', 'd', 'o', 'r', 0}));
    EXPECT_EQ(Get(rig, SCARD_ATTR_VENDOR_IFD_TYPE).bytes,
              (std::vector<UCHAR>{'T', 'R', ' ', '1', 0}));
    EXPECT_EQ(Get(rig, SCARD_ATTR_VENDOR_IFD_VERSION).bytes, U(0x0192003D));
    EXPECT_EQ(Get(rig, SCARD_ATTR_DEVICE_UNIT).bytes, U(2));
    EXPECT_EQ(Get(rig, SCARD_ATTR_VENDOR_IFD_SERIAL_NO).status, STATUS_NOT_SUPPORTED)
        << "a reader without a serial number";
    SetString(v.IfdSerialNo, "42");
    EXPECT_EQ(Get(rig, SCARD_ATTR_VENDOR_IFD_SERIAL_NO).bytes, (std::vector<UCHAR>{'4', '2', 0}));
    // A length past the buffer reports the buffer only.
    v.VendorName.Length = 200;
    EXPECT_EQ(Get(rig, SCARD_ATTR_VENDOR_NAME).bytes.size(), size_t(MAXIMUM_ATTR_STRING_LENGTH));
    EXPECT_TRUE(rig.calls.empty()) << "answered without the driver";
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(GetAttribute, ReaderCapabilities) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    auto& c = rig.e()->ReaderCapabilities;
    c.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    c.ReaderType = SCARD_READER_TYPE_USB;
    c.Channel = 3;
    c.CLKFrequency = {4000, 5000};
    c.DataRate = {9600, 19200};
    c.MaxIFSD = 254;
    c.PowerMgmtSupport = 1;
    c.MechProperties = 8;
    EXPECT_EQ(Get(rig, SCARD_ATTR_CHANNEL_ID).bytes, U(0x00200003));
    EXPECT_EQ(Get(rig, SCARD_ATTR_PROTOCOL_TYPES).bytes, U(3));
    EXPECT_EQ(Get(rig, SCARD_ATTR_DEFAULT_CLK).bytes, U(4000));
    EXPECT_EQ(Get(rig, SCARD_ATTR_MAX_CLK).bytes, U(5000));
    EXPECT_EQ(Get(rig, SCARD_ATTR_DEFAULT_DATA_RATE).bytes, U(9600));
    EXPECT_EQ(Get(rig, SCARD_ATTR_MAX_DATA_RATE).bytes, U(19200));
    EXPECT_EQ(Get(rig, SCARD_ATTR_MAX_IFSD).bytes, U(254));
    EXPECT_EQ(Get(rig, SCARD_ATTR_POWER_MGMT_SUPPORT).bytes, U(1));
    EXPECT_EQ(Get(rig, SCARD_ATTR_CHARACTERISTICS).bytes, U(8));
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(GetAttribute, CardPresenceInterfaceAtrAndProtocol) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    const std::vector<UCHAR> atr{0x3B, 0x02, 0x14, 0x50};
    auto& card = rig.e()->CardCapabilities;
    std::memcpy(card.ATR.Buffer, atr.data(), atr.size());
    card.ATR.Length = UCHAR(atr.size());
    card.Protocol.Selected = SCARD_PROTOCOL_T1;
    card.T1.IFSC = 0xFE;
    card.Fl = 9;  // F 512
    card.Dl = 3;  // D 4

    const struct {
      ULONG state;
      UCHAR presence;
      UCHAR contacts;
    } rows[] = {{SCARD_UNKNOWN, 0, 0},   {SCARD_ABSENT, 0, 0},  {SCARD_PRESENT, 1, 0},
                {SCARD_SWALLOWED, 2, 0}, {SCARD_POWERED, 2, 1}, {SCARD_NEGOTIABLE, 2, 1},
                {SCARD_SPECIFIC, 2, 1}};
    for (auto row : rows) {
      rig.SetState(row.state);
      EXPECT_EQ(Get(rig, SCARD_ATTR_ICC_PRESENCE).bytes, std::vector<UCHAR>{row.presence})
          << row.state;
      EXPECT_EQ(Get(rig, SCARD_ATTR_ICC_INTERFACE_STATUS).bytes, std::vector<UCHAR>{row.contacts})
          << row.state;
    }
    rig.SetState(SCARD_ABSENT);
    EXPECT_EQ(Get(rig, SCARD_ATTR_ATR_STRING).status, STATUS_NO_MEDIA);
    rig.SetState(SCARD_SPECIFIC);
    EXPECT_EQ(Get(rig, SCARD_ATTR_ATR_STRING).bytes, atr);
    EXPECT_EQ(Get(rig, SCARD_ATTR_CURRENT_PROTOCOL_TYPE).bytes, U(SCARD_PROTOCOL_T1));
    EXPECT_EQ(Get(rig, SCARD_ATTR_CURRENT_IFSC).bytes, U(0xFE));
    EXPECT_EQ(Get(rig, SCARD_ATTR_CURRENT_F).bytes, U(512));
    EXPECT_EQ(Get(rig, SCARD_ATTR_CURRENT_D).bytes, U(4));
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(GetAttribute, TooSmallOutputWritesNothing) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    SetString(rig.e()->VendorAttr.VendorName, "Test Vendor");  // 12 bytes
    std::vector<UCHAR> buffer(16, 0xEE);
    std::ranges::copy(Bytes(SCARD_ATTR_VENDOR_NAME), buffer.begin());
    auto sent = rig.Send(IOCTL_SMARTCARD_GET_ATTRIBUTE, &buffer, 4, 11);
    EXPECT_EQ(sent->status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(sent->information, 0u);
    EXPECT_EQ(UlongAt(buffer), ULONG(SCARD_ATTR_VENDOR_NAME)) << "the input is left as it was";
    for (size_t i = 4; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << i;

    EXPECT_EQ(Get(rig, SCARD_ATTR_MAX_IFSD, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Get(rig, SCARD_ATTR_ICC_PRESENCE, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Get(rig, SCARD_ATTR_ICC_PRESENCE, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(Get(rig, SCARD_ATTR_VENDOR_NAME, 12).bytes.size(), 12u) << "exactly enough room";

    // A tag shorter than a ULONG is no tag.
    std::vector<UCHAR> short_input{0x00, 0x01, 0x01};
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_GET_ATTRIBUTE, &short_input, 3, 3)->status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_GET_ATTRIBUTE, nullptr, 0, 0)->status,
              STATUS_INVALID_PARAMETER);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(GetAttribute, UnknownTagsGoToTheDriverWhereItTakesThem) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m, {});
    EXPECT_EQ(Get(rig, SCARD_ATTR_MAXINPUT).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Get(rig, SCARD_ATTR_DEVICE_FRIENDLY_NAME_A).status, STATUS_NOT_SUPPORTED);
    rig.Close();

    // Vendor-defined tags reach the vendor function when there is no attribute function.
    Rig vendor(m, {RDF_IOCTL_VENDOR});
    vendor.handler[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION e) {
      e->IoRequest.ReplyBuffer[0] = 0x5A;
      *e->IoRequest.Information = 1;
      return STATUS_SUCCESS;
    };
    auto got = Get(vendor, SCARD_ATTR_MAXINPUT, 8);
    EXPECT_EQ(got.bytes, std::vector<UCHAR>{0x5A});
    ASSERT_EQ(vendor.calls.size(), 1u);
    EXPECT_EQ(vendor.calls[0].major, ULONG(IOCTL_SMARTCARD_GET_ATTRIBUTE));
    EXPECT_EQ(vendor.calls[0].minor, ULONG(SCARD_ATTR_MAXINPUT));
    EXPECT_EQ(Get(vendor, SCARD_ATTR_DEVICE_FRIENDLY_NAME_A).status, STATUS_NOT_SUPPORTED)
        << "not a vendor-defined tag";
    vendor.Close();

    Rig attributes(m, {RDF_ATTRIBUTES, RDF_IOCTL_VENDOR});
    attributes.handler[RDF_ATTRIBUTES] = [](PSMARTCARD_EXTENSION) { return STATUS_SUCCESS; };
    EXPECT_EQ(Get(attributes, SCARD_ATTR_DEVICE_FRIENDLY_NAME_A, 8).status, STATUS_SUCCESS);
    ASSERT_EQ(attributes.calls.size(), 1u);
    auto& call = attributes.calls[0];
    EXPECT_EQ(call.slot, ULONG(RDF_ATTRIBUTES));
    EXPECT_EQ(call.minor, ULONG(SCARD_ATTR_DEVICE_FRIENDLY_NAME_A));
    EXPECT_EQ(call.request, Bytes(SCARD_ATTR_DEVICE_FRIENDLY_NAME_A));
    EXPECT_EQ(call.reply_buffer, call.request_buffer) << "one system buffer";
    EXPECT_EQ(call.reply_length, 8u);
    EXPECT_EQ(Get(attributes, SCARD_ATTR_VENDOR_NAME).status, STATUS_SUCCESS);
    EXPECT_EQ(attributes.calls.size(), 1u) << "what the library keeps stays with it";
    attributes.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(SetAttribute, TheLibraryKeepsTheIfsSuppressionAndPassesTheRestOn) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m, {RDF_ATTRIBUTES});
    auto os = host::smclib::HostOsDataOf(rig.e());
    std::vector<UCHAR> in = Bytes(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_SET_ATTRIBUTE, &in, 4, 0)->status, STATUS_SUCCESS);
    EXPECT_TRUE(os->suppress_t1_ifs_request);
    in.push_back(0);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_SET_ATTRIBUTE, &in, 5, 0)->status, STATUS_SUCCESS);
    EXPECT_FALSE(os->suppress_t1_ifs_request) << "a value of 0 withdraws it";
    EXPECT_TRUE(rig.calls.empty());

    rig.handler[RDF_ATTRIBUTES] = [](PSMARTCARD_EXTENSION) { return STATUS_INVALID_PARAMETER; };
    std::vector<UCHAR> other = Bytes(SCARD_ATTR_DEVICE_IN_USE);
    other.push_back(1);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_SET_ATTRIBUTE, &other, 5, 0)->status,
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.calls[0].major, ULONG(IOCTL_SMARTCARD_SET_ATTRIBUTE));
    EXPECT_EQ(rig.calls[0].minor, ULONG(SCARD_ATTR_DEVICE_IN_USE));
    EXPECT_EQ(rig.calls[0].request, other);
    EXPECT_EQ(rig.calls[0].reply_buffer, other.data()) << "no output: the system buffer, empty";
    EXPECT_EQ(rig.calls[0].reply_length, 0u);
    rig.Close();

    Rig bare(m, {});
    EXPECT_EQ(bare.Send(IOCTL_SMARTCARD_SET_ATTRIBUTE, &other, 5, 0)->status, STATUS_NOT_SUPPORTED);
    bare.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
