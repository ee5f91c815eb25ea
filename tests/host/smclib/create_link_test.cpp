// SmartcardCreateLink: the first free "\DosDevices\SCReaderN", the name handed back in pool the
// caller frees, and what happens when all ten are taken or pool runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"
#include "platform/ex.h"
#include "platform/io.h"
#include "platform/rtl.h"
#include "platform/smclib.h"

namespace {

struct LinkMachine {
  LinkMachine() : io(k) {}
  host::kernel::Kernel k;
  host::io::IoManager io;
};

std::u16string Text(const UNICODE_STRING& s) {
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

PDEVICE_OBJECT MakeDevice(host::io::IoManager& io, const char16_t* name) {
  PDRIVER_OBJECT driver = io.CreateHostDriver(std::u16string(u"\\Driver\\") + (name + 8));
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, 0, &text, FILE_DEVICE_SMARTCARD, 0, FALSE, &device),
            STATUS_SUCCESS);
  return device;
}

}  // namespace

TEST(SmartcardCreateLink, TakesTheFirstFreeNumber) {
  LinkMachine m;
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT a = MakeDevice(m.io, u"\\Device\\ReaderA");
    PDEVICE_OBJECT b = MakeDevice(m.io, u"\\Device\\ReaderB");
    UNICODE_STRING device_a, device_b, link_a, link_b, link_c;
    RtlInitUnicodeString(&device_a, u"\\Device\\ReaderA");
    RtlInitUnicodeString(&device_b, u"\\Device\\ReaderB");
    ASSERT_EQ(SmartcardCreateLink(&link_a, &device_a), STATUS_SUCCESS);
    EXPECT_EQ(Text(link_a), u"\\DosDevices\\SCReader0");
    EXPECT_EQ(link_a.Buffer[link_a.Length / sizeof(WCHAR)], 0) << "terminated";
    EXPECT_GE(link_a.MaximumLength, link_a.Length + sizeof(WCHAR));
    EXPECT_TRUE(m.k.pool().Contains(link_a.Buffer)) << "pool the caller frees";
    ASSERT_EQ(SmartcardCreateLink(&link_b, &device_b), STATUS_SUCCESS);
    EXPECT_EQ(Text(link_b), u"\\DosDevices\\SCReader1");
    EXPECT_EQ(m.io.Resolve(u"\\??\\SCReader0"), a);
    EXPECT_EQ(m.io.Resolve(u"\\??\\SCReader1"), b);

    // A freed number is taken again.
    EXPECT_EQ(IoDeleteSymbolicLink(&link_a), STATUS_SUCCESS);
    ASSERT_EQ(SmartcardCreateLink(&link_c, &device_b), STATUS_SUCCESS);
    EXPECT_EQ(Text(link_c), u"\\DosDevices\\SCReader0");
    EXPECT_EQ(m.io.Resolve(u"\\??\\SCReader0"), b);

    for (auto* link : {&link_b, &link_c}) IoDeleteSymbolicLink(link);
    RtlFreeUnicodeString(&link_a);
    RtlFreeUnicodeString(&link_b);
    ExFreePool(link_c.Buffer);  // either way of freeing
    IoDeleteDevice(a);
    IoDeleteDevice(b);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(SmartcardCreateLink, FailsWhenAllTenAreTakenOrPoolRunsOut) {
  LinkMachine m;
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT a = MakeDevice(m.io, u"\\Device\\ReaderA");
    UNICODE_STRING device;
    RtlInitUnicodeString(&device, u"\\Device\\ReaderA");
    UNICODE_STRING links[10];
    for (int n = 0; n < 10; ++n) {
      ASSERT_EQ(SmartcardCreateLink(&links[n], &device), STATUS_SUCCESS);
      EXPECT_EQ(Text(links[n]), u"\\DosDevices\\SCReader" + std::u16string(1, char16_t(u'0' + n)));
    }
    UNICODE_STRING eleventh;
    EXPECT_EQ(SmartcardCreateLink(&eleventh, &device), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(eleventh.Buffer, nullptr);
    EXPECT_EQ(eleventh.Length, 0);
    for (auto& link : links) {
      IoDeleteSymbolicLink(&link);
      RtlFreeUnicodeString(&link);
    }

    size_t before = m.io.SymbolicLinks().size();
    m.k.pool().FailTag(host::smclib::kLibraryTag);
    UNICODE_STRING none;
    EXPECT_EQ(SmartcardCreateLink(&none, &device), STATUS_INSUFFICIENT_RESOURCES);
    m.k.pool().ClearFaults();
    EXPECT_EQ(none.Buffer, nullptr);
    EXPECT_EQ(m.io.SymbolicLinks().size(), before) << "no link left behind";

    UNICODE_STRING bad;
    RtlInitUnicodeString(&bad, u"\\Device\\ReaderA");
    EXPECT_EQ(SmartcardCreateLink(nullptr, &bad), STATUS_INVALID_PARAMETER);
    IoDeleteDevice(a);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
