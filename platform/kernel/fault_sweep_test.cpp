// The low-resources sweep: a start-up routine with three allocation sites, one of whose failure
// paths forgets to free what it already holds. The sweep must flag exactly that site.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/simulation.h"

// Three allocation sites with names of their own (exported, so reports can name them).
__attribute__((noinline)) void* SweepAllocateContext() {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 64, lumo::kernel::MakePoolTag("Ctx "));
  asm volatile("");
  return block;
}
__attribute__((noinline)) void* SweepAllocateBuffer() {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 4096, lumo::kernel::MakePoolTag("Buf "));
  asm volatile("");
  return block;
}
__attribute__((noinline)) PIRP SweepAllocateIrp() {
  PIRP irp = IoAllocateIrp(2, FALSE);
  asm volatile("");
  return irp;
}

namespace lumo::kernel {
namespace {

// Sets up a context, a buffer and an IRP, uses them and frees them. When the buffer cannot be
// had it returns without freeing the context: the leak the sweep must find.
NTSTATUS StartAndStop() {
  void* context = SweepAllocateContext();
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  void* buffer = SweepAllocateBuffer();
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;  // leaks the context
  PIRP irp = SweepAllocateIrp();
  if (irp == nullptr) {
    ExFreePool(buffer);
    ExFreePool(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoFreeIrp(irp);
  ExFreePool(buffer);
  ExFreePool(context);
  return STATUS_SUCCESS;
}

TEST(AllocationSiteSweep, FlagsExactlyTheSiteWhoseFailurePathLeaks) {
  std::vector<NTSTATUS> statuses;
  SweepResult sweep = RunAllocationSiteSweep(
      [&](Simulation& sim) { sim.Run([&] { statuses.push_back(StartAndStop()); }); });

  EXPECT_TRUE(sweep.baseline.empty());
  ASSERT_EQ(sweep.sites.size(), 3u);
  EXPECT_EQ(sweep.sites[0].rfind("SweepAllocateContext+0x", 0), 0u) << sweep.sites[0];
  EXPECT_EQ(sweep.sites[1].rfind("SweepAllocateBuffer+0x", 0), 0u) << sweep.sites[1];
  // IoAllocateIrp allocates on behalf of its caller: the site is the driver's call.
  EXPECT_EQ(sweep.sites[2].rfind("SweepAllocateIrp+0x", 0), 0u) << sweep.sites[2];
  // The fault-free run, then one run per site, each failing with the resources status.
  EXPECT_EQ(statuses,
            (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES,
                                   STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES}));

  ASSERT_EQ(sweep.perSite.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sweep.perSite[i].site, sweep.sites[i]);
    EXPECT_EQ(sweep.perSite[i].failuresInjected, 1u) << sweep.sites[i];
  }
  EXPECT_TRUE(sweep.perSite[0].clean);
  EXPECT_FALSE(sweep.perSite[1].clean);
  EXPECT_TRUE(sweep.perSite[2].clean);
  ASSERT_EQ(sweep.perSite[1].reports.size(), 1u);
  const VerifierReport& leak = sweep.perSite[1].reports[0];
  EXPECT_EQ(leak.check, "pool-leak");
  // The report names what leaked and where it came from.
  EXPECT_NE(leak.message.find("tag 'Ctx ' allocated at SweepAllocateContext+0x"), std::string::npos)
      << leak.message;
}

TEST(AllocationSiteSweep, SameSeedSameSitesAndVerdicts) {
  auto scenario = [](Simulation& sim) { sim.Run([] { StartAndStop(); }); };
  SimulationOptions options;
  options.seed = 42;
  SweepResult first = RunAllocationSiteSweep(scenario, options);
  SweepResult second = RunAllocationSiteSweep(scenario, options);
  EXPECT_EQ(first.sites, second.sites);
  ASSERT_EQ(first.perSite.size(), second.perSite.size());
  for (size_t i = 0; i < first.perSite.size(); ++i) {
    EXPECT_EQ(first.perSite[i].clean, second.perSite[i].clean);
    ASSERT_EQ(first.perSite[i].reports.size(), second.perSite[i].reports.size());
    for (size_t k = 0; k < first.perSite[i].reports.size(); ++k) {
      EXPECT_EQ(first.perSite[i].reports[k].check, second.perSite[i].reports[k].check);
    }
  }
}

}  // namespace
}  // namespace lumo::kernel
