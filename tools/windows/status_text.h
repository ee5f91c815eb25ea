// NTSTATUS values named with the host tool's words ("STATUS_NO_MEDIA"), for the Windows build,
// whose system headers cannot sit beside platform/'s declarations in one file.
#pragma once

#include <cstdint>
#include <string>

namespace tools::win {

std::string StatusText(int32_t status);
bool StatusSucceeded(int32_t status);

}  // namespace tools::win
