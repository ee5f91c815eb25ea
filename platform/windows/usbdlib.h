// The USBD library calls and URB building macros from the DDK's usbdlib.h.
#pragma once
// The DDK headers need the kernel's declarations before them.
// clang-format off
#include "platform/windows/usb.h"
// ddk/usbdlib.h declares USBD.SYS's routines without C linkage of its own.
extern "C" {
#include <ddk/usbdlib.h>
}
// clang-format on
