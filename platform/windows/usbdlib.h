// The USBD library calls and URB building macros from the DDK's usbdlib.h.
#pragma once
// The DDK headers need the kernel's declarations before them.
// clang-format off
#include "platform/windows/usb.h"
#include <ddk/usbdlib.h>
// clang-format on
