// The driver's YUY2 upscaler against its peers, per frame, for the three scaled delivered sizes:
//
//   BM_Scale/<pass>/<size>       the whole driver call ScalePackedYuv422 with that pass (argument
//                                checks, tables, scratch from the simulated pool, both passes)
//   BM_ScaleRows/<pass>/<size>   the same pass with its tables built once and kept (only the
//                                horizontal and vertical passes are timed)
//   BM_ScalePlan/<pass>/<size>   the rest of the call: checks, tables and scratch, no rows
//   BM_Scale/libyuv/<size>       libyuv ARGBScale, bilinear, on the same 4-byte elements
//   BM_Memcpy/<size>             a copy of the output frame's bytes
//
// Only ratios within one run mean anything on a shared machine. The source is one 640x480 YUY2
// frame (320 x 480 elements) of seeded random bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "datapath/scaler_internal.h"
#include "kernel/simulation.h"

#ifdef LUMO_HAVE_LIBYUV
#include <libyuv/scale_argb.h>
#endif

namespace {

using lumo::kernel::Simulation;

struct Size {
  const char* name;
  LONG elements, rows;
  double factor;
};
const Size kSizes[] = {
    {"800x600", 400, 600, 1.25},
    {"1024x768", 512, 768, 1.6},
    {"1280x960", 640, 960, 2.0},
};

const std::vector<UCHAR>& SourceFrame() {
  static const std::vector<UCHAR> frame = [] {
    std::mt19937 generator(640480);
    std::vector<UCHAR> bytes(1280 * 480);
    for (auto& byte : bytes) byte = UCHAR(generator());
    return bytes;
  }();
  return frame;
}

void SetFrameCounters(benchmark::State& state, const Size& size) {
  state.SetBytesProcessed(int64_t(state.iterations()) * size.elements * 4 * size.rows);
}

void ScaleWholeCall(benchmark::State& state, SCALER_PATH path, Size size) {
  const auto& source = SourceFrame();
  std::vector<UCHAR> destination(size_t(size.elements) * 4 * size.rows);
  Simulation sim;
  sim.Run([&] {
    for (auto _ : state) {
      LONG result = ScalePackedYuv422Using(path, source.data(), {320, 480}, 1280,
                                           {0, 0, 320, 480}, destination.data(), size.elements * 4,
                                           {size.elements, size.rows}, size.factor, size.factor,
                                           SCALE_INTERP_LINEAR);
      if (result != SCALE_OK) {
        state.SkipWithError("scaler failed");
        break;
      }
      benchmark::DoNotOptimize(destination.data());
      benchmark::ClobberMemory();
    }
  });
  SetFrameCounters(state, size);
}

void ScaleRowsOnly(benchmark::State& state, SCALER_PATH path, Size size) {
  const auto& source = SourceFrame();
  std::vector<UCHAR> destination(size_t(size.elements) * 4 * size.rows);
  Simulation sim;
  sim.Run([&] {
    const SCALER_PASSES* passes = ScalerPassesOf(path);
    SCALER_PLAN plan = {};
    LONG result = ScalerPlanLayout(&plan, source.data(), {320, 480}, 1280, {0, 0, 320, 480},
                                   destination.data(), size.elements * 4,
                                   {size.elements, size.rows}, size.factor, size.factor,
                                   SCALE_INTERP_LINEAR);
    if (result == SCALE_OK) result = ScalerPreparePlan(&plan, passes);
    if (result != SCALE_OK) {
      state.SkipWithError("plan failed");
    } else {
      for (auto _ : state) {
        ScalerRunRows(&plan, passes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
      }
    }
    ScalerReleasePlan(&plan);
  });
  SetFrameCounters(state, size);
}

// What the whole call adds to the rows: checks, tables, and the scratch blocks from the
// simulated pool (whose bookkeeping is heavier than a kernel pool's).
void PlanOnly(benchmark::State& state, SCALER_PATH path, Size size) {
  const auto& source = SourceFrame();
  std::vector<UCHAR> destination(16);
  Simulation sim;
  sim.Run([&] {
    const SCALER_PASSES* passes = ScalerPassesOf(path);
    for (auto _ : state) {
      SCALER_PLAN plan = {};
      LONG result = ScalerPlanLayout(&plan, source.data(), {320, 480}, 1280, {0, 0, 320, 480},
                                     destination.data(), size.elements * 4,
                                     {size.elements, size.rows}, size.factor, size.factor,
                                     SCALE_INTERP_LINEAR);
      if (result == SCALE_OK) result = ScalerPreparePlan(&plan, passes);
      ScalerReleasePlan(&plan);
      if (result != SCALE_OK) {
        state.SkipWithError("plan failed");
        break;
      }
    }
  });
}

#ifdef LUMO_HAVE_LIBYUV
void ScaleLibyuv(benchmark::State& state, Size size) {
  const auto& source = SourceFrame();
  std::vector<UCHAR> destination(size_t(size.elements) * 4 * size.rows);
  for (auto _ : state) {
    libyuv::ARGBScale(source.data(), 1280, 320, 480, destination.data(), size.elements * 4,
                      size.elements, size.rows, libyuv::kFilterBilinear);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, size);
}
#endif

void CopyFrame(benchmark::State& state, Size size) {
  size_t bytes = size_t(size.elements) * 4 * size.rows;
  std::vector<UCHAR> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, size);
}

// With repetitions: the fastest repetition, the least disturbed by other work on the machine.
double Smallest(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

void RegisterAll() {
  for (const Size& size : kSizes) {
    std::string suffix = std::string("/") + size.name;
    for (int path = ScalerPathScalar; path < ScalerPathCount; path++) {
      if (!ScalerPathAvailable(SCALER_PATH(path))) continue;
      std::string pass = ScalerPathName(SCALER_PATH(path));
      benchmark::RegisterBenchmark(("BM_Scale/" + pass + suffix).c_str(), ScaleWholeCall,
                                   SCALER_PATH(path), size)
          ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Smallest);
      benchmark::RegisterBenchmark(("BM_ScaleRows/" + pass + suffix).c_str(), ScaleRowsOnly,
                                   SCALER_PATH(path), size)
          ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Smallest);
      benchmark::RegisterBenchmark(("BM_ScalePlan/" + pass + suffix).c_str(), PlanOnly,
                                   SCALER_PATH(path), size)
          ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Smallest);
    }
#ifdef LUMO_HAVE_LIBYUV
    benchmark::RegisterBenchmark(("BM_Scale/libyuv" + suffix).c_str(), ScaleLibyuv, size)
        ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Smallest);
#endif
    benchmark::RegisterBenchmark(("BM_Memcpy" + suffix).c_str(), CopyFrame, size)
        ->Unit(benchmark::kMillisecond)->ComputeStatistics("min", Smallest);
  }
}

// The console report, then per size each method's CPU time as a ratio to libyuv and to memcpy:
// of single runs, or with repetitions of their medians and of their fastest repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median" || run.aggregate_name == "min") {
          times_[run.aggregate_name][name] = run.GetAdjustedCPUTime();
        }
      } else if (run.repetitions <= 1) {
        times_["single run"][name] = run.GetAdjustedCPUTime();
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [statistic, times] : times_) {
      std::printf("\nCPU time ratios, %s (method / libyuv ARGBScale bilinear, method / memcpy):\n",
                  statistic.c_str());
      for (const Size& size : kSizes) {
        std::string suffix = std::string("/") + size.name;
        auto find = [&](const std::string& name) {
          auto it = times.find(name);
          return it == times.end() ? -1.0 : it->second;
        };
        double libyuv = find("BM_Scale/libyuv" + suffix);
        double copy = find("BM_Memcpy" + suffix);
        for (const auto& [name, time] : times) {
          bool ofSize = name.size() >= suffix.size() &&
                        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
          if (!ofSize || name.rfind("BM_Memcpy", 0) == 0) continue;
          std::printf("  %-32s %8.4f ms", name.c_str(), time);
          if (libyuv > 0) std::printf("  %6.2f x libyuv", time / libyuv);
          if (copy > 0) std::printf("  %7.2f x memcpy", time / copy);
          std::printf("\n");
        }
      }
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  std::printf("scaler passes offered: fastest is %s\n", ScalerPathName(ScalerFastestPath()));
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
