// The pool of the simulated machine: ExAllocatePoolWithTag and its relatives, with the checks a
// driver verifier makes and the fault injection of the low-resources test. It is not a model
// of the platform's pool allocator: blocks come from the host heap and are described on the
// side, keyed by address.
//
// Checks (each a Simulation::VerifierFailure with tag, allocation site, thread and time):
//   "double-free"            a block freed twice (the default build keeps freed blocks in a
//                            quarantine, so the second free is recognised as such)
//   "pool-bad-free"          a pointer that the pool never handed out (or not its start)
//   "pool-tag-mismatch"      ExFreePoolWithTag with another tag than the allocation's
//   "pool-overrun"           the guard bytes after a block were written (default build)
//   "use-after-free"         a freed block's poison was overwritten while in quarantine
//   "paged-pool-at-dispatch" paged pool allocated or freed at DISPATCH_LEVEL or above
//   "pool-irql"              non-paged pool allocated or freed above DISPATCH_LEVEL
//   "pool-leak"              blocks still allocated at teardown, grouped by tag and site
//   "freed-while-queued"     (from the engine) a timer, DPC or work item still queued, or a
//                            thread waiting or a lock held, inside the block being freed
//
// Allocation sites: the return address of the platform call (the driver's call instruction)
// named "function+0xoffset" through the dynamic symbol table, or "module+0xoffset" when the
// function has no exported name. Both are the same from run to run (no raw addresses), so a
// site learnt in one run can be failed in the next.
//
// The sanitizer build (LUMO_SANITIZE) hands out one plain malloc block of exactly the size asked
// for per allocation and frees it at once, without quarantine, poison or guard bytes:
// AddressSanitizer then reports overruns and use after free itself. Requests above 512 MB fail
// in both builds (the platform's pools are far smaller).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::kernel {

// The tag of four characters as it reads in memory ("Wdm " -> 'Wdm ' reversed, as drivers
// write it so that a pool dump shows the name).
constexpr ULONG MakePoolTag(const char (&name)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(name[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(name[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(name[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(name[3])) << 24;
}
// The four characters of a tag in memory order; unprintable bytes become '.'.
std::string PoolTagName(ULONG tag);

// Bytes a fresh block is filled with (catches reads of memory never written) and bytes a freed
// block is filled with while in quarantine (a use after free reads this).
constexpr unsigned char kPoolFreshByte = 0xC5;
constexpr unsigned char kPoolPoisonByte = 0xDF;

struct PoolTagStatistics {
  uint64_t allocations = 0;
  uint64_t frees = 0;
  uint64_t failedAllocations = 0;  // injected failures
  uint64_t blocksInUse = 0;
  uint64_t bytesInUse = 0;
};

struct PoolStatistics {
  uint64_t allocations = 0;  // successful
  uint64_t frees = 0;
  uint64_t attempts = 0;  // successful and failed; the N of FailAllocationNumber
  uint64_t failedAllocations = 0;
  uint64_t blocksInUse = 0;
  uint64_t bytesInUse = 0;
  uint64_t peakBytesInUse = 0;
  std::map<ULONG, PoolTagStatistics> byTag;
};

class Pool : public Component {
 public:
  explicit Pool(Simulation& sim);
  ~Pool() override;

  // The body of every pool allocation. `site` is the caller's return address; platform
  // services that allocate on behalf of a driver (IRPs, device objects) pass their own caller.
  // NULL when an injected fault hits or the host is out of memory.
  void* Allocate(POOL_TYPE type, size_t bytes, ULONG tag, const void* site);
  // checkTag: ExFreePoolWithTag compares `tag` with the allocation's.
  void Free(void* block, ULONG tag, bool checkTag, const void* site);

  // Whether `block` is the start of a live pool block, and its size.
  bool IsLiveBlock(const void* block, size_t* bytes = nullptr) const;

  // --- Fault injection ------------------------------------------------------------------------
  // Allocation attempts are numbered from 1 in the order they happen in the run.
  void FailAllocationNumber(uint64_t attempt);
  void FailTag(ULONG tag);
  void FailSite(const std::string& site);
  // Each attempt fails with probability perMillion / 1'000'000, drawn from a generator seeded
  // with Simulation::DeriveSeed("pool"): the same seed fails the same attempts.
  void FailRandomly(uint32_t perMillion);
  void ClearFaults();
  // NonPagedPoolMustSucceed never fails, as on the platform.

  // --- Observation ----------------------------------------------------------------------------
  PoolStatistics Statistics() const;
  // Every allocation site reached so far (including failed attempts), in order of first use.
  std::vector<std::string> Sites() const;
  // Live blocks, one line each: "tag site bytes thread time".
  std::vector<std::string> DescribeLiveBlocks() const;

  void Teardown(Simulation& sim) override;

 private:
  struct Block {
    size_t bytes;
    ULONG tag;
    POOL_TYPE type;
    std::string site;
    std::string thread;
    VirtualTime time;
    uint64_t serial;
    // Filled when freed (quarantine):
    std::string freeSite;
    std::string freeThread;
    VirtualTime freeTime = 0;
  };

  bool ShouldFail(ULONG tag, const std::string& site, POOL_TYPE type);
  void CheckIrql(POOL_TYPE type, const char* operation, ULONG tag, const std::string& site);
  std::string Describe(const Block& block) const;
  void ReleaseFromQuarantine();
  void CheckPoison(void* address, const Block& block);
  void Report(std::string_view check, std::string message);

  Simulation& sim_;
  std::unordered_map<void*, Block> live_;
  // Default build: freed blocks, oldest first, kept until the quarantine is over budget.
  // Sanitizer build: only the description of recently freed addresses, to tell a double free
  // from a bad pointer.
  std::unordered_map<void*, Block> quarantine_;
  std::deque<void*> quarantineOrder_;
  size_t quarantineBytes_ = 0;
  PoolStatistics stats_;
  std::vector<std::string> sites_;
  std::set<std::string> siteSet_;

  std::set<uint64_t> failAttempts_;
  std::set<ULONG> failTags_;
  std::set<std::string> failSites_;
  uint32_t failPerMillion_ = 0;
  uint64_t randomState_;
};

// --- The low-resources sweep -----------------------------------------------------------------

struct SiteSweepResult {
  std::string site;                     // the allocation site that was failed
  uint64_t failuresInjected = 0;        // how many attempts at that site failed
  bool clean = false;                   // no verifier report at all (leaks included)
  std::vector<VerifierReport> reports;  // what the verifier said, teardown included
};

struct SweepResult {
  std::vector<std::string> sites;        // sites the fault-free run reached
  std::vector<VerifierReport> baseline;  // reports of the fault-free run (should be none)
  std::vector<SiteSweepResult> perSite;  // one per site, same order
};

// Runs `scenario` once in a fresh simulation without faults to learn every allocation site it
// reaches, then once per site in a fresh simulation (same options, same seed) with every
// allocation at that site failing. Verifier failures are collected, not fatal; teardown checks
// (leaks, unfinished IRPs) count. The scenario drives the simulation itself (Run, RunFor).
SweepResult RunAllocationSiteSweep(const std::function<void(Simulation&)>& scenario,
                                   SimulationOptions options = {});

// Runs `scenario` in a fresh simulation with non-fatal verifier failures and returns every
// report, those made at teardown included. `prepare` runs first (e.g. to set faults).
std::vector<VerifierReport> RunCollectingReports(
    const std::function<void(Simulation&)>& scenario, SimulationOptions options,
    const std::function<void(Simulation&)>& prepare = {});

}  // namespace lumo::kernel
