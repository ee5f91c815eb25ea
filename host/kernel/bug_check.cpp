// KeBugCheckEx: a driver stopping the system itself. The report carries what the kernel debugger
// would show: the code, the parameters and the debug output printed last, which is where a
// driver says why.
#include <cstdio>
#include <string>

#include "host/kernel/kernel.h"
#include "platform/ke.h"

extern "C" void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                             ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                             ULONG_PTR BugCheckParameter4) {
  char code[128];
  std::snprintf(code, sizeof code, "0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)", BugCheckCode,
                static_cast<unsigned long long>(BugCheckParameter1),
                static_cast<unsigned long long>(BugCheckParameter2),
                static_cast<unsigned long long>(BugCheckParameter3),
                static_cast<unsigned long long>(BugCheckParameter4));
  auto& k = host::kernel::Kernel::Current();
  std::string message = code;
  auto lines = k.debug_log().Lines();
  if (!lines.empty()) message += " after \"" + lines.back() + "\"";
  k.BugCheck("KeBugCheckEx", message);
}
