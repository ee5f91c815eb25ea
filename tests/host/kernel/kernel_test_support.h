// Small helpers for driving the kernel from tests the way a driver does.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "host/kernel/kernel.h"
#include "platform/wdm.h"

namespace host::kernel::testing {

inline LARGE_INTEGER Relative(Ticks ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

inline void Sleep(Ticks ticks) {
  LARGE_INTEGER t = Relative(ticks);
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

inline NTSTATUS Wait(PVOID object, Ticks timeout) {
  LARGE_INTEGER t = Relative(timeout);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

inline NTSTATUS WaitForever(PVOID object) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// A system thread as a driver starts one outside the system process: its handle a kernel handle.
inline NTSTATUS CreateThread(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine,
                              context);
}

// Expects the run to have stopped on a bug check whose message names `call` and contains `text`.
inline void ExpectBugCheck(const RunResult& r, const std::string& call, const std::string& text) {
  EXPECT_EQ(r.outcome, Outcome::kBugCheck) << r.report;
  EXPECT_NE(r.report.find(call), std::string::npos) << r.report;
  EXPECT_NE(r.report.find(text), std::string::npos) << r.report;
}

}  // namespace host::kernel::testing
