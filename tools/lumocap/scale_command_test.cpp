// `lumocap scale` against an implementation of the same upscale written here from the
// description of the algorithm alone (no driver code): corner-aligned positions accumulated in
// double precision, 14-bit weights, a rounded horizontal pass to 1/64 units and a rounded
// vertical pass. Every byte of every output must agree, on seeded random frames. Also the
// command's refusals: wrong input size, missing file, unsupported or malformed size.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "scale_command.h"

namespace {

namespace fs = std::filesystem;

// --- The independent upscale -------------------------------------------------------------------

struct Axis {
  std::vector<int> index;   // left / upper source element or row
  std::vector<int> weight;  // weight of the right / lower one, of 16384
};

Axis BuildAxis(int sourceLength, int written, double scaled) {
  Axis axis;
  double step = scaled > 1.0 ? double(sourceLength - 1) / (scaled - 1.0) : 0.0;
  double position = 0.0;
  for (int k = 0; k < written; k++) {
    int i = int(position + 1e-7);
    int f;
    if (i == sourceLength - 1) {
      i -= 1;
      f = 16384;
    } else {
      f = int((position - i) * 16384.0 + 1e-7);
    }
    axis.index.push_back(i);
    axis.weight.push_back(f);
    position += step;
  }
  return axis;
}

// A 640x480 YUY2 frame (320 pairs of pixels per row) enlarged to width x height pixels.
std::vector<uint8_t> IndependentUpscale(const std::vector<uint8_t>& frame, int width, int height,
                                        double factor) {
  const int pairs = 320, rows = 480, stride = 1280;
  const int outPairs = width / 2;
  Axis columns = BuildAxis(pairs, outPairs, pairs * factor);
  Axis lines = BuildAxis(rows, height, rows * factor);
  std::vector<uint8_t> out(size_t(width) * 2 * height);
  for (int y = 0; y < height; y++) {
    int upper = lines.index[y];
    int lowerWeight = lines.weight[y];
    for (int k = 0; k < outPairs; k++) {
      for (int byte = 0; byte < 4; byte++) {
        auto across = [&](int row) {
          const uint8_t* left = &frame[size_t(row) * stride + 4 * columns.index[k] + byte];
          int right = columns.weight[k];
          return (left[0] * (16384 - right) + left[4] * right + 128) >> 8;
        };
        uint32_t value = uint32_t(across(upper)) * uint32_t(16384 - lowerWeight) +
                         uint32_t(across(upper + 1)) * uint32_t(lowerWeight) + 524288;
        out[size_t(y) * width * 2 + 4 * k + byte] = uint8_t(value >> 20);
      }
    }
  }
  return out;
}

// --- Running the command -----------------------------------------------------------------------

struct Outcome {
  int status;
  std::string message;
};

class ScaleCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("lumocap_scale_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string PathOf(const std::string& name) const { return (directory_ / name).string(); }

  static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  static std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  // The program itself when the build names it, else the command's routine in this process.
  Outcome Scale(const std::vector<std::string>& args) {
#ifdef LUMOCAP_EXECUTABLE
    std::string command = std::string("'") + LUMOCAP_EXECUTABLE + "' scale";
    for (const std::string& arg : args) command += " '" + arg + "'";
    std::string messages = PathOf("stderr.txt");
    command += " 2>'" + messages + "'";
    int raw = std::system(command.c_str());
    std::ifstream in(messages);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text};
#else
    std::ostringstream err;
    int status = lumocap::RunScaleCommand(args, err);
    return {status, err.str()};
#endif
  }

  fs::path directory_;
};

std::vector<uint8_t> RandomFrame(uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> frame(614400);
  for (auto& byte : frame) byte = uint8_t(generator());
  return frame;
}

TEST_F(ScaleCommandTest, OutputEqualsTheIndependentUpscaleOnRandomFrames) {
  struct Size {
    int width, height;
    double factor;
  };
  const Size sizes[] = {{800, 600, 1.25}, {1024, 768, 1.6}, {1280, 960, 2.0}};
  for (uint32_t seed : {1u, 2u, 3u}) {
    auto frame = RandomFrame(seed);
    WriteFile(PathOf("in.yuy2"), frame);
    for (const Size& size : sizes) {
      std::string to = std::to_string(size.width) + "x" + std::to_string(size.height);
      Outcome outcome = Scale({"--to", to, PathOf("in.yuy2"), PathOf("out.yuy2")});
      ASSERT_EQ(0, outcome.status) << outcome.message;
      auto produced = ReadFile(PathOf("out.yuy2"));
      auto expected = IndependentUpscale(frame, size.width, size.height, size.factor);
      ASSERT_EQ(expected.size(), produced.size()) << to;
      size_t differing = 0, first = 0;
      for (size_t n = 0; n < expected.size(); n++) {
        if (expected[n] != produced[n] && differing++ == 0) first = n;
      }
      EXPECT_EQ(0u, differing) << to << " seed " << seed << ", first at byte " << first;
    }
  }
}

TEST_F(ScaleCommandTest, RefusesWhatItCannotScale) {
  WriteFile(PathOf("frame.yuy2"), RandomFrame(4));
  WriteFile(PathOf("short.yuy2"), std::vector<uint8_t>(614399, 1));
  WriteFile(PathOf("qvga.yuy2"), std::vector<uint8_t>(153600, 1));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;  // part of what the command says
  };
  const Case cases[] = {
      {{"--to", "800x600", PathOf("short.yuy2"), PathOf("out")}, 2, "614399 bytes"},
      {{"--to", "800x600", PathOf("qvga.yuy2"), PathOf("out")}, 2, "614400"},
      {{"--to", "800x600", PathOf("absent.yuy2"), PathOf("out")}, 1, "absent.yuy2"},
      {{"--to", "640x480", PathOf("frame.yuy2"), PathOf("out")}, 2, "unsupported size"},
      {{"--to", "800x601", PathOf("frame.yuy2"), PathOf("out")}, 2, "unsupported size"},
      {{"--to", "800", PathOf("frame.yuy2"), PathOf("out")}, 2, "unsupported size"},
      {{"--to", "x600", PathOf("frame.yuy2"), PathOf("out")}, 2, "unsupported size"},
      {{"--to", "-800x600", PathOf("frame.yuy2"), PathOf("out")}, 2, "unsupported size"},
      {{PathOf("frame.yuy2"), PathOf("out")}, 2, "usage"},
      {{"--to", "800x600", PathOf("frame.yuy2")}, 2, "usage"},
      {{"--to"}, 2, "--to"},
      {{"--size", "800x600", PathOf("frame.yuy2"), PathOf("out")}, 2, "unknown option"},
      {{"--to", "800x600", PathOf("frame.yuy2"), PathOf("no/such/dir/out")}, 1, "cannot create"},
  };
  for (const Case& c : cases) {
    Outcome outcome = Scale(c.args);
    std::string joined;
    for (const auto& arg : c.args) joined += arg + " ";
    EXPECT_EQ(c.status, outcome.status) << joined;
    EXPECT_NE(std::string::npos, outcome.message.find(c.message))
        << joined << " said: " << outcome.message;
    EXPECT_FALSE(fs::exists(PathOf("out"))) << joined;
  }
}

}  // namespace
