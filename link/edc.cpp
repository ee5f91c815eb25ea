#include "link/link.h"

void EdcReset(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardExtension->ReaderExtension->EdcValue &= 0xFF00;
}

void EdcUpdate(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Byte) {
  SmartcardExtension->ReaderExtension->EdcValue ^= Byte;
}

// A block with its LRC XORs to zero.
BOOLEAN EdcCheck(PSMARTCARD_EXTENSION SmartcardExtension) {
  return (SmartcardExtension->ReaderExtension->EdcValue & 0x00FF) == 0;
}
