// What a thread runs, for the verifier's reports: the names of driver routines, the routine a
// thread is in now, and where its stack stands.
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "host/kernel/internals.h"

namespace host::kernel {
namespace {

std::string LookUpSymbol(const void* routine) {
  Dl_info info{};
  if (!routine || !dladdr(routine, &info) || !info.dli_sname) return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : info.dli_sname;
  std::free(demangled);
  auto paren = name.find('(');
  return paren == std::string::npos ? name : name.substr(0, paren);
}

// The I/O manager names the routine of every request it passes on, in case it has to report it;
// dladdr searches the symbol tables each time, so names are looked up once per address. The table
// is never destroyed: a process that exits while a real-time machine still runs (pcscd stopped
// while it loads the handler) destroys function statics first, and the machine's threads still
// pass requests on.
std::string SymbolOf(const void* routine) {
  static auto* mu = new std::mutex;
  static auto* names = new std::unordered_map<const void*, std::string>;
  std::lock_guard lock(*mu);
  auto [it, added] = names->try_emplace(routine);
  if (added) it->second = LookUpSymbol(routine);
  return it->second;
}

}  // namespace

std::string RoutineName(const void* routine) {
  std::string name = SymbolOf(routine);
  if (!name.empty()) return name;
  std::ostringstream out;
  out << "routine at " << routine;
  return out.str();
}

RoutineScope::RoutineScope(const char* kind, const void* routine) {
  CurrentThread()->routines.emplace_back(kind, routine);
}

RoutineScope::~RoutineScope() { CurrentThread()->routines.pop_back(); }

std::string DescribeRoutine(ThreadPtr t) {
  if (!t || t->routines.empty()) return {};
  auto [kind, routine] = t->routines.back();
  return std::string(" in ") + kind + " " + RoutineName(routine);
}

__attribute__((noinline)) const void* StackMark() { return __builtin_frame_address(0); }

namespace {

bool OnStackOf(ThreadPtr thread, const void* address) {
  auto at = static_cast<const char*>(address);
  return thread->stack_low && at >= thread->stack_low && at < thread->stack_high;
}

}  // namespace

bool OnCurrentStack(const void* address) { return OnStackOf(CurrentThread(), address); }

bool OnUnwoundStack(PKTHREAD thread, const void* address) {
  if (!OnStackOf(thread, address) || thread == CurrentThreadOrNull()) return false;
  auto& in = thread->kernel->internals();
  std::lock_guard lock(in.mu);
  if (thread->state == _KTHREAD::State::kTerminated) return true;
  // Parked, the thread's frames all lie above where it stands.
  return in.mode == Mode::kSimulation && thread->parked_at && address < thread->parked_at;
}

}  // namespace host::kernel
