// The synthetic scene, the test pattern, the stamp and the picture shaping tables.
#include "scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lumo::sim {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

// Colour bars at 75 %, left to right.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
constexpr Yuv kBoxColour = {170, 60, 200};  // orange
constexpr Yuv kCounterPaper = {235, 128, 128};
constexpr Yuv kCounterInk = {16, 128, 128};
constexpr uint8_t kStampOne = 235;
constexpr uint8_t kStampZero = 16;
constexpr int kCounterDigits = 6;

// 5 x 7 digits, one byte per row, bit 4 leftmost.
constexpr uint8_t kDigitFont[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};

uint8_t Clamp(double value) {
  return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

void PutPixel(uint8_t* row, uint32_t x, Yuv c) {
  uint8_t* pair = row + (x & ~1u) * 2;
  pair[(x & 1) ? 2 : 0] = c.y;
  pair[1] = c.u;
  pair[3] = c.v;
}

void FillSpan(uint8_t* row, uint32_t x0, uint32_t x1, Yuv c) {
  for (uint32_t x = x0; x < x1; ++x) PutPixel(row, x, c);
}

// Geometry of the moving box and the counter, in scene coordinates.
struct Layout {
  uint32_t boxX, boxY, boxW, boxH;
  uint32_t counterX, counterY, scale;
};

Layout LayoutFor(const FrameParams& f) {
  Layout l;
  l.boxW = std::max<uint32_t>(2, f.width / 8);
  l.boxH = std::max<uint32_t>(2, f.height / 5);
  const uint32_t travel = f.width > l.boxW ? f.width - l.boxW : 0;
  // Bounces across the picture in 60 frames (two seconds) each way.
  const uint32_t phase = f.sequence % 120;
  const uint32_t along = phase < 60 ? phase : 120 - phase;
  l.boxX = travel * along / 60;
  l.boxY = f.height * 2 / 5;
  l.scale = std::max<uint32_t>(1, f.height / 120);
  l.counterX = 2 * l.scale;
  l.counterY = kStampRows + 2 * l.scale;
  return l;
}

}  // namespace

void SceneRenderer::Begin(const FrameParams& frame) {
  frame_ = frame;
  if (frame.width != builtWidth_ || frame.height != builtHeight_) BuildBackground();
  if (!tablesBuilt_ || !(frame.picture == builtPicture_)) BuildTables();
  // The stamp row of this frame.
  const uint32_t cell = std::max<uint32_t>(1, frame.width / kStampBits);
  for (uint32_t x = 0; x < frame.width; ++x) {
    const uint32_t bit = x / cell;
    const bool one = bit < kStampBits && ((frame.sequence >> (kStampBits - 1 - bit)) & 1);
    PutPixel(stamp_.data(), x, {one ? kStampOne : kStampZero, 128, 128});
  }
}

void SceneRenderer::BuildBackground() {
  const uint32_t w = frame_.width, h = frame_.height, rowBytes = w * 2;
  background_.assign(size_t(rowBytes) * h, 0);
  pattern_.assign(size_t(rowBytes) * h, 0);
  stamp_.assign(rowBytes, 0);
  scratch_.assign(rowBytes, 0);
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = background_.data() + size_t(y) * rowBytes;
    uint8_t* pat = pattern_.data() + size_t(y) * rowBytes;
    for (uint32_t x = 0; x < w; ++x) {
      Yuv c;
      if (y < h * 2 / 3) {
        c = kBars[x * 8 / w];
      } else if (y < h * 5 / 6) {
        c = {static_cast<uint8_t>(16 + 219 * x / std::max<uint32_t>(1, w - 1)), 128, 128};
      } else {
        // A chroma sweep at mid grey: U falls and V rises from left to right.
        const uint32_t t = 255 * x / std::max<uint32_t>(1, w - 1);
        c = {128, static_cast<uint8_t>(255 - t), static_cast<uint8_t>(t)};
      }
      PutPixel(row, x, c);
      // Test pattern: an 8 x 6 grid of flat colours with a one-pixel white grid, made by the
      // bridge and therefore untouched by the sensor's picture registers.
      const uint32_t gx = x * 8 / w, gy = y * 6 / h;
      const bool line = (x * 8 % w) < 8 || (y * 6 % h) < 6;
      const uint8_t index = static_cast<uint8_t>(gx + gy * 8);
      Yuv p = line ? Yuv{235, 128, 128}
                   : Yuv{static_cast<uint8_t>(40 + (index * 37) % 180),
                         static_cast<uint8_t>((index * 53) & 0xFF),
                         static_cast<uint8_t>((index * 97 + 64) & 0xFF)};
      PutPixel(pat, x, p);
    }
  }
  builtWidth_ = w;
  builtHeight_ = h;
}

void SceneRenderer::BuildTables() {
  const PictureSettings& p = frame_.picture;
  const double contrast = (128.0 + p.contrast) / 128.0;
  const double saturation = std::max(0, 100 + p.saturation) / 100.0 * (p.lowLight ? 0.6 : 1.0);
  const bool gammaOn = p.gamma != 0xEE;
  const double exponent = gammaOn ? 49.0 / (std::min<int>(p.gamma, 63) + 1) : 1.0;
  for (int level = 0; level < kBandLevels; ++level) {
    // Unlocked exposure under 60-Hz lamps shows as dark bands up to 30 % deep.
    const double band = p.flickerLocked ? 1.0 : 1.0 - 0.3 * level / (kBandLevels - 1);
    for (int v = 0; v < 256; ++v) {
      double y = (v - 128) * contrast + 128 + p.brightness;
      if (p.lowLight) y = y * 1.6 + 12;
      y = std::clamp(y, 0.0, 255.0);
      if (gammaOn) y = 255.0 * std::pow(y / 255.0, exponent);
      lumaTables_[level][v] = Clamp(y * band);
    }
  }
  for (int v = 0; v < 256; ++v) chromaTable_[v] = Clamp((v - 128) * saturation + 128);
  builtPicture_ = p;
  tablesBuilt_ = true;
}

void SceneRenderer::DrawSceneObjects(uint32_t sceneRow, uint8_t* row) const {
  const Layout l = LayoutFor(frame_);
  if (sceneRow >= l.boxY && sceneRow < l.boxY + l.boxH) {
    FillSpan(row, l.boxX, std::min(frame_.width, l.boxX + l.boxW), kBoxColour);
  }
  const uint32_t glyphW = 6 * l.scale;  // 5 columns and a gap
  const uint32_t paperX1 = std::min(frame_.width, l.counterX + kCounterDigits * glyphW + l.scale);
  const uint32_t paperY0 = l.counterY - l.scale, paperY1 = l.counterY + 8 * l.scale;
  if (sceneRow < paperY0 || sceneRow >= paperY1) return;
  const uint32_t paperX0 = l.counterX - l.scale;
  FillSpan(row, paperX0, paperX1, kCounterPaper);
  if (sceneRow < l.counterY || sceneRow >= l.counterY + 7 * l.scale) return;
  const uint32_t fontRow = (sceneRow - l.counterY) / l.scale;
  uint32_t value = frame_.sequence;
  for (int d = kCounterDigits - 1; d >= 0; --d) {
    const uint8_t bits = kDigitFont[value % 10][fontRow];
    value /= 10;
    for (uint32_t col = 0; col < 5; ++col) {
      if (!(bits & (0x10 >> col))) continue;
      const uint32_t x0 = l.counterX + d * glyphW + col * l.scale;
      FillSpan(row, std::min(x0, frame_.width), std::min(x0 + l.scale, frame_.width), kCounterInk);
    }
  }
}

void SceneRenderer::RenderRow(uint32_t row, uint8_t* out) {
  const uint32_t w = frame_.width, h = frame_.height, rowBytes = w * 2;
  if (row < kStampRows) {
    std::memcpy(out, stamp_.data(), rowBytes);
    return;
  }
  const PictureSettings& p = frame_.picture;
  if (p.testPattern) {
    std::memcpy(out, pattern_.data() + size_t(row) * rowBytes, rowBytes);
    // A marker that walks along the rows with the frames, so that a test-pattern stream
    // still shows motion.
    if (row == (frame_.sequence * 4) % h) std::memset(out, 235, rowBytes);
    return;
  }
  const uint32_t sceneRow = p.flip ? h - 1 - row : row;
  std::memcpy(scratch_.data(), background_.data() + size_t(sceneRow) * rowBytes, rowBytes);
  DrawSceneObjects(sceneRow, scratch_.data());
  int level = 0;
  if (!p.flickerLocked) {
    // Three bands per picture that roll with the frames.
    const double phase = 2 * M_PI * (3.0 * row / h + (frame_.sequence % 10) / 10.0);
    level = static_cast<int>((0.5 + 0.5 * std::sin(phase)) * (kBandLevels - 1) + 0.5);
  }
  const uint8_t* luma = lumaTables_[level].data();
  const uint8_t* chroma = chromaTable_.data();
  const uint8_t* in = scratch_.data();
  const uint32_t pairs = w / 2;
  if (p.mirror) {
    for (uint32_t i = 0; i < pairs; ++i) {
      const uint8_t* s = in + size_t(pairs - 1 - i) * 4;
      uint8_t* d = out + size_t(i) * 4;
      d[0] = luma[s[2]];
      d[1] = chroma[s[1]];
      d[2] = luma[s[0]];
      d[3] = chroma[s[3]];
    }
  } else {
    for (uint32_t i = 0; i < pairs; ++i) {
      const uint8_t* s = in + size_t(i) * 4;
      uint8_t* d = out + size_t(i) * 4;
      d[0] = luma[s[0]];
      d[1] = chroma[s[1]];
      d[2] = luma[s[2]];
      d[3] = chroma[s[3]];
    }
  }
}

void SceneRenderer::RenderFrame(const FrameParams& frame, uint8_t* out) {
  SceneRenderer renderer;
  renderer.Begin(frame);
  for (uint32_t row = 0; row < frame.height; ++row) {
    renderer.RenderRow(row, out + size_t(row) * renderer.RowBytes());
  }
}

bool DecodeFrameStamp(const uint8_t* image, uint32_t width, uint32_t height, uint32_t* sequence) {
  if (width < kStampBits || height < kStampRows) return false;
  const uint32_t cell = width / kStampBits;
  const uint32_t row = 1;  // away from the edge a scaler blurs
  uint32_t value = 0;
  for (uint32_t bit = 0; bit < kStampBits; ++bit) {
    const uint32_t x = bit * cell + cell / 2;
    const uint8_t y = image[size_t(row) * width * 2 + (x & ~1u) * 2 + ((x & 1) ? 2 : 0)];
    if (y > 100 && y < 150) return false;
    value = (value << 1) | (y >= 128 ? 1 : 0);
  }
  *sequence = value;
  return true;
}

}  // namespace lumo::sim
