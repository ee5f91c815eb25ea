// The device extension with its ReadEnableEvent comes with device creation; until it does the
// link has no reading side to wake, and this is the one place that will signal it.
#include "link/link.h"

void LinkEnableReading(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Enable) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  UNREFERENCED_PARAMETER(Enable);
}
