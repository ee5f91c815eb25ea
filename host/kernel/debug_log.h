// What the driver printed through DbgPrint, for tests to read and tools to show.
#pragma once
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host::kernel {

class DebugLog {
 public:
  explicit DebugLog(bool echo = false) : echo_(echo) {}
  void Append(std::string text);
  std::vector<std::string> Lines();
  bool Contains(std::string_view text);
  void Clear();
  void set_echo(bool echo) { echo_ = echo; }

 private:
  std::mutex mu_;
  bool echo_;
  std::string partial_;  // a line not yet ended by '\n'
  std::vector<std::string> lines_;
};

}  // namespace host::kernel
