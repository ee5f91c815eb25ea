// Names of the statuses platform/ declares, for reports and tools. Apart from the I/O manager so
// that the tool's Windows build, which has none of it, names statuses with the same words.
#pragma once

#include <string>

#include "platform/ntdef.h"

namespace host::io {

// "STATUS_NO_MEDIA" for the statuses platform/ declares, "0xC0001234" for others.
std::string StatusName(NTSTATUS status);

}  // namespace host::io
