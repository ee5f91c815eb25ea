// What Windows 2000/XP demand of power IRPs, and of a capability query, seen by small scripted
// drivers: PoStartNextPowerIrp owed, PoCallDriver only, one IRP of a kind per device object,
// power-pageable devices called at PASSIVE_LEVEL.
#include <gtest/gtest.h>

#include "tests/host/io/io_test_support.h"

using namespace host::io;
using namespace host::io::testing;
using host::kernel::Outcome;

namespace {

struct PowerProbe {
  int dispatched = 0;
  KIRQL irql = HIGH_LEVEL;
  PIRP kept = nullptr;
  KEVENT arrived;
};

NTSTATUS Done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID event, PIO_STATUS_BLOCK) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS RequestD(PDEVICE_OBJECT device, DEVICE_POWER_STATE state, PKEVENT done) {
  POWER_STATE power;
  power.DeviceState = state;
  return PoRequestPowerIrp(device, IRP_MN_SET_POWER, power, Done, done, nullptr);
}

void WaitFor(PKEVENT event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }

TEST(PowerRules, CompletingWithoutPoStartNextPowerIrpStops) {
  Machine m;
  Scripted script{[](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }};
  auto r = m.k.Run([&] {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RequestD(CreateScripted(ScriptedDriver(m.io), &script), PowerDeviceD3, &done);
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
  EXPECT_TRUE(Contains(r.report, "IofCompleteRequest")) << r.report;
  EXPECT_TRUE(Contains(r.report, "IRP_MN_SET_POWER held at stack location 1")) << r.report;
  EXPECT_TRUE(Contains(r.report, "without PoStartNextPowerIrp")) << r.report;
}

TEST(PowerRules, PassingAPowerIrpDownWithIoCallDriverStops) {
  Machine m;
  Scripted lower{[](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  }};
  Scripted upper;
  auto r = m.k.Run([&] {
    PDRIVER_OBJECT driver = ScriptedDriver(m.io);
    PDEVICE_OBJECT bottom = CreateScripted(driver, &lower);
    PDEVICE_OBJECT top = CreateScripted(driver, &upper);
    IoAttachDeviceToDeviceStack(top, bottom);
    upper.dispatch = [bottom](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      PoStartNextPowerIrp(irp);
      return IoCallDriver(bottom, irp);
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RequestD(top, PowerDeviceD3, &done);
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
  EXPECT_TRUE(Contains(r.report, "with IoCallDriver; power IRPs go down with PoCallDriver"))
      << r.report;
}

TEST(PowerRules, ADeviceGetsTheNextIrpOfAKindOnlyAfterPoStartNextPowerIrp) {
  Machine m;
  PowerProbe probe;
  Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
    ++probe.dispatched;
    probe.irql = KeGetCurrentIrql();
    IoMarkIrpPending(irp);
    probe.kept = irp;
    KeSetEvent(&probe.arrived, IO_NO_INCREMENT, FALSE);
    return NTSTATUS(STATUS_PENDING);
  }};
  auto r = m.k.Run([&] {
    KeInitializeEvent(&probe.arrived, SynchronizationEvent, FALSE);
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    device->Flags |= DO_POWER_PAGABLE;
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    RequestD(device, PowerDeviceD3, &first);
    WaitFor(&probe.arrived);
    // Asked for at DISPATCH_LEVEL, and held back behind the first.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(RequestD(device, PowerDeviceD0, &second), STATUS_PENDING);
    KeLowerIrql(irql);
    EXPECT_EQ(probe.dispatched, 1);
    PIRP kept = probe.kept;
    PoStartNextPowerIrp(kept);
    Complete(kept, STATUS_SUCCESS);
    WaitFor(&first);
    WaitFor(&probe.arrived);  // now the second comes, at PASSIVE_LEVEL: the device is pageable
    EXPECT_EQ(probe.dispatched, 2);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    PoStartNextPowerIrp(probe.kept);
    Complete(probe.kept, STATUS_SUCCESS);
    WaitFor(&second);
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CapabilityQuery, TheBusRefusesOneWithoutVersionAndSize) {
  Machine m;
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT pdo = m.bus.Plug(TestDevice{});  // no driver: the PDO alone
    auto query = [pdo](USHORT version, USHORT size) {
      DEVICE_CAPABILITIES capabilities{};
      capabilities.Version = version;
      capabilities.Size = size;
      PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
      IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
      IoGetNextIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities = &capabilities;
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT, PIRP, PVOID) { return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED); },
          nullptr, TRUE, TRUE, TRUE);
      IoCallDriver(pdo, irp);
      NTSTATUS status = irp->IoStatus.Status;
      IoFreeIrp(irp);
      return status;
    };
    EXPECT_EQ(query(0, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(query(1, sizeof(DEVICE_CAPABILITIES)), STATUS_SUCCESS);
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

}  // namespace
