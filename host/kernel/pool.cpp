#include "host/kernel/pool.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace host::kernel {
namespace {

// Fresh pool is not zeroed on Windows; a recognisable pattern makes code that relies on it fail.
constexpr unsigned char kFreshFill = 0xA5;
constexpr unsigned char kFreedFill = 0xDD;

std::string DescribeSite(const void* site) {
  Dl_info info{};
  if (site && dladdr(site, &info) && info.dli_sname) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::ostringstream out;
    out << (status == 0 && demangled ? demangled : info.dli_sname) << "+0x" << std::hex
        << (static_cast<const char*>(site) - static_cast<const char*>(info.dli_saddr));
    std::free(demangled);
    return out.str();
  }
  std::ostringstream out;
  out << site;
  return out.str();
}

}  // namespace

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return name;
}

bool Pool::ShouldFailLocked(ULONG tag) {
  ++attempts_;
  bool fail = false;
  if (fail_at_ && attempts_ == *fail_at_) {
    fail = true;
    fail_at_.reset();
  }
  if (failing_tags_.count(tag)) fail = true;
  if (fail_probability_ > 0 &&
      std::uniform_real_distribution<double>(0, 1)(fail_rng_) < fail_probability_) {
    fail = true;
  }
  return fail;
}

Pool::~Pool() {
  for (auto& [block, info] : blocks_) {
    (void)info;
    std::free(const_cast<char*>(block));
  }
}

void* Pool::Allocate(POOL_TYPE, size_t bytes, ULONG tag, const void* site) {
  std::lock_guard lock(mu_);
  TagStats& stats = stats_[tag];
  if (ShouldFailLocked(tag)) {
    ++stats.failures;
    return nullptr;
  }
  // A zero-byte request still gets a distinct block, as on Windows.
  char* block = static_cast<char*>(std::malloc(bytes ? bytes : 1));
  if (!block) return nullptr;
  std::memset(block, kFreshFill, bytes);
  blocks_[block] = Block{bytes, tag, site, attempts_};
  freed_.erase(block);
  ++stats.allocations;
  ++stats.outstanding_blocks;
  stats.outstanding_bytes += bytes;
  if (stats.outstanding_bytes > stats.peak_bytes) stats.peak_bytes = stats.outstanding_bytes;
  return block;
}

Pool::FreeResult Pool::Free(void* pointer, std::optional<ULONG> expected_tag) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(static_cast<const char*>(pointer));
  if (it == blocks_.end()) {
    return freed_.count(pointer) ? FreeResult::kFreedTwice : FreeResult::kNeverAllocated;
  }
  if (expected_tag && *expected_tag != it->second.tag) return FreeResult::kWrongTag;
  TagStats& stats = stats_[it->second.tag];
  --stats.outstanding_blocks;
  stats.outstanding_bytes -= it->second.bytes;
  std::memset(pointer, kFreedFill, it->second.bytes);
  blocks_.erase(it);
  freed_.insert(pointer);
  std::free(pointer);
  return FreeResult::kOk;
}

void Pool::FailNth(uint64_t n) {
  std::lock_guard lock(mu_);
  fail_at_ = attempts_ + n;
}

void Pool::FailTag(ULONG tag) {
  std::lock_guard lock(mu_);
  failing_tags_.insert(tag);
}

void Pool::FailRandomly(double probability, uint64_t seed) {
  std::lock_guard lock(mu_);
  fail_probability_ = probability;
  fail_rng_.seed(seed);
}

void Pool::ClearFaults() {
  std::lock_guard lock(mu_);
  fail_at_.reset();
  failing_tags_.clear();
  fail_probability_ = 0;
}

uint64_t Pool::allocation_count() {
  std::lock_guard lock(mu_);
  return attempts_;
}

TagStats Pool::Stats(ULONG tag) {
  std::lock_guard lock(mu_);
  return stats_[tag];
}

uint64_t Pool::outstanding_blocks() {
  std::lock_guard lock(mu_);
  return blocks_.size();
}

std::string Pool::LeakReport() {
  std::lock_guard lock(mu_);
  std::ostringstream out;
  for (const auto& [address, block] : blocks_) {
    out << "  tag " << TagName(block.tag) << ", " << block.bytes << " bytes at "
        << static_cast<const void*>(address) << ", allocated by " << DescribeSite(block.site)
        << " (allocation #" << block.serial << ")\n";
  }
  return out.str();
}

bool Pool::Contains(const void* address) {
  std::lock_guard lock(mu_);
  auto p = static_cast<const char*>(address);
  auto it = blocks_.upper_bound(p);
  if (it == blocks_.begin()) return false;
  --it;
  return p < it->first + it->second.bytes;
}

std::optional<size_t> Pool::SizeOf(const void* block) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(static_cast<const char*>(block));
  if (it == blocks_.end()) return std::nullopt;
  return it->second.bytes;
}

}  // namespace host::kernel
