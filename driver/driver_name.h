// The driver's name, the prefix of its debug output.
#pragma once

#define DRIVER_NAME "Zarq7usb.sys"
