// Taking the reader link from outside it. LinkMutex keeps the link's users one at a time; it is a
// kernel mutex, which only the thread that holds it may release, and which a dispatch routine must
// not keep when it returns. A power-down has to keep the link's users out until the power-up that
// comes later in another context, so it does not hold LinkMutex: it closes LinkGate, waits until
// the user holding LinkMutex (if any) has let it go, and leaves it free. Every user that comes
// from outside passes the open gate before it takes LinkMutex, and checks the gate again once it
// holds the mutex. The power-up reopens the gate once the reader is set up again.
//
// Users inside a library call (the reader functions) take LinkMutex again directly: the routing
// that called the library holds it already, and the mutex is recursive for its owner.
#pragma once
#include "reader/reader_extension.h"

// Waits for the open gate and takes LinkMutex. With a Timeout (relative, 100-ns units) gives up
// with STATUS_TIMEOUT when the gate stays closed that long; STATUS_SUCCESS once the link is held.
// PASSIVE_LEVEL.
NTSTATUS AcquireReaderLink(PSMARTCARD_EXTENSION SmartcardExtension, PLARGE_INTEGER Timeout);
NTSTATUS ReleaseReaderLink(PSMARTCARD_EXTENSION SmartcardExtension);
// Power-down: closes the gate and returns once no user holds the link. PASSIVE_LEVEL.
NTSTATUS CloseReaderLink(PSMARTCARD_EXTENSION SmartcardExtension);
// Opens the gate again. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS OpenReaderLink(PSMARTCARD_EXTENSION SmartcardExtension);
