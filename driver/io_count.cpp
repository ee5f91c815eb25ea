// The activity count of a device, on which its removal waits.
#include "driver/driver.h"

// The priority increment removal's waiter gets; no wait follows the signal.
#define REMOVE_EVENT_INCREMENT 1

LONG IoIncrement(PDEVICE_OBJECT DeviceObject) {
  return InterlockedIncrement(&DeviceExtensionOf(DeviceObject)->IoCount);
}

LONG IoDecrement(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION Extension = DeviceExtensionOf(DeviceObject);
  LONG Count = InterlockedDecrement(&Extension->IoCount);
  if (Count == 0) KeSetEvent(&Extension->RemoveEvent, REMOVE_EVENT_INCREMENT, FALSE);
  return Count;
}
