// Power IRPs and capability queries as Windows 2000/XP treat them (the stops: verifier_test.cpp).
#include <gtest/gtest.h>

#include "tests/host/io/io_test_support.h"

using namespace host::io;
using namespace host::io::testing;

namespace {

TEST(PowerRules, ADeviceGetsTheNextIrpOfAKindAfterPoStartNextPowerIrpAtPassiveLevel) {
  Machine m;
  int dispatched = 0;
  KIRQL irql = HIGH_LEVEL;
  PIRP kept = nullptr;
  KEVENT arrived;
  Scripted script{[&](PDEVICE_OBJECT, PIRP irp) {
    ++dispatched;
    irql = KeGetCurrentIrql();
    kept = irp;
    IoMarkIrpPending(irp);
    KeSetEvent(&arrived, IO_NO_INCREMENT, FALSE);
    return NTSTATUS(STATUS_PENDING);
  }};
  auto finish = [&] {
    PoStartNextPowerIrp(kept);
    Complete(kept, STATUS_SUCCESS);
  };
  auto wait_arrival = [&] {
    KeWaitForSingleObject(&arrived, Executive, KernelMode, FALSE, nullptr);
  };
  auto r = m.k.Run([&] {
    KeInitializeEvent(&arrived, SynchronizationEvent, FALSE);
    PDEVICE_OBJECT device = CreateScripted(ScriptedDriver(m.io), &script);
    device->Flags |= DO_POWER_PAGABLE;
    POWER_STATE d3{.DeviceState = PowerDeviceD3}, d0{.DeviceState = PowerDeviceD0};
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr);
    wait_arrival();
    KIRQL old;  // asked for at DISPATCH_LEVEL, and held back behind the first
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(dispatched, 1);
    finish();
    wait_arrival();
    EXPECT_EQ(dispatched, 2);
    EXPECT_EQ(irql, PASSIVE_LEVEL);  // the device is power-pageable
    finish();
    IoDeleteDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(CapabilityQuery, TheBusRefusesOneWithoutVersionAndSize) {
  Machine m;
  auto r = m.k.Run([&] {
    PDEVICE_OBJECT pdo = m.bus.Plug(TestDevice{});  // no driver: the PDO alone
    for (USHORT version : {0, 1}) {
      DEVICE_CAPABILITIES capabilities{};
      capabilities.Version = version;
      capabilities.Size = version ? sizeof capabilities : 0;
      PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = IRP_MJ_PNP;
      next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
      next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT, PIRP, PVOID) { return NTSTATUS(STATUS_MORE_PROCESSING_REQUIRED); },
          nullptr, TRUE, TRUE, TRUE);
      IoCallDriver(pdo, irp);
      EXPECT_EQ(irp->IoStatus.Status, version ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
      IoFreeIrp(irp);
    }
    m.bus.Unplug(pdo);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

}  // namespace
