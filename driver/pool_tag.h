// The one pool tag of every allocation the driver makes, "SC7Q" in memory order.
#pragma once
#include "platform/ntdef.h"

#define DRIVER_POOL_TAG ((ULONG)'S' | ((ULONG)'C' << 8) | ((ULONG)'7' << 16) | ((ULONG)'Q' << 24))
