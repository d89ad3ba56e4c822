// The pool: tags and statistics, fresh and poisoned memory, the verifier's pool checks, and
// each kind of fault injection.
#include "kernel/pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/simulation.h"

// Allocation sites with names of their own: reports and fault plans name sites by function.
// Not static, so that their names are exported and stable.
__attribute__((noinline)) void* PoolTestAllocateLeaky(ULONG tag) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 48, tag);
  asm volatile("");  // keeps the call from becoming a tail call
  return block;
}
__attribute__((noinline)) void* PoolTestAllocateFromSiteA() {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 16, lumo::kernel::MakePoolTag("AAAA"));
  asm volatile("");
  return block;
}
__attribute__((noinline)) void* PoolTestAllocateFromSiteB() {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 16, lumo::kernel::MakePoolTag("BBBB"));
  asm volatile("");
  return block;
}

namespace lumo::kernel {
namespace {

constexpr ULONG kTagOne = MakePoolTag("One ");
constexpr ULONG kTagTwo = MakePoolTag("Two ");

SimulationOptions Lenient(uint64_t seed = 1) {
  SimulationOptions options;
  options.seed = seed;
  options.verifierFailuresFatal = false;
  return options;
}

bool HasReport(const std::vector<VerifierReport>& reports, const std::string& check,
               const std::string& text = {}) {
  for (const VerifierReport& report : reports) {
    if (report.check == check && report.message.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(PoolTags, NameReadsAsInMemory) {
  EXPECT_EQ(PoolTagName(MakePoolTag("Wdm ")), "Wdm ");
  // A driver writes the multi-character constant reversed (' mdW', 0x206D6457) so that memory
  // reads "Wdm ".
  EXPECT_EQ(PoolTagName(0x206D6457), "Wdm ");
  EXPECT_EQ(MakePoolTag("Wdm "), 0x206D6457u);
  EXPECT_EQ(PoolTagName(0x00414243), "CBA.");
}

TEST(PoolStatisticsTest, CountsAllocationsFreesAndBytesByTag) {
  Simulation sim(Lenient());
  sim.Run([&] {
    Pool& pool = sim.Get<Pool>();
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTagOne);
    void* b = ExAllocatePoolWithTag(PagedPool, 30, kTagOne);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 7, kTagTwo);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    PoolStatistics stats = pool.Statistics();
    EXPECT_EQ(stats.allocations, 3u);
    EXPECT_EQ(stats.bytesInUse, 137u);
    EXPECT_EQ(stats.byTag[kTagOne].blocksInUse, 2u);
    EXPECT_EQ(stats.byTag[kTagOne].bytesInUse, 130u);
    EXPECT_EQ(stats.byTag[kTagTwo].bytesInUse, 7u);

    ExFreePoolWithTag(a, kTagOne);
    ExFreePool(c);
    stats = pool.Statistics();
    EXPECT_EQ(stats.frees, 2u);
    EXPECT_EQ(stats.bytesInUse, 30u);
    EXPECT_EQ(stats.peakBytesInUse, 137u);
    EXPECT_EQ(stats.byTag[kTagOne].allocations, 2u);
    EXPECT_EQ(stats.byTag[kTagOne].frees, 1u);
    EXPECT_EQ(stats.byTag[kTagTwo].blocksInUse, 0u);
    ExFreePool(b);
    EXPECT_EQ(pool.Statistics().blocksInUse, 0u);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(PoolMemory, FreshBlocksCarryAPatternAndFreedBlocksPoison) {
  Simulation sim(Lenient());
  sim.Run([&] {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTagOne));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], kPoolFreshByte) << i;
    EXPECT_TRUE(sim.Get<Pool>().IsLiveBlock(block));
    std::memset(block, 0x11, 64);
    ExFreePool(block);
    EXPECT_FALSE(sim.Get<Pool>().IsLiveBlock(block));
#ifndef LUMO_SANITIZE
    // A use after free reads poison, not the old contents (the sanitizer build leaves this
    // to AddressSanitizer).
    for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], kPoolPoisonByte) << i;
#endif
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

TEST(PoolChecks, DoubleFreeNamesTagSitesAndThread) {
  Simulation sim(Lenient());
  sim.Run([&] {
    void* block = PoolTestAllocateLeaky(kTagTwo);
    ExFreePool(block);
    EXPECT_TRUE(sim.VerifierReports().empty());
    ExFreePool(block);
  });
  ASSERT_EQ(sim.VerifierReports().size(), 1u);
  const VerifierReport& report = sim.VerifierReports()[0];
  EXPECT_EQ(report.check, "double-free");
  EXPECT_NE(report.message.find("tag 'Two '"), std::string::npos) << report.message;
  EXPECT_NE(report.message.find("PoolTestAllocateLeaky"), std::string::npos) << report.message;
  EXPECT_NE(report.message.find("main"), std::string::npos) << report.message;
}

TEST(PoolChecks, FreeOfAForeignPointerAndWrongTag) {
  Simulation sim(Lenient());
  sim.Run([&] {
    int local = 0;
    ExFreePool(&local);
    char* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTagOne));
    ExFreePool(block + 8);  // not the start of the block
    ExFreePoolWithTag(block, kTagTwo);
  });
  const auto& reports = sim.VerifierReports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].check, "pool-bad-free");
  EXPECT_EQ(reports[1].check, "pool-bad-free");
  EXPECT_EQ(reports[2].check, "pool-tag-mismatch");
  EXPECT_NE(reports[2].message.find("'Two '"), std::string::npos);
  EXPECT_NE(reports[2].message.find("'One '"), std::string::npos);
}

TEST(PoolChecks, PagedPoolAtDispatchLevel) {
  Simulation sim(Lenient());
  sim.Run([&] {
    void* early = ExAllocatePoolWithTag(PagedPool, 8, kTagOne);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* late = ExAllocatePoolWithTag(PagedPool, 8, kTagOne);
    ExFreePool(early);
    // Non-paged pool is fine at DISPATCH_LEVEL.
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTagTwo));
    KeLowerIrql(old);
    ExFreePool(late);
  });
  const auto& reports = sim.VerifierReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].check, "paged-pool-at-dispatch");
  EXPECT_NE(reports[0].message.find("allocation"), std::string::npos);
  EXPECT_EQ(reports[1].check, "paged-pool-at-dispatch");
  EXPECT_NE(reports[1].message.find("free"), std::string::npos);
}

TEST(PoolChecks, FreeingABlockWithAQueuedTimerInsideIsReported) {
  Simulation sim(Lenient());
  sim.Run([&] {
    auto* timer =
        static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTagOne));
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * kMillisecond;
    KeSetTimer(timer, due, nullptr);
    ExFreePool(timer);
  });
  sim.RunUntilIdle();
  ASSERT_FALSE(sim.VerifierReports().empty());
  EXPECT_TRUE(HasReport(sim.VerifierReports(), "freed-while-queued"))
      << sim.VerifierReports()[0].check << ": " << sim.VerifierReports()[0].message;
}

TEST(PoolChecks, LeakAtTeardownNamesTagAndSite) {
  std::vector<VerifierReport> reports = RunCollectingReports(
      [](Simulation& sim) {
        sim.Run([] {
          PoolTestAllocateLeaky(MakePoolTag("Leak"));
          PoolTestAllocateLeaky(MakePoolTag("Leak"));
          ExFreePool(PoolTestAllocateLeaky(MakePoolTag("Fine")));
        });
      },
      Lenient());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].check, "pool-leak");
  EXPECT_NE(reports[0].message.find("tag 'Leak' allocated at PoolTestAllocateLeaky+0x"),
            std::string::npos)
      << reports[0].message;
  EXPECT_NE(reports[0].message.find("2 block(s), 96 bytes"), std::string::npos)
      << reports[0].message;
  EXPECT_EQ(reports[0].message.find("Fine"), std::string::npos) << reports[0].message;
}

TEST(PoolChecks, CollectedReportsIncludeTheFinalChecksOfTheSimulation) {
  static KTIMER timer;  // outlives the simulation, so only the timer check speaks
  std::vector<VerifierReport> reports = RunCollectingReports(
      [](Simulation& sim) {
        sim.Run([] {
          KeInitializeTimer(&timer);
          LARGE_INTEGER due;
          due.QuadPart = -kSecond;
          KeSetTimer(&timer, due, nullptr);
          PoolTestAllocateLeaky(MakePoolTag("Leak"));
        });
      },
      Lenient());
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].check, "pool-leak");
  EXPECT_EQ(reports[1].check, "teardown-timer");
}

#ifndef LUMO_SANITIZE
// The sanitizer build leaves these to AddressSanitizer, which would stop at the bad write.
TEST(PoolChecks, OverrunIsFoundAtFree) {
  Simulation sim(Lenient());
  sim.Run([&] {
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagOne));
    block[10] = 1;
    ExFreePool(block);
  });
  ASSERT_EQ(sim.VerifierReports().size(), 1u);
  EXPECT_EQ(sim.VerifierReports()[0].check, "pool-overrun");
}

TEST(PoolChecks, WriteAfterFreeIsFoundAtTeardown) {
  std::vector<VerifierReport> reports = RunCollectingReports(
      [](Simulation& sim) {
        sim.Run([] {
          auto* block =
              static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, MakePoolTag("Uaf ")));
          ExFreePool(block);
          block[3] = 0;
        });
      },
      Lenient());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].check, "use-after-free");
  EXPECT_NE(reports[0].message.find("offset 3"), std::string::npos) << reports[0].message;
}
#else
// The sanitizer build hands out plain heap blocks: AddressSanitizer itself stops an overrun.
TEST(PoolChecks, OverrunIsCaughtByAddressSanitizer) {
  EXPECT_DEATH(
      {
        Simulation sim(Lenient());
        sim.Run([&] {
          auto* block =
              static_cast<volatile char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagOne));
          block[10] = 1;
        });
      },
      "heap-buffer-overflow");
}

TEST(PoolChecks, UseAfterFreeIsCaughtByAddressSanitizer) {
  EXPECT_DEATH(
      {
        Simulation sim(Lenient());
        sim.Run([&] {
          auto* block =
              static_cast<volatile char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTagOne));
          ExFreePool(const_cast<char*>(block));
          block[3] = 1;
        });
      },
      "heap-use-after-free");
}
#endif

// --- Fault injection ----------------------------------------------------------------------------

// Which of ten allocations (five at site A with tag AAAA, five at site B with tag BBBB,
// alternating) fail under a plan.
std::vector<bool> FailuresUnder(const std::function<void(Pool&)>& plan, uint64_t seed = 1) {
  std::vector<bool> failed;
  Simulation sim(Lenient(seed));
  sim.Run([&] {
    plan(sim.Get<Pool>());
    for (int i = 0; i < 5; ++i) {
      for (void* block : {PoolTestAllocateFromSiteA(), PoolTestAllocateFromSiteB()}) {
        failed.push_back(block == nullptr);
        if (block != nullptr) ExFreePool(block);
      }
    }
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
  return failed;
}

std::string SiteOf(const char* function) {
  // Learn the site's name the way a sweep does: from a run that reaches it.
  Simulation sim(Lenient());
  std::string found;
  sim.Run([&] {
    ExFreePool(std::string(function) == "A" ? PoolTestAllocateFromSiteA()
                                            : PoolTestAllocateFromSiteB());
    found = sim.Get<Pool>().Sites().at(0);
  });
  return found;
}

TEST(PoolFaults, EachKindOfPlanFailsExactlyItsAllocations) {
  const std::string siteB = SiteOf("B");
  EXPECT_EQ(siteB.rfind("PoolTestAllocateFromSiteB+0x", 0), 0u) << siteB;
  struct Case {
    const char* name;
    std::function<void(Pool&)> plan;
    std::vector<bool> expected;
  };
  const bool F = true, o = false;
  std::vector<Case> cases = {
      {"none", [](Pool&) {}, {o, o, o, o, o, o, o, o, o, o}},
      {"3rd and 8th",
       [](Pool& p) {
         p.FailAllocationNumber(3);
         p.FailAllocationNumber(8);
       },
       {o, o, F, o, o, o, o, F, o, o}},
      {"tag AAAA", [](Pool& p) { p.FailTag(MakePoolTag("AAAA")); }, {F, o, F, o, F, o, F, o, F, o}},
      {"site B", [&](Pool& p) { p.FailSite(siteB); }, {o, F, o, F, o, F, o, F, o, F}},
      {"always", [](Pool& p) { p.FailRandomly(1'000'000); }, {F, F, F, F, F, F, F, F, F, F}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FailuresUnder(c.plan), c.expected) << c.name;
  }
}

TEST(PoolFaults, RandomFailuresRepeatPerSeedAndDifferAcrossSeeds) {
  auto half = [](Pool& p) { p.FailRandomly(500'000); };
  std::vector<bool> first = FailuresUnder(half, 7);
  EXPECT_EQ(FailuresUnder(half, 7), first);
  int failures = 0;
  for (bool failed : first) failures += failed;
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, 10);
  bool anotherSeedDiffers = false;
  for (uint64_t seed = 8; seed < 16 && !anotherSeedDiffers; ++seed) {
    anotherSeedDiffers = FailuresUnder(half, seed) != first;
  }
  EXPECT_TRUE(anotherSeedDiffers);
}

TEST(PoolFaults, MustSucceedPoolNeverFailsAndFailuresAreCounted) {
  Simulation sim(Lenient());
  sim.Run([&] {
    Pool& pool = sim.Get<Pool>();
    pool.FailTag(kTagOne);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagOne), nullptr);
    void* block = ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTagOne);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
    PoolStatistics stats = pool.Statistics();
    EXPECT_EQ(stats.attempts, 2u);
    EXPECT_EQ(stats.failedAllocations, 1u);
    EXPECT_EQ(stats.byTag[kTagOne].failedAllocations, 1u);
    pool.ClearFaults();
    block = ExAllocatePoolWithTag(NonPagedPool, 8, kTagOne);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
    // A size no pool of the platform could hold fails without reaching the host heap.
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, ~SIZE_T{0} - 4, kTagTwo), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, SIZE_T{1} << 30, kTagTwo), nullptr);
  });
  EXPECT_TRUE(sim.VerifierReports().empty());
}

}  // namespace
}  // namespace lumo::kernel
