// Serial port requests and structures from the DDK's ntddser.h, and the two it lacks.
#pragma once
// The DDK headers need the kernel's declarations before them.
// clang-format off
#include "platform/windows/kernel.h"
#include <ntddser.h>
// clang-format on

// "IOCTL_SERIAL_GET_COMMCONFIG" and "IOCTL_SERIAL_SET_COMMCONFIG" (ntddser.h): function codes 33
// and 34 of the serial port device type.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
