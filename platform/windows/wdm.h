// Everything the driver may call, in one include: the Windows side of platform/wdm.h.
#pragma once
#include "platform/windows/kernel.h"
#include "platform/windows/ntddser.h"
#include "platform/windows/smclib.h"
#include "platform/windows/usb.h"
#include "platform/windows/usbdlib.h"
