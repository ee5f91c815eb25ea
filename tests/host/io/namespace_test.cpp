// The object namespace: device names, the driver's device list, attachment, symbolic links,
// device interfaces, exclusive opens and the platform's WDM version.
#include <gtest/gtest.h>

#include "tests/host/io/io_test_support.h"

using namespace host::io;
using namespace host::io::testing;

namespace {

const GUID kClass = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

NTSTATUS Create(PDRIVER_OBJECT driver, const char16_t* name, PDEVICE_OBJECT* device,
                BOOLEAN exclusive = FALSE) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  return IoCreateDevice(driver, 16, name ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive,
                        device);
}

TEST(Namespace, NamesCollideCaseInsensitivelyAndAreFreedByDeletion) {
  Machine m;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = m.io.CreateHostDriver(u"\\Driver\\Names");
    PDEVICE_OBJECT a, b;
    ASSERT_EQ(Create(driver, u"\\Device\\USBTESK0", &a), STATUS_SUCCESS);
    EXPECT_EQ(Create(driver, u"\\Device\\usbtesk0", &b), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(Create(driver, u"Device\\NoBackslash", &b), STATUS_OBJECT_NAME_INVALID);
    EXPECT_TRUE(a->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(a->StackSize, 1);
    auto extension = static_cast<const UCHAR*>(a->DeviceExtension);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(extension[i], 0);
    IoDeleteDevice(a);
    ASSERT_EQ(Create(driver, u"\\Device\\USBTESK0", &b), STATUS_SUCCESS);
    IoDeleteDevice(b);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Namespace, NewDeviceObjectsStandAtTheHeadOfTheDriversList) {
  Machine m;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = m.io.CreateHostDriver(u"\\Driver\\List");
    PDEVICE_OBJECT a, b, c;
    Create(driver, u"\\Device\\A", &a);
    Create(driver, nullptr, &b);
    Create(driver, u"\\Device\\C", &c);
    EXPECT_EQ(driver->DeviceObject, c);
    EXPECT_EQ(c->NextDevice, b);
    EXPECT_EQ(b->NextDevice, a);
    EXPECT_EQ(a->NextDevice, nullptr);
    IoDeleteDevice(b);
    EXPECT_EQ(c->NextDevice, a);
    IoDeleteDevice(c);
    IoDeleteDevice(a);
    EXPECT_EQ(driver->DeviceObject, nullptr);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Namespace, AttachingStacksOnTheTopAndGrowsTheStackSize) {
  Machine m;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = m.io.CreateHostDriver(u"\\Driver\\Stack");
    PDEVICE_OBJECT bottom, middle, top;
    Create(driver, nullptr, &bottom);
    Create(driver, nullptr, &middle);
    Create(driver, nullptr, &top);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);  // onto the top of the stack
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(bottom->AttachedDevice, middle);
    EXPECT_EQ(m.io.AttachedDevice(bottom), top);
    EXPECT_EQ(m.io.LowerDevice(top), middle);
    IoDetachDevice(middle);
    IoDetachDevice(bottom);
    EXPECT_EQ(bottom->AttachedDevice, nullptr);
    IoDeleteDevice(top);
    IoDeleteDevice(middle);
    IoDeleteDevice(bottom);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Namespace, SymbolicLinksResolveToTheirDeviceWithTheFileNameKept) {
  Machine m;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = m.io.CreateHostDriver(u"\\Driver\\Links");
    PDEVICE_OBJECT device;
    Create(driver, u"\\Device\\USBTESK0", &device);
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Reader0");
    RtlInitUnicodeString(&target, u"\\Device\\USBTESK0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    std::u16string rest;
    EXPECT_EQ(m.io.Resolve(u"\\??\\READER0\\Pipe01", &rest), device);
    EXPECT_EQ(rest, u"\\Pipe01");
    EXPECT_EQ(m.io.Resolve(u"\\Device\\USBTESK0", &rest), device);
    EXPECT_EQ(rest, u"");
    EXPECT_EQ(m.io.Resolve(u"\\Device\\USBTESK01"), nullptr);  // not a whole component
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(m.io.Resolve(u"\\??\\Reader0"), nullptr);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Namespace, InterfacesAreListedWhileEnabledAndOpenTheTopOfTheStack) {
  Machine m;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT plain = m.io.CreateHostDriver(u"\\Driver\\Plain");
    PDEVICE_OBJECT not_a_pdo;
    Create(plain, u"\\Device\\Plain", &not_a_pdo);
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(not_a_pdo, &kClass, nullptr, &name),
              STATUS_INVALID_DEVICE_REQUEST);

    PDEVICE_OBJECT pdo = m.bus.CreatePdo(nullptr);
    Scripted script{[](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }};
    PDEVICE_OBJECT fdo = CreateScripted(ScriptedDriver(m.io), &script);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &name), STATUS_SUCCESS);
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &again), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &again, FALSE));
    RtlFreeUnicodeString(&again);
    EXPECT_TRUE(m.io.EnabledInterfaces(kClass).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    auto enabled = m.io.EnabledInterfaces(kClass);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(m.io.Resolve(enabled[0]), pdo);
    Application app(m.io);
    Handle h;
    EXPECT_EQ(app.Open(enabled[0], &h), STATUS_SUCCESS);  // reaches the function driver
    EXPECT_EQ(app.Close(h), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(m.io.EnabledInterfaces(kClass).empty());
    RtlFreeUnicodeString(&name);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    IoDeleteDevice(not_a_pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  EXPECT_EQ(m.k.pool().outstanding_blocks(), 0u);
}

TEST(Namespace, ExclusiveDevicesAdmitOneOpenAtATime) {
  Machine m;
  auto r = m.k.Run([&] {
    Scripted script{[](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }};
    PDRIVER_OBJECT driver = ScriptedDriver(m.io);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Only");
    PDEVICE_OBJECT device;
    ASSERT_EQ(
        IoCreateDevice(driver, sizeof(Scripted*), &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device),
        STATUS_SUCCESS);
    *static_cast<Scripted**>(device->DeviceExtension) = &script;
    Application app(m.io);
    Handle first, second;
    ASSERT_EQ(app.Open(u"\\Device\\Only", &first), STATUS_SUCCESS);
    EXPECT_EQ(app.Open(u"\\Device\\Only", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(app.Close(first), STATUS_SUCCESS);
    ASSERT_EQ(app.Open(u"\\Device\\Only", &second), STATUS_SUCCESS);
    EXPECT_EQ(app.Close(second), STATUS_SUCCESS);
    EXPECT_EQ(app.Close(second), STATUS_INVALID_HANDLE);
    EXPECT_EQ(app.Open(u"\\Device\\Missing", &second), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Namespace, WdmVersionIsChosenPerMachine) {
  Machine modern;
  BOOLEAN wdm110 = FALSE, wdm100 = FALSE;
  ASSERT_TRUE(modern.k.Run([&] { wdm110 = IoIsWdmVersionAvailable(1, 0x10); }).ok());
  EXPECT_TRUE(wdm110);
  Machine legacy(IoOptions::Legacy());
  ASSERT_TRUE(legacy.k
                  .Run([&] {
                    wdm110 = IoIsWdmVersionAvailable(1, 0x10);
                    wdm100 = IoIsWdmVersionAvailable(1, 0x00);
                  })
                  .ok());
  EXPECT_FALSE(wdm110);
  EXPECT_TRUE(wdm100);
}

}  // namespace
