#include "host/smclib/library.h"

namespace host::smclib {

SmartcardLibrary::SmartcardLibrary(kernel::Kernel& kernel) : kernel_(kernel) {
  kernel_.SetService<SmartcardLibrary>(this);
}

SmartcardLibrary::~SmartcardLibrary() {
  if (kernel_.GetService<SmartcardLibrary>() == this) kernel_.SetService<SmartcardLibrary>(nullptr);
}

std::vector<LoggedEvent> SmartcardLibrary::Events() {
  std::lock_guard lock(mu_);
  return events_;
}

bool SmartcardLibrary::Logged(NTSTATUS code) {
  std::lock_guard lock(mu_);
  for (const auto& e : events_) {
    if (e.code == code) return true;
  }
  return false;
}

void SmartcardLibrary::RecordEvent(LoggedEvent event) {
  std::lock_guard lock(mu_);
  events_.push_back(std::move(event));
}

SmartcardLibrary* CurrentLibrary() {
  kernel::Kernel* k = kernel::Kernel::CurrentOrNull();
  return k ? k->GetService<SmartcardLibrary>() : nullptr;
}

}  // namespace host::smclib
