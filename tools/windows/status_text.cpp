#include "tools/windows/status_text.h"

#include "host/io/status_name.h"
#include "platform/ntstatus.h"

namespace tools::win {

std::string StatusText(int32_t status) { return host::io::StatusName(status); }

bool StatusSucceeded(int32_t status) { return NT_SUCCESS(status); }

}  // namespace tools::win
