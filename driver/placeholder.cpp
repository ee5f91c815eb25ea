// The driver entry arrives with the driver frame; this keeps the library non-empty.
#include "platform/wdm.h"
