// The scaler's reference passes: the coordinate tables of the driver's three calls, the order of
// the argument checks, what is written and what is not, and failures of the scratch memory.
// Every call runs on a simulated machine, since the scaler takes its scratch from the pool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "datapath/scaler_internal.h"
#include "kernel/pool.h"
#include "kernel/simulation.h"

namespace {

using lumo::kernel::Pool;
using lumo::kernel::PoolStatistics;
using lumo::kernel::Simulation;

constexpr LONG kSourceElements = 320;
constexpr LONG kSourceRows = 480;
constexpr LONG kSourceStep = 1280;
constexpr UCHAR kUntouched = 0xA5;

struct DriverCall {
  const char* name;
  IMAGE_SIZE destination;
  LONG destinationStep;
  double factor;
};
const DriverCall kDriverCalls[] = {
    {"800x600", {400, 600}, 1600, 1.25},
    {"1024x768", {512, 768}, 2048, 1.6},
    {"1280x960", {640, 960}, 2560, 2.0},
};

std::vector<UCHAR> RandomFrame(uint32_t seed, size_t bytes = kSourceStep * kSourceRows) {
  std::mt19937 generator(seed);
  std::vector<UCHAR> frame(bytes);
  for (auto& byte : frame) byte = static_cast<UCHAR>(generator());
  return frame;
}

LONG ScaleCamera(SCALER_PATH path, const std::vector<UCHAR>& source, const DriverCall& call,
                 std::vector<UCHAR>& destination) {
  return ScalePackedYuv422Using(path, source.data(), {kSourceElements, kSourceRows}, kSourceStep,
                                {0, 0, kSourceElements, kSourceRows}, destination.data(),
                                call.destinationStep, call.destination, call.factor, call.factor,
                                SCALE_INTERP_LINEAR);
}

// Runs body on a fresh simulated machine, as a client thread at PASSIVE_LEVEL.
void OnMachine(const std::function<void(Simulation&)>& body) {
  Simulation sim;
  sim.Run([&] { body(sim); });
}

// The axis tables of one driver call, as the scaler builds them for it.
struct Axis {
  std::vector<LONG> index;
  std::vector<USHORT> weight;
};
void BuildDriverAxes(const DriverCall& call, Axis& columns, Axis& rows) {
  std::vector<UCHAR> source(1), destination(1);
  SCALER_PLAN plan = {};
  ASSERT_EQ(SCALE_OK, ScalerPlanLayout(&plan, source.data(), {kSourceElements, kSourceRows},
                                       kSourceStep, {0, 0, kSourceElements, kSourceRows},
                                       destination.data(), call.destinationStep, call.destination,
                                       call.factor, call.factor, SCALE_INTERP_LINEAR));
  ASSERT_EQ(call.destination.Width, plan.WrittenWidth);
  ASSERT_EQ(call.destination.Height, plan.WrittenHeight);
  columns.index.resize(plan.WrittenWidth);
  columns.weight.resize(plan.WrittenWidth);
  rows.index.resize(plan.WrittenHeight);
  rows.weight.resize(plan.WrittenHeight);
  ScalerBuildAxis(plan.StepX, plan.WrittenWidth, plan.LastColumn, columns.index.data(),
                  columns.weight.data());
  ScalerBuildAxis(plan.StepY, plan.WrittenHeight, plan.LastRow, rows.index.data(),
                  rows.weight.data());
}

struct Entry {
  LONG position;  // negative counts from the end
  LONG index;
  USHORT weight;
};
void ExpectEntries(const Axis& axis, std::initializer_list<Entry> entries, const char* what) {
  for (const Entry& entry : entries) {
    size_t at = entry.position >= 0 ? entry.position : axis.index.size() + entry.position;
    EXPECT_EQ(entry.index, axis.index[at]) << what << " " << at;
    EXPECT_EQ(entry.weight, axis.weight[at]) << what << " " << at;
  }
}

TEST(ScalerTables, EntriesOfTheThreeDriverCalls) {
  Axis columns, rows;
  BuildDriverAxes(kDriverCalls[0], columns, rows);
  // Left weights 3286 and 6571 for elements 1 and 2: right weights 13098 and 9813.
  ExpectEntries(columns, {{0, 0, 0}, {1, 0, 13098}, {2, 1, 9813}, {-1, 318, 16384}}, "800 col");
  ExpectEntries(rows, {{0, 0, 0}, {1, 0, 13101}, {2, 1, 9819}, {-1, 478, 16384}}, "800 row");

  BuildDriverAxes(kDriverCalls[1], columns, rows);
  ExpectEntries(columns, {{0, 0, 0}, {1, 0, 10227}, {2, 1, 4071}, {3, 1, 14299},
                          {-2, 318, 6156}, {-1, 318, 16384}}, "1024 col");
  ExpectEntries(rows, {{0, 0, 0}, {1, 0, 10231}, {2, 1, 4079}, {3, 1, 14311},
                       {-2, 478, 6152}, {-1, 478, 16384}}, "1024 row");

  BuildDriverAxes(kDriverCalls[2], columns, rows);
  ExpectEntries(columns, {{0, 0, 0}, {1, 0, 8179}, {2, 0, 16358}, {3, 1, 8153},
                          {-2, 318, 8204}, {-1, 318, 16384}}, "1280 col");
  ExpectEntries(rows, {{0, 0, 0}, {1, 0, 8183}, {2, 0, 16366}, {3, 1, 8166},
                       {-2, 478, 8200}, {-1, 478, 16384}}, "1280 row");
}

TEST(ScalerTables, StepsAreCornerAligned) {
  const double expectedX[] = {319.0 / 399.0, 319.0 / 511.0, 319.0 / 639.0};
  const double expectedY[] = {479.0 / 599.0, 479.0 / 767.0, 479.0 / 959.0};
  for (int c = 0; c < 3; c++) {
    std::vector<UCHAR> byte(1);
    SCALER_PLAN plan = {};
    ASSERT_EQ(SCALE_OK,
              ScalerPlanLayout(&plan, byte.data(), {kSourceElements, kSourceRows}, kSourceStep,
                               {0, 0, kSourceElements, kSourceRows}, byte.data(),
                               kDriverCalls[c].destinationStep, kDriverCalls[c].destination,
                               kDriverCalls[c].factor, kDriverCalls[c].factor, 2));
    EXPECT_EQ(expectedX[c], plan.StepX) << kDriverCalls[c].name;
    EXPECT_EQ(expectedY[c], plan.StepY) << kDriverCalls[c].name;
  }
}

// One destination byte straight from the two passes' formulas.
UCHAR Blend(const std::vector<UCHAR>& source, LONG upperRow, USHORT rowWeight, LONG left,
            USHORT rightWeight, int byte) {
  auto horizontal = [&](LONG row) {
    const UCHAR* s = source.data() + row * kSourceStep + 4 * left + byte;
    return (s[0] * (16384u - rightWeight) + s[4] * rightWeight + 128) >> 8;
  };
  uint32_t upper = horizontal(upperRow);
  uint32_t lower = horizontal(upperRow + 1);
  return static_cast<UCHAR>((upper * (16384u - rowWeight) + lower * rowWeight + 524288) >> 20);
}

TEST(ScalerOutput, ListedElementsAndRowsOf800x600) {
  OnMachine([](Simulation&) {
    auto source = RandomFrame(7);
    std::vector<UCHAR> out(1600 * 600, kUntouched);
    ASSERT_EQ(SCALE_OK, ScaleCamera(ScalerPathScalar, source, kDriverCalls[0], out));
    struct Probe {
      LONG element, row;
      LONG left;
      USHORT right;
      LONG upper;
      USHORT lower;
    };
    const Probe probes[] = {
        {0, 0, 0, 0, 0, 0},        {1, 0, 0, 13098, 0, 0},      {2, 0, 1, 9813, 0, 0},
        {399, 0, 318, 16384, 0, 0}, {1, 1, 0, 13098, 0, 13101}, {2, 2, 1, 9813, 1, 9819},
        {399, 599, 318, 16384, 478, 16384}, {0, 599, 0, 0, 478, 16384},
    };
    for (const Probe& p : probes) {
      for (int byte = 0; byte < 4; byte++) {
        EXPECT_EQ(Blend(source, p.upper, p.lower, p.left, p.right, byte),
                  out[p.row * 1600 + 4 * p.element + byte])
            << "element " << p.element << " row " << p.row << " byte " << byte;
      }
    }
    // Element 0 is source element 0 and element 399 source element 319, on every row whose
    // position falls on a source row: the first and the last.
    for (int byte = 0; byte < 4; byte++) {
      EXPECT_EQ(source[byte], out[byte]);
      EXPECT_EQ(source[4 * 319 + byte], out[4 * 399 + byte]);
      EXPECT_EQ(source[479 * kSourceStep + byte], out[599 * 1600 + byte]);
      EXPECT_EQ(source[479 * kSourceStep + 4 * 319 + byte], out[599 * 1600 + 4 * 399 + byte]);
    }
  });
}

TEST(ScalerOutput, CornersOfEveryDriverCallAreSourceCorners) {
  OnMachine([](Simulation&) {
    auto source = RandomFrame(11);
    for (const DriverCall& call : kDriverCalls) {
      std::vector<UCHAR> out(call.destinationStep * call.destination.Height, kUntouched);
      ASSERT_EQ(SCALE_OK, ScaleCamera(ScalerPathScalar, source, call, out));
      LONG lastRow = call.destination.Height - 1;
      LONG lastElement = call.destination.Width - 1;
      for (int byte = 0; byte < 4; byte++) {
        EXPECT_EQ(source[byte], out[byte]) << call.name;
        EXPECT_EQ(source[479 * kSourceStep + 4 * 319 + byte],
                  out[lastRow * call.destinationStep + 4 * lastElement + byte])
            << call.name;
      }
    }
  });
}

TEST(ScalerOutput, UniformSourcesStayUniform) {
  OnMachine([](Simulation&) {
    for (int value : {0, 1, 127, 128, 254, 255}) {
      std::vector<UCHAR> source(kSourceStep * kSourceRows, static_cast<UCHAR>(value));
      for (const DriverCall& call : kDriverCalls) {
        std::vector<UCHAR> out(call.destinationStep * call.destination.Height, kUntouched);
        ASSERT_EQ(SCALE_OK, ScaleCamera(ScalerPathScalar, source, call, out));
        for (size_t n = 0; n < out.size(); n++) {
          ASSERT_EQ(value, out[n]) << call.name << " value " << value << " byte " << n;
        }
      }
    }
  });
}

TEST(ScalerOutput, LumaSamplesOfAPairAreNeverMixed) {
  OnMachine([](Simulation&) {
    std::vector<UCHAR> source(kSourceStep * kSourceRows);
    for (size_t n = 0; n < source.size(); n += 4) {
      source[n] = 0;        // Y0
      source[n + 1] = 90;   // U
      source[n + 2] = 255;  // Y1
      source[n + 3] = 200;  // V
    }
    for (const DriverCall& call : kDriverCalls) {
      std::vector<UCHAR> out(call.destinationStep * call.destination.Height, kUntouched);
      ASSERT_EQ(SCALE_OK, ScaleCamera(ScalerPathScalar, source, call, out));
      for (size_t n = 0; n < out.size(); n += 4) {
        ASSERT_EQ(0, out[n]) << call.name << " element " << n / 4;
        ASSERT_EQ(90, out[n + 1]);
        ASSERT_EQ(255, out[n + 2]);
        ASSERT_EQ(200, out[n + 3]);
      }
    }
  });
}

TEST(ScalerOutput, WritesOnlyTheScaledExtentOfALargerDestination) {
  OnMachine([](Simulation&) {
    auto source = RandomFrame(3);
    // 320 x 1.25 = 400 elements and 480 x 1.25 = 600 rows written into 450 x 640.
    const LONG step = 450 * 4 + 8;
    std::vector<UCHAR> wide(step * 640, kUntouched);
    ASSERT_EQ(SCALE_OK,
              ScalePackedYuv422Using(ScalerPathScalar, source.data(), {320, 480}, kSourceStep,
                                     {0, 0, 320, 480}, wide.data(), step, {450, 640}, 1.25, 1.25,
                                     SCALE_INTERP_LINEAR));
    std::vector<UCHAR> exact(1600 * 600, kUntouched);
    ASSERT_EQ(SCALE_OK, ScaleCamera(ScalerPathScalar, source, kDriverCalls[0], exact));
    for (LONG row = 0; row < 640; row++) {
      for (LONG n = 0; n < step; n++) {
        UCHAR expected = (row < 600 && n < 1600) ? exact[row * 1600 + n] : kUntouched;
        ASSERT_EQ(expected, wide[row * step + n]) << "row " << row << " byte " << n;
      }
    }
  });
}

TEST(ScalerOutput, RegionReachingPastTheSourceIsClipped) {
  OnMachine([](Simulation&) {
    auto source = RandomFrame(5);
    // (300, 470) + 50 x 50 is clipped to 20 x 10; twice that is 40 x 20.
    const LONG step = 64 * 4;
    std::vector<UCHAR> clipped(step * 32, kUntouched), exact(step * 32, kUntouched);
    ASSERT_EQ(SCALE_OK, ScalePackedYuv422Using(ScalerPathScalar, source.data(), {320, 480},
                                               kSourceStep, {300, 470, 50, 50}, clipped.data(),
                                               step, {64, 32}, 2.0, 2.0, SCALE_INTERP_LINEAR));
    ASSERT_EQ(SCALE_OK, ScalePackedYuv422Using(ScalerPathScalar, source.data(), {320, 480},
                                               kSourceStep, {300, 470, 20, 10}, exact.data(),
                                               step, {64, 32}, 2.0, 2.0, SCALE_INTERP_LINEAR));
    EXPECT_EQ(exact, clipped);
    for (int byte = 0; byte < 4; byte++) {
      EXPECT_EQ(source[470 * kSourceStep + 4 * 300 + byte], clipped[byte]);
      EXPECT_EQ(source[479 * kSourceStep + 4 * 319 + byte], clipped[19 * step + 4 * 39 + byte]);
    }
    for (LONG row = 0; row < 32; row++) {
      for (LONG n = 0; n < step; n++) {
        if (row >= 20 || n >= 40 * 4) {
          ASSERT_EQ(kUntouched, clipped[row * step + n]);
        }
      }
    }
  });
}

TEST(ScalerOutput, OneRowRegionOnTheLastRowRepeatsThatRow) {
  OnMachine([](Simulation&) {
    auto source = RandomFrame(9);
    // Factor 1 across: each element lands on its own source element.
    std::vector<UCHAR> out(kSourceStep * 4, kUntouched);
    ASSERT_EQ(SCALE_OK, ScalePackedYuv422Using(ScalerPathScalar, source.data(), {320, 480},
                                               kSourceStep, {0, 479, 320, 1}, out.data(),
                                               kSourceStep, {320, 4}, 1.0, 4.0,
                                               SCALE_INTERP_LINEAR));
    for (LONG row = 0; row < 4; row++) {
      for (LONG n = 0; n < kSourceStep; n++) {
        ASSERT_EQ(source[479 * kSourceStep + n], out[row * kSourceStep + n])
            << "row " << row << " byte " << n;
      }
    }
    // The row table holds row -1 with the full weight on the lower row.
    SCALER_PLAN plan = {};
    ASSERT_EQ(SCALE_OK, ScalerPlanLayout(&plan, source.data(), {320, 480}, kSourceStep,
                                         {0, 479, 320, 1}, out.data(), kSourceStep, {320, 4},
                                         1.0, 4.0, SCALE_INTERP_LINEAR));
    std::vector<LONG> index(plan.WrittenHeight);
    std::vector<USHORT> weight(plan.WrittenHeight);
    ScalerBuildAxis(plan.StepY, plan.WrittenHeight, plan.LastRow, index.data(), weight.data());
    for (LONG row = 0; row < plan.WrittenHeight; row++) {
      EXPECT_EQ(-1, index[row]);
      EXPECT_EQ(16384, weight[row]);
    }
  });
}

// --- Argument checks ------------------------------------------------------------------------

struct Arguments {
  const UCHAR* source;
  IMAGE_SIZE sourceSize;
  LONG sourceStep;
  IMAGE_RECT roi;
  UCHAR* destination;
  LONG destinationStep;
  IMAGE_SIZE destinationSize;
  double xFactor, yFactor;
  LONG interpolation;
};

LONG Call(const Arguments& a) {
  return ScalePackedYuv422Using(ScalerPathScalar, a.source, a.sourceSize, a.sourceStep, a.roi,
                                a.destination, a.destinationStep, a.destinationSize, a.xFactor,
                                a.yFactor, a.interpolation);
}

// The checks in their order, each with a way to fail it.
struct Check {
  const char* name;
  LONG result;
  void (*breakIt)(Arguments&);
};
const Check kChecks[] = {
    {"null source", SCALE_ERR_NULL_POINTER, [](Arguments& a) { a.source = nullptr; }},
    {"source width", SCALE_ERR_SIZE, [](Arguments& a) { a.sourceSize.Width = 0; }},
    {"destination step", SCALE_ERR_STEP, [](Arguments& a) { a.destinationStep = -4; }},
    {"region width", SCALE_ERR_SIZE, [](Arguments& a) { a.roi.Width = 0; }},
    {"region origin", SCALE_WARN_NO_OVERLAP, [](Arguments& a) { a.roi.X = 320; }},
    {"destination height", SCALE_ERR_SIZE, [](Arguments& a) { a.destinationSize.Height = 0; }},
    {"factor", SCALE_ERR_FACTOR,
     [](Arguments& a) { a.xFactor = std::numeric_limits<double>::quiet_NaN(); }},
    {"interpolation", SCALE_ERR_INTERPOLATION, [](Arguments& a) { a.interpolation = 1; }},
};

TEST(ScalerChecks, FirstFailingCheckDecidesAndNothingIsWritten) {
  OnMachine([](Simulation& sim) {
    auto source = RandomFrame(1);
    std::vector<UCHAR> out(1600 * 600, kUntouched);
    const Arguments valid = {source.data(), {320, 480}, kSourceStep, {0, 0, 320, 480},
                             out.data(),    1600,       {400, 600},  1.25, 1.25, 2};
    uint64_t attemptsBefore = sim.Get<Pool>().Statistics().attempts;
    const size_t count = sizeof(kChecks) / sizeof(kChecks[0]);
    for (size_t first = 0; first < count; first++) {
      // Fail this check and every later one: the first decides.
      Arguments arguments = valid;
      for (size_t later = first; later < count; later++) kChecks[later].breakIt(arguments);
      EXPECT_EQ(kChecks[first].result, Call(arguments)) << kChecks[first].name;
      // Fail it alone.
      arguments = valid;
      kChecks[first].breakIt(arguments);
      EXPECT_EQ(kChecks[first].result, Call(arguments)) << kChecks[first].name << " alone";
    }
    for (UCHAR byte : out) ASSERT_EQ(kUntouched, byte);
    EXPECT_EQ(attemptsBefore, sim.Get<Pool>().Statistics().attempts)
        << "argument errors are found before any memory is asked for";
  });
}

struct SingleCase {
  const char* name;
  LONG result;
  void (*change)(Arguments&);
};
const SingleCase kSingleCases[] = {
    {"null destination", SCALE_ERR_NULL_POINTER, [](Arguments& a) { a.destination = nullptr; }},
    {"negative source height", SCALE_ERR_SIZE, [](Arguments& a) { a.sourceSize.Height = -1; }},
    {"source one element wide", SCALE_ERR_SIZE, [](Arguments& a) { a.sourceSize.Width = 1; }},
    {"zero source step", SCALE_ERR_STEP, [](Arguments& a) { a.sourceStep = 0; }},
    {"negative region x", SCALE_ERR_SIZE, [](Arguments& a) { a.roi.X = -1; }},
    {"negative region y", SCALE_ERR_SIZE, [](Arguments& a) { a.roi.Y = -1; }},
    {"zero region height", SCALE_ERR_SIZE, [](Arguments& a) { a.roi.Height = 0; }},
    {"region below the source", SCALE_WARN_NO_OVERLAP, [](Arguments& a) { a.roi.Y = 480; }},
    {"zero destination width", SCALE_ERR_SIZE, [](Arguments& a) { a.destinationSize.Width = 0; }},
    {"zero x factor", SCALE_ERR_FACTOR, [](Arguments& a) { a.xFactor = 0.0; }},
    {"negative y factor", SCALE_ERR_FACTOR, [](Arguments& a) { a.yFactor = -1.25; }},
    {"NaN y factor", SCALE_ERR_FACTOR,
     [](Arguments& a) { a.yFactor = std::numeric_limits<double>::quiet_NaN(); }},
    {"nearest neighbour", SCALE_ERR_INTERPOLATION, [](Arguments& a) { a.interpolation = 0; }},
    {"cubic", SCALE_ERR_INTERPOLATION, [](Arguments& a) { a.interpolation = 4; }},
    {"offsets past 32 bits", SCALE_ERR_SIZE, [](Arguments& a) { a.sourceSize.Height = 1 << 21; }},
    {"line buffer past 32 bits", SCALE_ERR_NO_MEMORY, [](Arguments& a) {
       a.destinationSize.Width = 0x10000000;
       a.xFactor = 1e7;
     }},
};

TEST(ScalerChecks, EachCheckAlone) {
  OnMachine([](Simulation&) {
    auto source = RandomFrame(2);
    std::vector<UCHAR> out(1600 * 600, kUntouched);
    const Arguments valid = {source.data(), {320, 480}, kSourceStep, {0, 0, 320, 480},
                             out.data(),    1600,       {400, 600},  1.25, 1.25, 2};
    for (const SingleCase& c : kSingleCases) {
      Arguments arguments = valid;
      c.change(arguments);
      EXPECT_EQ(c.result, Call(arguments)) << c.name;
    }
    for (UCHAR byte : out) ASSERT_EQ(kUntouched, byte);
  });
}

// --- Scratch memory -----------------------------------------------------------------------------

TEST(ScalerScratch, EachFailedBlockReleasesTheOthersAndLeavesTheDestination) {
  for (SCALER_PATH path : {ScalerPathScalar, ScalerPathSse2, ScalerPathAvx2, ScalerPathAvx512}) {
    if (!ScalerPathAvailable(path)) continue;
    const int blocks = path == ScalerPathScalar ? 6 : 7;
    for (int failing = 1; failing <= blocks + 1; failing++) {
      OnMachine([&](Simulation& sim) {
        Pool& pool = sim.Get<Pool>();
        auto source = RandomFrame(4);
        std::vector<UCHAR> out(2560 * 960, kUntouched);
        PoolStatistics before = pool.Statistics();
        pool.FailAllocationNumber(before.attempts + failing);
        LONG result = ScaleCamera(path, source, kDriverCalls[2], out);
        PoolStatistics after = pool.Statistics();
        EXPECT_EQ(before.blocksInUse, after.blocksInUse) << "nothing kept";
        if (failing <= blocks) {
          EXPECT_EQ(SCALE_ERR_NO_MEMORY, result) << ScalerPathName(path) << " block " << failing;
          for (UCHAR byte : out) ASSERT_EQ(kUntouched, byte);
        } else {
          EXPECT_EQ(SCALE_OK, result) << ScalerPathName(path);
        }
      });
    }
  }
}

TEST(ScalerScratch, AlignedBlocksComeFromThePoolWithTheDriverTag) {
  OnMachine([](Simulation& sim) {
    Pool& pool = sim.Get<Pool>();
    EXPECT_EQ(nullptr, AllocateAlignedScratch(0));
    EXPECT_EQ(nullptr, AllocateAlignedScratch(-5));
    FreeAlignedScratch(nullptr);
    std::vector<PVOID> blocks;
    for (LONG bytes : {1, 3, 31, 32, 33, 4096}) {
      PVOID block = AllocateAlignedScratch(bytes);
      ASSERT_NE(nullptr, block);
      EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % 32) << bytes;
      std::memset(block, 0x3C, bytes);  // the whole request is usable (guard bytes would tell)
      blocks.push_back(block);
    }
    PoolStatistics statistics = pool.Statistics();
    EXPECT_EQ(6u, statistics.byTag[lumo::kernel::MakePoolTag("Wdm ")].blocksInUse);
    for (PVOID block : blocks) FreeAlignedScratch(block);
    EXPECT_EQ(0u, pool.Statistics().byTag[lumo::kernel::MakePoolTag("Wdm ")].blocksInUse);
  });
}

}  // namespace
