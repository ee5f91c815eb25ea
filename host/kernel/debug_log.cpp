#include "host/kernel/debug_log.h"

#include <cstdio>

namespace host::kernel {

void DebugLog::Append(std::string text) {
  std::lock_guard lock(mu_);
  if (echo_) std::fputs(text.c_str(), stderr);
  partial_ += text;
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    lines_.push_back(partial_.substr(start, end - start));
  }
  partial_.erase(0, start);
}

std::vector<std::string> DebugLog::Lines() {
  std::lock_guard lock(mu_);
  auto lines = lines_;
  if (!partial_.empty()) lines.push_back(partial_);
  return lines;
}

bool DebugLog::Contains(std::string_view text) {
  for (const auto& line : Lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

void DebugLog::Clear() {
  std::lock_guard lock(mu_);
  lines_.clear();
  partial_.clear();
}

}  // namespace host::kernel
