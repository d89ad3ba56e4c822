// The scaler's vector passes against the reference passes, byte for byte, including the bytes
// that must stay untouched: the driver's three calls on random, uniform and extreme frames,
// a set of other sizes, regions and factors, and a seeded fuzz over all of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "datapath/scaler_internal.h"
#include "kernel/simulation.h"

namespace {

using lumo::kernel::Simulation;

constexpr UCHAR kUntouched = 0x5A;

struct Case {
  IMAGE_SIZE sourceSize;
  LONG sourceStep;
  IMAGE_RECT roi;
  IMAGE_SIZE destinationSize;
  LONG destinationStep;
  double xFactor, yFactor;
};

std::string Describe(const Case& c) {
  return "source " + std::to_string(c.sourceSize.Width) + "x" + std::to_string(c.sourceSize.Height) +
         " step " + std::to_string(c.sourceStep) + " roi (" + std::to_string(c.roi.X) + "," +
         std::to_string(c.roi.Y) + "," + std::to_string(c.roi.Width) + "," +
         std::to_string(c.roi.Height) + ") destination " + std::to_string(c.destinationSize.Width) +
         "x" + std::to_string(c.destinationSize.Height) + " step " +
         std::to_string(c.destinationStep) + " factors " + std::to_string(c.xFactor) + "," +
         std::to_string(c.yFactor);
}

std::vector<SCALER_PATH> VectorPaths() {
  std::vector<SCALER_PATH> paths;
  for (int path = ScalerPathScalar + 1; path < ScalerPathCount; path++) {
    if (ScalerPathAvailable(SCALER_PATH(path))) paths.push_back(SCALER_PATH(path));
  }
  return paths;
}

// Scales `source` with every vector path and the reference; all results and all destination
// bytes (written or not) must agree. Returns the reference result.
LONG ExpectSameAsReference(const Case& c, const std::vector<UCHAR>& source) {
  size_t destinationBytes = size_t(c.destinationStep) * c.destinationSize.Height;
  std::vector<UCHAR> reference(destinationBytes, kUntouched);
  LONG expected = ScalePackedYuv422Using(ScalerPathScalar, source.data(), c.sourceSize,
                                         c.sourceStep, c.roi, reference.data(), c.destinationStep,
                                         c.destinationSize, c.xFactor, c.yFactor,
                                         SCALE_INTERP_LINEAR);
  for (SCALER_PATH path : VectorPaths()) {
    std::vector<UCHAR> fast(destinationBytes, kUntouched);
    LONG result = ScalePackedYuv422Using(path, source.data(), c.sourceSize, c.sourceStep, c.roi,
                                         fast.data(), c.destinationStep, c.destinationSize,
                                         c.xFactor, c.yFactor, SCALE_INTERP_LINEAR);
    EXPECT_EQ(expected, result) << ScalerPathName(path) << " " << Describe(c);
    if (fast != reference) {
      size_t at = 0;
      while (fast[at] == reference[at]) at++;
      ADD_FAILURE() << ScalerPathName(path) << " differs at byte " << at << " (row "
                    << at / c.destinationStep << "): " << int(fast[at]) << " vs "
                    << int(reference[at]) << ", " << Describe(c);
    }
  }
  return expected;
}

std::vector<UCHAR> Frame(size_t bytes, const std::function<UCHAR(size_t)>& fill) {
  std::vector<UCHAR> frame(bytes);
  for (size_t n = 0; n < bytes; n++) frame[n] = fill(n);
  return frame;
}

const Case kDriverCases[] = {
    {{320, 480}, 1280, {0, 0, 320, 480}, {400, 600}, 1600, 1.25, 1.25},
    {{320, 480}, 1280, {0, 0, 320, 480}, {512, 768}, 2048, 1.6, 1.6},
    {{320, 480}, 1280, {0, 0, 320, 480}, {640, 960}, 2560, 2.0, 2.0},
};

TEST(ScalerVectorPasses, ProcessorOffersThemOrTheyAreSkipped) {
  // The build machine of this project has all of them; on another one the missing ones are
  // reported here rather than silently untested.
  for (int path = ScalerPathScalar + 1; path < ScalerPathCount; path++) {
    if (!ScalerPathAvailable(SCALER_PATH(path))) {
      std::printf("note: %s not offered by this processor\n", ScalerPathName(SCALER_PATH(path)));
    }
  }
  EXPECT_TRUE(ScalerPathAvailable(ScalerPathScalar));
  EXPECT_TRUE(ScalerPathAvailable(ScalerFastestPath()));
}

TEST(ScalerVectorPasses, DriverCallsOnRandomUniformAndExtremeFrames) {
  Simulation sim;
  sim.Run([] {
    const size_t bytes = 1280 * 480;
    std::mt19937 generator(20261211);
    std::vector<std::pair<const char*, std::vector<UCHAR>>> frames;
    for (int n = 0; n < 3; n++) {
      frames.push_back({"random", Frame(bytes, [&](size_t) { return UCHAR(generator()); })});
    }
    frames.push_back({"all 0", Frame(bytes, [](size_t) { return UCHAR(0); })});
    frames.push_back({"all 255", Frame(bytes, [](size_t) { return UCHAR(255); })});
    frames.push_back({"uniform 77", Frame(bytes, [](size_t) { return UCHAR(77); })});
    frames.push_back({"alternating bytes", Frame(bytes, [](size_t n) { return UCHAR(n % 2 ? 255 : 0); })});
    frames.push_back({"alternating elements",
                      Frame(bytes, [](size_t n) { return UCHAR((n / 4) % 2 ? 255 : 0); })});
    frames.push_back({"alternating rows",
                      Frame(bytes, [](size_t n) { return UCHAR((n / 1280) % 2 ? 255 : 0); })});
    frames.push_back({"checker", Frame(bytes, [](size_t n) {
                        return UCHAR(((n / 4) + (n / 1280)) % 2 ? 255 : 0);
                      })});
    for (const auto& [name, frame] : frames) {
      for (const Case& c : kDriverCases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(SCALE_OK, ExpectSameAsReference(c, frame));
      }
    }
  });
}

TEST(ScalerVectorPasses, OtherSizesRegionsAndFactors) {
  Simulation sim;
  sim.Run([] {
    const Case cases[] = {
        // Written extent smaller than the destination, both ways.
        {{320, 480}, 1280, {0, 0, 320, 480}, {700, 1000}, 2816, 2.0, 2.0},
        // Clipped regions.
        {{320, 480}, 1280, {300, 470, 50, 50}, {64, 32}, 256, 2.0, 2.0},
        {{320, 480}, 1280, {317, 0, 40, 480}, {13, 500}, 60, 3.3, 1.01},
        // One row, one column, one element.
        {{320, 480}, 1280, {0, 479, 320, 1}, {320, 4}, 1280, 1.0, 4.0},
        {{320, 480}, 1280, {319, 0, 1, 480}, {7, 100}, 28, 7.0, 0.3},
        {{320, 480}, 1280, {100, 200, 1, 1}, {5, 5}, 20, 5.0, 5.0},
        // Odd widths (ragged ends of every vector width), padded steps.
        {{37, 29}, 37 * 4 + 12, {0, 0, 37, 29}, {111, 58}, 111 * 4 + 3, 3.0, 2.0},
        {{33, 17}, 33 * 4, {1, 1, 31, 15}, {41, 19}, 41 * 4, 1.33, 1.27},
        // Reductions (windows too far apart for the shuffle passes).
        {{320, 480}, 1280, {0, 0, 320, 480}, {100, 150}, 400, 0.31, 0.31},
        {{320, 480}, 1280, {0, 0, 320, 480}, {160, 240}, 640, 0.5, 0.5},
        {{320, 480}, 1280, {0, 0, 320, 480}, {211, 317}, 844, 0.66, 0.66},
        // Two-element source, the smallest the scaler takes.
        {{2, 2}, 8, {0, 0, 2, 2}, {9, 9}, 36, 4.5, 4.5},
        // Large factors.
        {{16, 12}, 64, {0, 0, 16, 12}, {400, 300}, 1600, 25.0, 25.0},
    };
    std::mt19937 generator(42);
    for (const Case& c : cases) {
      auto source = Frame(size_t(c.sourceStep) * c.sourceSize.Height,
                          [&](size_t) { return UCHAR(generator()); });
      EXPECT_EQ(SCALE_OK, ExpectSameAsReference(c, source));
    }
  });
}

// Seeded: the same cases every run; a failure prints the case.
TEST(ScalerVectorPasses, FuzzOverSizesRegionsAndFactors) {
  Simulation sim;
  sim.Run([] {
    std::mt19937 generator(0x5CA1E);
    auto below = [&](uint32_t bound) { return LONG(generator() % bound); };
    for (int iteration = 0; iteration < 600; iteration++) {
      Case c;
      c.sourceSize = {2 + below(80), 1 + below(60)};
      c.sourceStep = 4 * c.sourceSize.Width + below(3) * 4 + below(4);
      c.roi = {below(c.sourceSize.Width), below(c.sourceSize.Height),
               1 + below(c.sourceSize.Width + 8), 1 + below(c.sourceSize.Height + 8)};
      // Factors from 1/8 to 8 in steps that include exact and inexact binary values.
      c.xFactor = 0.125 + below(8000) / 1000.0;
      c.yFactor = 0.125 + below(8000) / 1000.0;
      c.destinationSize = {1 + below(400), 1 + below(300)};
      c.destinationStep = 4 * c.destinationSize.Width + below(20);
      auto source = Frame(size_t(c.sourceStep) * c.sourceSize.Height,
                          [&](size_t) { return UCHAR(generator()); });
      ExpectSameAsReference(c, source);
      if (HasFailure()) {
        ADD_FAILURE() << "fuzz iteration " << iteration;
        return;
      }
    }
  });
}

}  // namespace
