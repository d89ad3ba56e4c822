// The camera's picture: a synthetic moving scene in packed YUV 4:2:2 (Y0 U Y1 V per pixel
// pair), shaped by the sensor's picture registers, or the bridge's test pattern instead of it.
// Rows are produced on demand, so a frame is generated straight into the packets that carry it
// with no per-frame allocation.
//
// Every frame carries its own truth: rows 0 to 3 hold the bridge's stamp, the 32-bit frame
// sequence number as 32 cells of black (0) or white (1), most significant bit first, never
// mirrored, flipped or shaped; and the scene shows the sequence number as digits and a box
// whose position follows the sequence number. RenderFrame gives the exact bytes of any frame
// from its parameters, so a test can compare what came out with what went in.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace lumo::sim {

// The sensor and bridge settings that shape a frame, latched at the frame's start.
struct PictureSettings {
  int8_t brightness = 0;   // sensor 0xE6
  int8_t contrast = 0;     // sensor 0xE7
  int8_t saturation = 0;   // sensor 0xF2
  uint8_t gamma = 0xEE;    // sensor 0xE8; 0xEE is off
  bool mirror = false;     // sensor 0xFD bit 7
  bool flip = false;       // sensor 0xFD bit 6 clear
  bool lowLight = false;   // sensor 0xFD bit 1
  bool flickerLocked = true;  // sensor 0xE9 bit 5: exposure locked to the 60-Hz lamps
  bool testPattern = false;   // bridge 0x0100 bit 6
  bool operator==(const PictureSettings&) const = default;
};

struct FrameParams {
  uint32_t sequence = 0;   // frames started since power-on
  int64_t time = 0;        // virtual time of the frame's first packet, 100 ns
  uint32_t width = 0;
  uint32_t height = 0;
  PictureSettings picture;
};

constexpr uint32_t kStampRows = 4;
constexpr uint32_t kStampBits = 32;

class SceneRenderer {
 public:
  // Prepares the renderer for one frame; tables are rebuilt only when size or settings change.
  void Begin(const FrameParams& frame);
  // Writes row `row` (0 = top of the delivered image) of the current frame: 2 x width bytes.
  void RenderRow(uint32_t row, uint8_t* out);
  uint32_t RowBytes() const { return frame_.width * 2; }

  // The whole frame, 2 x width x height bytes.
  static void RenderFrame(const FrameParams& frame, uint8_t* out);

 private:
  void BuildBackground();
  void BuildTables();
  void DrawSceneObjects(uint32_t sceneRow, uint8_t* row) const;

  FrameParams frame_;
  uint32_t builtWidth_ = 0;
  uint32_t builtHeight_ = 0;
  bool tablesBuilt_ = false;
  PictureSettings builtPicture_;
  std::vector<uint8_t> background_;  // unshaped scene background
  std::vector<uint8_t> pattern_;     // the bridge's test pattern
  std::vector<uint8_t> stamp_;       // one stamp row of the current frame
  std::vector<uint8_t> scratch_;     // one scene row before shaping
  static constexpr int kBandLevels = 16;
  std::array<std::array<uint8_t, 256>, kBandLevels> lumaTables_;
  std::array<uint8_t, 256> chromaTable_;
};

// Reads the stamp of a delivered image (rows 0 to 3). Returns false when the cells are not
// clearly black or white.
bool DecodeFrameStamp(const uint8_t* image, uint32_t width, uint32_t height, uint32_t* sequence);

}  // namespace lumo::sim
