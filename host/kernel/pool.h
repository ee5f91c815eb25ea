// Executive pool: allocations with their tag, size and allocation site, per-tag accounting, a leak
// report, and injected allocation failures so that every out-of-resources path can be driven.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_set>

#include "platform/ex.h"

namespace host::kernel {

// 'S','C','7','Q' in memory order reads "SC7Q".
std::string TagName(ULONG tag);
constexpr ULONG MakeTag(const char (&name)[5]) {
  return ULONG(uint8_t(name[0])) | ULONG(uint8_t(name[1])) << 8 | ULONG(uint8_t(name[2])) << 16 |
         ULONG(uint8_t(name[3])) << 24;
}

struct TagStats {
  uint64_t allocations = 0;  // successful, ever
  uint64_t failures = 0;     // injected
  uint64_t outstanding_blocks = 0;
  uint64_t outstanding_bytes = 0;
  uint64_t peak_bytes = 0;
};

class Pool {
 public:
  enum class FreeResult { kOk, kNeverAllocated, kFreedTwice, kWrongTag };

  Pool() = default;
  // Blocks still allocated when the machine goes away (a leak the shutdown check has reported, or
  // a machine stopped by a bug check) go back to the host with it.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Returns nullptr for an injected failure.
  void* Allocate(POOL_TYPE type, size_t bytes, ULONG tag, const void* site);
  FreeResult Free(void* block, std::optional<ULONG> expected_tag);

  // The Nth allocation counted from now (1 = the next one) fails.
  void FailNth(uint64_t n);
  // Every allocation with this tag fails until Clear().
  void FailTag(ULONG tag);
  // Each allocation fails with this probability, drawn from seed.
  void FailRandomly(double probability, uint64_t seed);
  void ClearFaults();

  uint64_t allocation_count();  // attempts so far, failed ones included
  TagStats Stats(ULONG tag);
  uint64_t outstanding_blocks();
  // One line per block still allocated: tag, size, where it was allocated. Empty when none.
  std::string LeakReport();
  // Whether address lies inside a block still allocated.
  bool Contains(const void* address);
  // The size of the block that starts at address, if one does.
  std::optional<size_t> SizeOf(const void* block);

 private:
  struct Block {
    size_t bytes;
    ULONG tag;
    const void* site;
    uint64_t serial;
  };
  bool ShouldFailLocked(ULONG tag);

  std::mutex mu_;
  std::map<const char*, Block> blocks_;  // ordered, so Contains can find the enclosing block
  std::unordered_set<const void*> freed_;
  std::map<ULONG, TagStats> stats_;
  uint64_t attempts_ = 0;
  std::optional<uint64_t> fail_at_;
  std::set<ULONG> failing_tags_;
  double fail_probability_ = 0;
  std::mt19937_64 fail_rng_;
};

}  // namespace host::kernel
