// ProcessRawFrame: copy for the camera's own sizes, the scaler for the three large ones, what a
// frame reports, and the bounds of the raw buffer and the destination it must respect.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <ksmedia.h>

#include "core/lumocam.h"
#include "datapath/camera_ops.h"
#include "datapath/frame_conversion.h"
#include "datapath/scaler.h"
#include "kernel/pool.h"
#include "kernel/simulation.h"

namespace {

using lumo::kernel::Pool;
using lumo::kernel::Simulation;

constexpr UCHAR kUntouched = 0xC3;
constexpr ULONG kScaledRawBytes = 16 + 614400;

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<DEVICE_CONTEXT>();
    std::memset(device_.get(), 0, sizeof(DEVICE_CONTEXT));
    device_->SensorType = SENSOR_TYPE_CONVERTED;
    device_->LastFrameNumber = 99;
  }

  void Deliver(ULONG fourcc, LONG width, LONG height, ULONG bitCount) {
    device_->DeliveredFourcc = fourcc;
    device_->DeliveredWidth = width;
    device_->DeliveredHeight = height;
    device_->DeliveredBitCount = bitCount;
  }

  // A raw frame: the first packet's header (frame number 42), then random image bytes.
  static std::vector<UCHAR> RawFrame(size_t bytes, uint32_t seed = 1) {
    std::mt19937 generator(seed);
    std::vector<UCHAR> raw(bytes);
    for (auto& byte : raw) byte = UCHAR(generator());
    if (bytes > 14) raw[14] = UCHAR(42 << 1 | 1);
    if (bytes > 12) raw[12] = PACKET_TYPE_FRAME_START;
    return raw;
  }

  ULONG Convert(std::vector<UCHAR>& destination, std::vector<UCHAR>& raw, ULONG received) {
    ULONG bytesReturned = 0xDEADBEEF;
    EXPECT_EQ(STATUS_SUCCESS,
              ProcessRawFrame(nullptr, device_.get(), nullptr, destination.data(),
                              ULONG(destination.size()), raw.data(), ULONG(raw.size()), 10,
                              &bytesReturned, received, 0));
    return bytesReturned;
  }

  std::unique_ptr<DEVICE_CONTEXT> device_;
};

bool AllUntouched(const std::vector<UCHAR>& bytes, size_t from = 0) {
  for (size_t n = from; n < bytes.size(); n++) {
    if (bytes[n] != kUntouched) return false;
  }
  return true;
}

TEST_F(ConversionTest, CameraSizesAreCopiedFromAfterTheHeader) {
  struct Size {
    LONG width, height;
  };
  for (Size size : {Size{320, 240}, Size{160, 120}, Size{640, 480}}) {
    Deliver(FOURCC_YUY2, size.width, size.height, 16);
    ULONG image = ULONG(2 * size.width * size.height);
    auto raw = RawFrame(16 + image);
    std::vector<UCHAR> destination(image + 64, kUntouched);
    EXPECT_EQ(image, Convert(destination, raw, 16 + image));
    EXPECT_EQ(0, std::memcmp(destination.data(), raw.data() + 16, image)) << size.width;
    EXPECT_TRUE(AllUntouched(destination, image));
    EXPECT_EQ(42, device_->LastFrameNumber);
  }
  // 320x240: 153,600 bytes.
  Deliver(FOURCC_YUY2, 320, 240, 16);
  auto raw = RawFrame(16 + 153600);
  std::vector<UCHAR> destination(153600, kUntouched);
  EXPECT_EQ(153600u, Convert(destination, raw, 16 + 153600));
}

TEST_F(ConversionTest, LargeSizesAreScaledFromTheCameraFrame) {
  Simulation sim;
  sim.Run([&] {
    for (const UPSCALE_ENTRY& entry : UPSCALE_TABLE) {
      Deliver(FOURCC_YUY2, entry.DeliveredWidth, entry.DeliveredHeight, 16);
      auto raw = RawFrame(kScaledRawBytes, entry.DeliveredWidth);
      ULONG frame = ULONG(2 * entry.DeliveredWidth * entry.DeliveredHeight);
      std::vector<UCHAR> destination(frame + 32, kUntouched);
      EXPECT_EQ(frame, Convert(destination, raw, kScaledRawBytes));

      std::vector<UCHAR> expected(frame + 32, kUntouched);
      ASSERT_EQ(SCALE_OK, ScalePackedYuv422Using(ScalerPathScalar, raw.data() + 16, {320, 480},
                                                 1280, {0, 0, 320, 480}, expected.data(),
                                                 entry.DestinationStep, entry.DestinationSize,
                                                 entry.Factor, entry.Factor, 2));
      EXPECT_TRUE(expected == destination) << entry.DeliveredWidth;
    }
  });
  // 1024x768 reports 1,572,864 bytes.
  EXPECT_EQ(1024 * 768 * 2, UPSCALE_TABLE[1].DeliveredWidth * UPSCALE_TABLE[1].DeliveredHeight * 2);
}

TEST_F(ConversionTest, UpscaleTableHoldsTheDriverConstants) {
  const struct {
    LONG width, height, elements, rows, step;
    double factor;
  } expected[] = {{800, 600, 400, 600, 1600, 1.25},
                  {1024, 768, 512, 768, 2048, 1.6},
                  {1280, 960, 640, 960, 2560, 2.0}};
  for (int n = 0; n < 3; n++) {
    const UPSCALE_ENTRY* entry = FindUpscaleEntry(expected[n].width, expected[n].height);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(expected[n].elements, entry->DestinationSize.Width);
    EXPECT_EQ(expected[n].rows, entry->DestinationSize.Height);
    EXPECT_EQ(expected[n].step, entry->DestinationStep);
    EXPECT_EQ(expected[n].factor, entry->Factor);
  }
  EXPECT_EQ(nullptr, FindUpscaleEntry(640, 480));
  EXPECT_EQ(nullptr, FindUpscaleEntry(960, 1280));
}

TEST_F(ConversionTest, HeaderOnlyFramesReportNothing) {
  Deliver(FOURCC_YUY2, 320, 240, 16);
  for (ULONG received : {0u, 15u, 16u}) {
    auto raw = RawFrame(16 + 153600);
    std::vector<UCHAR> destination(153600, kUntouched);
    device_->LastFrameNumber = 0;
    EXPECT_EQ(0u, Convert(destination, raw, received)) << received;
    EXPECT_TRUE(AllUntouched(destination));
    EXPECT_EQ(42, device_->LastFrameNumber) << "the frame number is taken before anything else";
  }
}

TEST_F(ConversionTest, ShortFrameIsConvertedFromTheWholeRawBuffer) {
  Deliver(FOURCC_YUY2, 160, 120, 16);
  auto raw = RawFrame(16 + 38400);
  std::vector<UCHAR> destination(38400, kUntouched);
  EXPECT_EQ(38400u, Convert(destination, raw, 17));
  EXPECT_EQ(0, std::memcmp(destination.data(), raw.data() + 16, 38400));
}

TEST_F(ConversionTest, OtherFormatsGetEmptyFrames) {
  struct Format {
    const char* name;
    ULONG fourcc;
    ULONG bitCount;
  };
  // I420 (a YUY2 subtype opened with 12 bits) and FOURCC 0 (24 bits): the camera makes neither.
  for (Format format : {Format{"I420", FOURCC_I420, 12}, Format{"none", 0, 24}}) {
    Deliver(format.fourcc, 320, 240, format.bitCount);
    auto raw = RawFrame(16 + 153600);
    std::vector<UCHAR> destination(153600, kUntouched);
    EXPECT_EQ(0u, Convert(destination, raw, 16 + 153600)) << format.name;
    EXPECT_TRUE(AllUntouched(destination)) << format.name;
  }
}

TEST_F(ConversionTest, NothingIsReadOrWrittenOutsideTheBuffers) {
  Simulation sim;
  sim.Run([&] {
    struct Case {
      const char* name;
      LONG width, height;
      size_t rawBytes, destinationBytes;
    };
    const Case cases[] = {
        // The format grew to 640x480 while the raw buffers are still those of 320x240.
        {"copy, raw buffer of a smaller size", 640, 480, 16 + 153600, 614400},
        {"copy, destination too small", 320, 240, 16 + 153600, 153599},
        {"scale, raw buffer of a smaller size", 1280, 960, 16 + 153600, 2457600},
        {"scale, raw buffer one byte short", 800, 600, kScaledRawBytes - 1, 960000},
        {"scale, destination too small", 1024, 768, kScaledRawBytes, 1572863},
    };
    for (const Case& c : cases) {
      Deliver(FOURCC_YUY2, c.width, c.height, 16);
      auto raw = RawFrame(c.rawBytes);
      std::vector<UCHAR> destination(c.destinationBytes, kUntouched);
      EXPECT_EQ(0u, Convert(destination, raw, ULONG(c.rawBytes))) << c.name;
      EXPECT_TRUE(AllUntouched(destination)) << c.name;
    }
  });
}

// Delivered sizes, raw buffers and destinations of every size, exact-size buffers: what is
// reported never exceeds the destination, and the sanitizer build stops any stray access.
TEST_F(ConversionTest, RandomSizesAndBuffersStayInBounds) {
  Simulation sim;
  sim.Run([&] {
    std::mt19937 generator(20261211);
    const struct {
      LONG width, height;
    } sizes[] = {{160, 120}, {320, 240}, {640, 480}, {800, 600}, {1024, 768}, {1280, 960}, {2, 1}};
    for (int n = 0; n < 60; n++) {
      auto size = sizes[generator() % (sizeof(sizes) / sizeof(sizes[0]))];
      Deliver(generator() % 6 == 0 ? FOURCC_I420 : FOURCC_YUY2, size.width, size.height,
              generator() % 6 == 0 ? 24 : 16);
      size_t frame = size_t(2) * size.width * size.height;
      size_t rawBytes = generator() % 3 == 0 ? generator() % (16 + 614400 + 32)
                                             : 16 + (generator() % 2 ? frame : 614400);
      size_t destinationBytes = generator() % 3 == 0 ? generator() % (frame + 64) : frame;
      auto raw = RawFrame(rawBytes, n);
      std::vector<UCHAR> destination(destinationBytes, kUntouched);
      ULONG received = rawBytes == 0 ? 0 : ULONG(generator() % (rawBytes + 1));
      ULONG reported = Convert(destination, raw, received);
      ASSERT_LE(reported, destinationBytes) << n;
      if (reported == 0) {
        ASSERT_TRUE(AllUntouched(destination)) << n;
      }
    }
  });
}

TEST_F(ConversionTest, FailedScalerLeavesTheBufferButReportsTheFrame) {
  Simulation sim;
  sim.Run([&] {
    Deliver(FOURCC_YUY2, 800, 600, 16);
    auto raw = RawFrame(kScaledRawBytes);
    std::vector<UCHAR> destination(960000, kUntouched);
    Pool& pool = sim.Get<Pool>();
    pool.FailTag(lumo::kernel::MakePoolTag("Wdm "));
    EXPECT_EQ(960000u, Convert(destination, raw, kScaledRawBytes));
    pool.ClearFaults();
    EXPECT_TRUE(AllUntouched(destination));
    EXPECT_EQ(0u, pool.Statistics().blocksInUse);
  });
}

}  // namespace
