// The USB driver interface from the DDK's usb.h, usbdi.h and usbioctl.h: descriptors, URBs,
// USBD status codes and the internal USB requests.
#pragma once
// The DDK headers need the kernel's declarations before them.
// clang-format off
#include "platform/windows/kernel.h"
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
// clang-format on

// The correctly spelt name of USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, as the host declares.
#ifndef USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR
#endif
