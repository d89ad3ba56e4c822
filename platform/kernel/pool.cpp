// The pool: ExAllocatePoolWithTag and relatives over the host heap, with quarantine, poison,
// guard bytes, leak accounting and seeded fault injection. See pool.h for the checks.
#include "kernel/pool.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/internal.h"

namespace lumo::kernel {
namespace {

#ifdef LUMO_SANITIZE
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

// Guard bytes after every block in the default build; an overrun changes them.
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardByte = 0xAB;
// Freed blocks stay poisoned in quarantine until it holds more than this; then the oldest go.
constexpr size_t kQuarantineBytesMax = 32u << 20;
constexpr size_t kQuarantineBlocksMax = 1u << 16;
// Recently freed addresses remembered by the sanitizer build to name a double free.
constexpr size_t kFreedAddressesRemembered = 4096;

constexpr size_t kBlockAlignment = 16;

// Larger requests fail as they would on the 32-bit platform, whose pools are far smaller;
// a size computed from bad input must not reach the host allocator.
constexpr size_t kBlockBytesMax = size_t{512} << 20;

uint64_t NextRandom(uint64_t& state) {
  // splitmix64: small, seedable, the same on every host.
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

const char* PoolTypeName(POOL_TYPE type) {
  switch (type) {
    case NonPagedPool:
      return "NonPagedPool";
    case PagedPool:
      return "PagedPool";
    case NonPagedPoolMustSucceed:
      return "NonPagedPoolMustSucceed";
  }
  return "pool type ?";
}

std::string FormatTime(VirtualTime time) {
  char text[64];
  std::snprintf(text, sizeof text, "t=%" PRId64 ".%04" PRId64 "ms", time / kMillisecond,
                time % kMillisecond);
  return text;
}

}  // namespace

std::string PoolTagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    name += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
  return name;
}

Pool::Pool(Simulation& sim) : sim_(sim), randomState_(sim.DeriveSeed("pool")) {}

Pool::~Pool() {
  // Teardown has reported what is left; give the memory back to the host.
  for (auto& [address, block] : live_) std::free(address);
  for (auto& [address, block] : quarantine_) {
    if (!kSanitizerBuild) std::free(address);
  }
}

void Pool::Report(std::string_view check, std::string message) {
  sim_.VerifierFailure(check, std::move(message));
}

std::string Pool::Describe(const Block& block) const {
  char text[96];
  std::snprintf(text, sizeof text, "%zu bytes", block.bytes);
  return std::string("tag '") + PoolTagName(block.tag) + "', " + text + " of " +
         PoolTypeName(block.type) + ", allocated at " + block.site + " by thread " + block.thread +
         " at " + FormatTime(block.time);
}

void Pool::CheckIrql(POOL_TYPE type, const char* operation, ULONG tag, const std::string& site) {
  KIRQL irql = KeGetCurrentIrql();
  if (type == PagedPool && irql >= DISPATCH_LEVEL) {
    Report("paged-pool-at-dispatch", std::string(operation) + " of paged pool (tag '" +
                                         PoolTagName(tag) + "') at IRQL " + std::to_string(irql) +
                                         " from " + site + " on thread " + CurrentThreadName() +
                                         " at " + FormatTime(sim_.Now()));
  } else if (irql > DISPATCH_LEVEL) {
    Report("pool-irql", std::string(operation) + " of pool (tag '" + PoolTagName(tag) +
                            "') at IRQL " + std::to_string(irql) + " from " + site + " on thread " +
                            CurrentThreadName() + " at " + FormatTime(sim_.Now()));
  }
}

bool Pool::ShouldFail(ULONG tag, const std::string& site, POOL_TYPE type) {
  // Every attempt consumes its number and its random draw, so the numbering and the random
  // sequence do not depend on which other faults are on.
  uint64_t attempt = stats_.attempts;
  bool fail =
      failAttempts_.count(attempt) != 0 || failTags_.count(tag) != 0 || failSites_.count(site) != 0;
  if (failPerMillion_ != 0 && NextRandom(randomState_) % 1'000'000 < failPerMillion_) fail = true;
  return fail && type != NonPagedPoolMustSucceed;
}

void* Pool::Allocate(POOL_TYPE type, size_t bytes, ULONG tag, const void* siteAddress) {
  std::string site = DescribeCodeAddress(siteAddress);
  CheckIrql(type, "allocation", tag, site);

  bool fail;
  {
    ++stats_.attempts;
    if (siteSet_.insert(site).second) sites_.push_back(site);
    fail = ShouldFail(tag, site, type);
    if (fail) {
      ++stats_.failedAllocations;
      ++stats_.byTag[tag].failedAllocations;
    }
  }
  if (fail) {
    sim_.Trace("pool.fail", PoolTagName(tag) + " " + site, STATUS_INSUFFICIENT_RESOURCES);
    return nullptr;
  }

  if (bytes > kBlockBytesMax) {
    sim_.Trace("pool.too-large", PoolTagName(tag) + " " + site, STATUS_INSUFFICIENT_RESOURCES);
    return nullptr;
  }
  void* address;
  if (kSanitizerBuild) {
    // Exactly the bytes asked for, so that AddressSanitizer sees the first byte past the end.
    address = std::malloc(bytes == 0 ? 1 : bytes);
  } else {
    size_t hostBytes = bytes + kGuardBytes;
    hostBytes = (hostBytes + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
    address = std::aligned_alloc(kBlockAlignment, hostBytes);
  }
  if (address == nullptr) return nullptr;
  std::memset(address, kPoolFreshByte, bytes);
  if (!kSanitizerBuild) {
    std::memset(static_cast<char*>(address) + bytes, kGuardByte, kGuardBytes);
  }

  Block block{bytes, tag, type, site, CurrentThreadName(), sim_.Now(), 0, {}, {}, 0};
  // The host may hand out an address that sits in our record of freed addresses (sanitizer
  // build): it is live again.
  if (quarantine_.erase(address) != 0) {
    quarantineOrder_.erase(std::find(quarantineOrder_.begin(), quarantineOrder_.end(), address));
  }
  block.serial = stats_.allocations++;
  PoolTagStatistics& tagStats = stats_.byTag[tag];
  ++tagStats.allocations;
  ++tagStats.blocksInUse;
  tagStats.bytesInUse += bytes;
  ++stats_.blocksInUse;
  stats_.bytesInUse += bytes;
  stats_.peakBytesInUse = std::max(stats_.peakBytesInUse, stats_.bytesInUse);
  live_.emplace(address, std::move(block));
  return address;
}

void Pool::Free(void* address, ULONG tag, bool checkTag, const void* siteAddress) {
  std::string site = DescribeCodeAddress(siteAddress);
  if (address == nullptr) {
    Report("pool-bad-free", "ExFreePool(NULL) from " + site + " on thread " + CurrentThreadName() +
                                " at " + FormatTime(sim_.Now()));
    return;
  }
  Block block;
  {
    auto found = live_.find(address);
    if (found == live_.end()) {
      auto freed = quarantine_.find(address);
      std::string message;
      if (freed != quarantine_.end()) {
        message = "second free of a block (" + Describe(freed->second) + "; first freed at " +
                  freed->second.freeSite + " by thread " + freed->second.freeThread + " at " +
                  FormatTime(freed->second.freeTime) + ") from " + site + " on thread " +
                  CurrentThreadName() + " at " + FormatTime(sim_.Now());
      }
      if (!message.empty()) {
        Report("double-free", std::move(message));
      } else {
        char text[32];
        std::snprintf(text, sizeof text, "%p", address);
        Report("pool-bad-free",
               std::string("free of ") + text + ", which is not the start of a pool block, from " +
                   site + " on thread " + CurrentThreadName() + " at " + FormatTime(sim_.Now()));
      }
      return;
    }
    block = std::move(found->second);
    live_.erase(found);
    PoolTagStatistics& tagStats = stats_.byTag[block.tag];
    ++tagStats.frees;
    --tagStats.blocksInUse;
    tagStats.bytesInUse -= block.bytes;
    ++stats_.frees;
    --stats_.blocksInUse;
    stats_.bytesInUse -= block.bytes;
  }

  CheckIrql(block.type, "free", block.tag, site);
  if (checkTag && tag != block.tag) {
    Report("pool-tag-mismatch", "ExFreePoolWithTag with tag '" + PoolTagName(tag) +
                                    "' of a block (" + Describe(block) + ") from " + site +
                                    " on thread " + CurrentThreadName());
  }
  if (!kSanitizerBuild) {
    const unsigned char* guard = static_cast<unsigned char*>(address) + block.bytes;
    for (size_t i = 0; i < kGuardBytes; ++i) {
      if (guard[i] != kGuardByte) {
        Report("pool-overrun", "the bytes after a block (" + Describe(block) +
                                   ") were written; found at its free from " + site);
        break;
      }
    }
  }
  // Timers or DPCs still queued inside the block would fire on freed memory.
  CheckNoKernelObjectsIn(address, block.bytes);
  ForgetKernelObjectsIn(address, block.bytes);

  block.freeSite = site;
  block.freeThread = CurrentThreadName();
  block.freeTime = sim_.Now();
  if (kSanitizerBuild) {
    std::free(address);
  } else {
    std::memset(address, kPoolPoisonByte, block.bytes);
    quarantineBytes_ += block.bytes;
  }
  quarantine_.emplace(address, std::move(block));
  quarantineOrder_.push_back(address);
  ReleaseFromQuarantine();
}

void Pool::CheckPoison(void* address, const Block& block) {
  const unsigned char* bytes = static_cast<unsigned char*>(address);
  for (size_t i = 0; i < block.bytes; ++i) {
    if (bytes[i] != kPoolPoisonByte) {
      char text[48];
      std::snprintf(text, sizeof text, "offset %zu", i);
      Report("use-after-free", std::string("a freed block (") + Describe(block) + "; freed at " +
                                   block.freeSite + " by thread " + block.freeThread + " at " +
                                   FormatTime(block.freeTime) +
                                   ") was written after its free, first at " + text);
      return;
    }
  }
}

void Pool::ReleaseFromQuarantine() {
  size_t limit = kSanitizerBuild ? kFreedAddressesRemembered : kQuarantineBlocksMax;
  while (!quarantineOrder_.empty() &&
         (quarantineOrder_.size() > limit || quarantineBytes_ > kQuarantineBytesMax)) {
    void* oldest = quarantineOrder_.front();
    quarantineOrder_.pop_front();
    auto found = quarantine_.find(oldest);
    if (found == quarantine_.end()) continue;
    if (!kSanitizerBuild) {
      CheckPoison(oldest, found->second);
      quarantineBytes_ -= found->second.bytes;
      std::free(oldest);
    }
    quarantine_.erase(found);
  }
}

bool Pool::IsLiveBlock(const void* block, size_t* bytes) const {
  auto found = live_.find(const_cast<void*>(block));
  if (found == live_.end()) return false;
  if (bytes != nullptr) *bytes = found->second.bytes;
  return true;
}

void Pool::FailAllocationNumber(uint64_t attempt) { failAttempts_.insert(attempt); }
void Pool::FailTag(ULONG tag) { failTags_.insert(tag); }
void Pool::FailSite(const std::string& site) { failSites_.insert(site); }
void Pool::FailRandomly(uint32_t perMillion) {
  failPerMillion_ = std::min<uint32_t>(perMillion, 1'000'000);
}
void Pool::ClearFaults() {
  failAttempts_.clear();
  failTags_.clear();
  failSites_.clear();
  failPerMillion_ = 0;
}

PoolStatistics Pool::Statistics() const { return stats_; }

std::vector<std::string> Pool::Sites() const { return sites_; }

std::vector<std::string> Pool::DescribeLiveBlocks() const {
  std::vector<const Block*> blocks;
  for (const auto& [address, block] : live_) blocks.push_back(&block);
  std::sort(blocks.begin(), blocks.end(),
            [](const Block* a, const Block* b) { return a->serial < b->serial; });
  std::vector<std::string> lines;
  for (const Block* block : blocks) lines.push_back(Describe(*block));
  return lines;
}

void Pool::Teardown(Simulation& sim) {
  std::map<std::pair<ULONG, std::string>, std::pair<uint64_t, uint64_t>> leaks;
  std::vector<std::pair<void*, Block>> quarantined;
  {
    for (const auto& [address, block] : live_) {
      auto& entry = leaks[{block.tag, block.site}];
      ++entry.first;
      entry.second += block.bytes;
    }
  }
  if (!kSanitizerBuild) {
    for (auto& [address, block] : quarantine_) CheckPoison(address, block);
  }
  if (leaks.empty()) return;
  std::string message = "pool blocks still allocated at teardown:";
  for (const auto& [key, counts] : leaks) {
    char text[96];
    std::snprintf(text, sizeof text, " %" PRIu64 " block(s), %" PRIu64 " bytes", counts.first,
                  counts.second);
    message += "\n  tag '" + PoolTagName(key.first) + "' allocated at " + key.second + ":" + text;
  }
  Report("pool-leak", std::move(message));
}

// --- Collecting reports, and the sweep ---------------------------------------------------------

namespace {

// Created first in a simulation, so destroyed last: after every component's teardown report
// (leaks, unfinished IRPs, open handles) and after the simulation's own final checks (timers
// still set, threads still blocked), while the simulation is still whole.
class ReportCollector : public Component {
 public:
  explicit ReportCollector(Simulation& sim) : sim_(sim) {}
  ~ReportCollector() override {
    if (sink != nullptr) *sink = sim_.VerifierReports();
  }
  std::vector<VerifierReport>* sink = nullptr;

 private:
  Simulation& sim_;
};

}  // namespace

std::vector<VerifierReport> RunCollectingReports(const std::function<void(Simulation&)>& scenario,
                                                 SimulationOptions options,
                                                 const std::function<void(Simulation&)>& prepare) {
  options.verifierFailuresFatal = false;
  std::vector<VerifierReport> reports;
  {
    Simulation sim(options);
    sim.Get<ReportCollector>().sink = &reports;
    if (prepare) prepare(sim);
    scenario(sim);
  }
  return reports;
}

SweepResult RunAllocationSiteSweep(const std::function<void(Simulation&)>& scenario,
                                   SimulationOptions options) {
  SweepResult result;
  result.baseline = RunCollectingReports(
      [&](Simulation& sim) {
        scenario(sim);
        result.sites = sim.Get<Pool>().Sites();
      },
      options);
  for (const std::string& site : result.sites) {
    SiteSweepResult one;
    one.site = site;
    one.reports = RunCollectingReports(
        [&](Simulation& sim) {
          scenario(sim);
          one.failuresInjected = sim.Get<Pool>().Statistics().failedAllocations;
        },
        options, [&](Simulation& sim) { sim.Get<Pool>().FailSite(site); });
    one.clean = one.reports.empty();
    result.perSite.push_back(std::move(one));
  }
  return result;
}

}  // namespace lumo::kernel

// --- The platform calls ------------------------------------------------------------------------

using lumo::kernel::Pool;
using lumo::kernel::Simulation;

namespace {
constexpr ULONG kUntaggedPoolTag = lumo::kernel::MakePoolTag("None");
}

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Simulation::Current().Get<Pool>().Allocate(PoolType, NumberOfBytes, Tag,
                                                    __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Simulation::Current().Get<Pool>().Allocate(PoolType, NumberOfBytes, kUntaggedPoolTag,
                                                    __builtin_return_address(0));
}

void NTAPI ExFreePool(PVOID P) {
  Simulation::Current().Get<Pool>().Free(P, 0, false, __builtin_return_address(0));
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  Simulation::Current().Get<Pool>().Free(P, Tag, true, __builtin_return_address(0));
}

}  // extern "C"
