// The smart card reader device interface class.
#pragma once
#ifdef WINDOWS_KERNEL_BUILD
// Built as a Windows kernel driver: declared with the smart card library's header there.
#include "platform/windows/smclib.h"
#else
#include "platform/io.h"

// {50DD5230-BA8A-11D1-BF5D-0000F805F530}
static const GUID GUID_DEVINTERFACE_SMARTCARD_READER = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
#endif  // WINDOWS_KERNEL_BUILD
