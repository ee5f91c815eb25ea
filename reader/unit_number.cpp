// Unit numbers: each device of the driver reports a distinct one, the lowest free.
#include "reader/driver_devices.h"
#include "reader/reader_binding.h"

static BOOLEAN UnitNoInUse(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension,
                           ULONG Candidate) {
  if (SmartcardExtension->VendorAttr.UnitNo == Candidate) return TRUE;
  // New device objects stand at the head of the driver's list, so the walk from this one sees
  // every other device of the driver.
  for (PDEVICE_OBJECT Device = NextDeviceOfDriver(DeviceObject); Device != NULL;
       Device = NextDeviceOfDriver(Device)) {
    PSMARTCARD_EXTENSION Other = SmartcardExtensionOfDevice(Device);
    if (Other != NULL && Other != SmartcardExtension && Other->VendorAttr.UnitNo == Candidate) {
      return TRUE;
    }
  }
  return FALSE;
}

ULONG FindFreeUnitNo(PDEVICE_OBJECT DeviceObject, PSMARTCARD_EXTENSION SmartcardExtension) {
  // The new device must not block a number itself while the others are compared.
  SmartcardExtension->VendorAttr.UnitNo = UNIT_NO_NONE;
  ULONG Candidate = 0;
  while (Candidate < UNIT_NO_NONE && UnitNoInUse(DeviceObject, SmartcardExtension, Candidate)) {
    ++Candidate;
  }
  return Candidate;
}
