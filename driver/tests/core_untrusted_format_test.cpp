// Ranges and formats from clients are untrusted: seeded random ones, most of them near the
// offered ranges, go through the intersection and the format check. Every answer must be one of
// the documented statuses, a successful one a well-formed format, and nothing may be read or
// written outside the buffers (the stand-in checks the bytes behind every answer; the sanitizer
// build checks reads).
#include <cstring>
#include <random>

#include "core_harness.h"

namespace lumo::drivertest {
namespace {

// Flips a few random bits of a range or format, mostly in the fields the checks read.
void Mutate(std::mt19937& random, uint8_t* bytes, size_t size) {
  const int flips = int(random() % 4);
  for (int i = 0; i < flips; i++) {
    const size_t offset = random() % size;
    bytes[offset] ^= uint8_t(1u << (random() % 8));
  }
}

TEST_F(CoreTest, RandomRangesGetADocumentedAnswerAndAWellFormedFormat) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    std::mt19937 random(20261211);
    const KS_DATARANGE_VIDEO* offered[] = {&R640, &R1280, &R1024, &R800, &R320, &R160};
    int matched = 0;
    for (int round = 0; round < 3000; round++) {
      KS_DATARANGE_VIDEO range = *offered[random() % 6];
      if (random() % 3 != 0) Mutate(random, reinterpret_cast<uint8_t*>(&range), sizeof range);
      if (random() % 8 == 0) range.VideoInfoHeader.bmiHeader.biSize = random() % 64;
      if (random() % 8 == 0) range.VideoInfoHeader.bmiHeader.biBitCount = WORD(random());
      // The range as the class hands it over: FormatSize bytes, never more than the buffer.
      ULONG rangeBytes = range.DataRange.FormatSize;
      if (rangeBytes < sizeof(KSDATARANGE) || rangeBytes > sizeof range) {
        rangeBytes = range.DataRange.FormatSize = sizeof(KSDATARANGE) + random() % 232;
      }
      std::vector<uint8_t> exact(rangeBytes);
      std::memcpy(exact.data(), &range, rangeBytes);
      const ULONG bufferBytes = ULONG(random() % 3 == 0 ? 0 : random() % 200);
      std::vector<uint8_t> format;
      Device::Result result = device.Intersect(0, exact.data(), rangeBytes, bufferBytes, &format);
      SCOPED_TRACE(round);
      switch (result.status) {
        case STATUS_NO_MATCH:
        case STATUS_BUFFER_TOO_SMALL:
          EXPECT_TRUE(format.empty());
          break;
        case STATUS_BUFFER_OVERFLOW:
          EXPECT_EQ(bufferBytes, 0u);
          EXPECT_EQ(result.actualBytes, 152u);
          break;
        case STATUS_SUCCESS: {
          ++matched;
          ASSERT_EQ(result.actualBytes, 152u);
          ASSERT_EQ(format.size(), 152u);
          auto* head = reinterpret_cast<const KSDATAFORMAT*>(format.data());
          auto* video = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + 64);
          EXPECT_EQ(head->FormatSize, 152u);
          EXPECT_EQ(video->bmiHeader.biSize, 40u);
          EXPECT_EQ(head->SampleSize, video->bmiHeader.biSizeImage);
          EXPECT_EQ(video->AvgTimePerFrame, 333333);
          // What matched is offered: the format passes the format check unless its bit count
          // changed the image size.
          if (video->bmiHeader.biBitCount == 16) {
            EXPECT_TRUE(IsFormatSupported(head, 0));
          }
          break;
        }
        default:
          ADD_FAILURE() << "status " << std::hex << result.status;
      }
    }
    // The mix exercised both the matches and the refusals.
    EXPECT_GT(matched, 100);
    EXPECT_LT(matched, 2700);
  });
}

TEST(UntrustedFormats, RandomFormatsAreCheckedWithinTheirSize) {
  DEVICE_CONTEXT device{};
  device.PacketsPerTransfer = 256;
  SelectCatalogue(&device);
  std::mt19937 random(7);
  const KS_DATARANGE_VIDEO* offered[] = {&R640, &R1280, &R1024, &R800, &R320, &R160};
  int accepted = 0;
  for (int round = 0; round < 5000; round++) {
    struct {
      KSDATAFORMAT head;
      KS_VIDEOINFOHEADER video;
    } format{};
    const KS_DATARANGE_VIDEO& range = *offered[random() % 6];
    format.head = range.DataRange;
    format.head.FormatSize = sizeof format;
    format.video = range.VideoInfoHeader;
    if (random() % 2) Mutate(random, reinterpret_cast<uint8_t*>(&format), sizeof format);
    if (random() % 6 == 0) format.head.FormatSize = ULONG(random() % (sizeof format + 1));
    // Exactly FormatSize bytes (at least the head the class always has), so that a read past
    // the format leaves the allocation.
    const size_t bytes = std::min<size_t>(std::max<size_t>(format.head.FormatSize, 64),
                                          sizeof format);
    std::vector<uint8_t> exact(bytes);
    std::memcpy(exact.data(), &format, bytes);
    const bool supported = IsFormatSupported(reinterpret_cast<const KSDATAFORMAT*>(exact.data()), 0);
    if (supported) {
      ++accepted;
      EXPECT_GE(format.head.FormatSize, 152u);
      EXPECT_GE(format.video.bmiHeader.biSize, 40u);
      EXPECT_LE(format.video.bmiHeader.biSize, format.head.FormatSize - 112);
    }
  }
  EXPECT_GT(accepted, 500);
  ResetCatalogue();
}

}  // namespace
}  // namespace lumo::drivertest
