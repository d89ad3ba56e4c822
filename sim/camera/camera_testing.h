// Test and tool support for the simulated camera: a host-side master of the sensor's two-wire
// bus that moves the bridge's pins one level change per vendor request, exactly in the order
// the camera's driver uses, and the bridge tables that bring the camera up and choose its
// capture window. The transport decides how a register access reaches the camera (straight
// into the model, or as URBs through the bus).
#pragma once

#include <cstdint>
#include <functional>

#include "registers.h"

namespace lumo::sim::testing {

struct RegisterPair {
  uint16_t reg;
  uint16_t value;
};

// The bridge reset and initialisation table of the bring-up, in order.
inline constexpr RegisterPair kBridgeReset[] = {
    {0x0200, 0x0000}, {0x0210, 0x0000}, {0x0700, 0x000B}, {0x0722, 0x0000}, {0x0712, 0x0060}};
inline constexpr RegisterPair kBridgeResetTail[] = {{0x07E0, 0xFF00}};
inline constexpr RegisterPair kBridgeInitTable[] = {
    {0x0720, 0x0001}, {0x0720, 0x0010}, {0x0710, 0x0011}, {0x0712, 0x0020}, {0x0210, 0x0000},
    {0x07F0, 0x0084}, {0x0780, 0x0011}, {0x0500, 0x0500}, {0x0500, 0x0501}, {0x0300, 0x0000},
    {0x0100, 0x0007}, {0x0100, 0x0003}, {0x0110, 0x0005}, {0x0110, 0x0001}, {0x0102, 0x0000},
    {0x0112, 0x0000}, {0x0122, 0x0000}, {0x0200, 0x0215}, {0x0950, 0xFFFF}, {0x0952, 0xFFFF},
    {0x0902, 0x0020}, {0x0904, 0x00F0}, {0x0302, 0x0010}, {0x0304, 0x0000}, {0x0310, 0x0000},
    {0x0370, 0x0100}, {0x0372, 0x0000}, {0x0374, 0x0100}, {0x0376, 0x0000}};
// Capture window records: 640 x 480, 320 x 240, 160 x 120. The last register enables capture.
inline constexpr uint16_t kCaptureWindowRegisters[8] = {0x0360, 0x0362, 0x0364, 0x0366,
                                                        0x0310, 0x0312, 0x0314, 0x0300};
inline constexpr uint16_t kCaptureWindows[3][8] = {
    {0x013E, 0x063E, 0x0001, 0x01E1, 0x0000, 0x1000, 0x0000, 0x0003},
    {0x013E, 0x063E, 0x0001, 0x01E1, 0x0000, 0x07FD, 0x07FC, 0x00E3},
    {0x013E, 0x063E, 0x0001, 0x01E1, 0x0000, 0x03FC, 0x03FA, 0x00E3}};
// The sensor register script written at every stream start, then the image controls'
// defaults (brightness, contrast and saturation -1, gamma off), as (register, value).
inline constexpr RegisterPair kDefaultScript[] = {
    {0xDF, 0x12}, {0xF0, 0xC5}, {0xE9, 0x6F}, {0x28, 0x10}, {0x15, 0x2F}, {0x16, 0xF6},
    {0x17, 0xFA}, {0x18, 0xF7}, {0x19, 0x22}, {0x1A, 0xF7}, {0x1B, 0xFE}, {0x1C, 0xF0},
    {0x1D, 0x2E}, {0xFE, 0x40}, {0xEF, 0x61}, {0xEB, 0x90}, {0xEC, 0x01}, {0x01, 0x75},
    {0x03, 0x20}, {0x0B, 0xEF}, {0x80, 0x1F}, {0x82, 0x31}, {0xE8, 0x30}};
inline constexpr RegisterPair kDefaultImageControls[] = {
    {0xE6, 0xFF}, {0xE7, 0xFF}, {0xF2, 0xFF}, {0xFD, 0x40}};

// The power-down writes: plain writes, then read-modify-writes (register, and-mask, or-mask).
inline constexpr RegisterPair kPowerDownWrites[] = {{0x0100, 0x0000}, {0x0110, 0x0000},
                                                    {0x0300, 0x0000}, {0x0720, 0x0001},
                                                    {0x0500, 0x0100}, {0x0200, 0x0000}};
struct ReadModifyWrite {
  uint16_t reg;
  uint16_t andMask;
  uint16_t orMask;
};
inline constexpr ReadModifyWrite kPowerDownUpdates[] = {
    {0x0700, 0xFFFB, 0x0000}, {0x0712, 0xFFFF, 0x00C0}, {0x0722, 0xFF1F, 0x0000}};

// How one bridge register access reaches the camera.
struct BridgeAccess {
  std::function<void(uint16_t reg, uint16_t value)> write;
  std::function<uint16_t(uint16_t reg)> read;
};

inline void BringUp(const BridgeAccess& bridge) {
  for (const RegisterPair& p : kBridgeReset) bridge.write(p.reg, p.value);
  for (const RegisterPair& p : kBridgeResetTail) bridge.write(p.reg, p.value);
  for (const RegisterPair& p : kBridgeInitTable) bridge.write(p.reg, p.value);
}

inline void SetCaptureWindow(const BridgeAccess& bridge, int record) {
  for (int i = 0; i < 8; ++i) bridge.write(kCaptureWindowRegisters[i], kCaptureWindows[record][i]);
}

inline void PowerDown(const BridgeAccess& bridge) {
  for (const RegisterPair& p : kPowerDownWrites) bridge.write(p.reg, p.value);
  for (const ReadModifyWrite& u : kPowerDownUpdates) {
    bridge.write(u.reg, static_cast<uint16_t>((bridge.read(u.reg) & u.andMask) | u.orMask));
  }
  bridge.write(0x0210, 0x0000);
}

// The host side of the two-wire bus, one bridge access per level change.
class SensorBusMaster {
 public:
  explicit SensorBusMaster(const BridgeAccess& bridge) : bridge_(bridge) {
    dirShadow_ = Read(kRegGpioBDir);
    outShadow_ = Read(kRegGpioBOut);
    transfers_ = 0;
  }

  // One complete sensor register write; returns how many of the three bytes were acknowledged.
  int WriteRegister(uint8_t address, uint8_t reg, uint8_t value) {
    PrepareBridge();
    Start();
    int acks = WriteByte(address);
    acks += WriteByte(reg);
    acks += WriteByte(value);
    Stop();
    return acks;
  }

  // One complete sensor register read with a repeated start; `acks` receives how many of the
  // three address and register bytes were acknowledged.
  uint8_t ReadRegister(uint8_t address, uint8_t reg, int* acks = nullptr) {
    PrepareBridge();
    Start();
    int acknowledged = WriteByte(address);
    acknowledged += WriteByte(reg);
    Start();
    acknowledged += WriteByte(static_cast<uint8_t>(address | 1));
    const uint8_t value = ReadByte(1);
    Stop();
    if (acks) *acks = acknowledged;
    return value;
  }

  uint64_t Transfers() const { return transfers_; }

 private:
  void Write(uint16_t reg, uint16_t value) {
    ++transfers_;
    bridge_.write(reg, value);
  }
  uint16_t Read(uint16_t reg) {
    ++transfers_;
    return bridge_.read(reg);
  }
  void PrepareBridge() {
    Write(0x0900, Read(0x0900) & 0xFFFA);
    Write(0x0700, Read(0x0700) & 0x000B);
  }
  void SetData(int level) {
    Write(kRegGpioBDir, dirShadow_ | kPinSda);
    outShadow_ = level ? (outShadow_ | kPinSda) : (outShadow_ & ~kPinSda);
    Write(kRegGpioBOut, outShadow_);
  }
  void SetClock(int level) {
    outShadow_ = level ? (outShadow_ | kPinScl) : (outShadow_ & ~kPinScl);
    Write(kRegGpioBOut, outShadow_);
  }
  int Sample(bool release) {
    if (release) Write(kRegGpioBDir, dirShadow_ & ~kPinSda);
    return (Read(kRegGpioBIn) & kPinSda) ? 1 : 0;
  }
  void Start() {
    SetData(1);
    SetClock(1);
    SetData(0);
    SetClock(0);
  }
  void Stop() {
    SetClock(0);
    SetData(0);
    SetClock(1);
    SetData(1);
  }
  int WriteByte(uint8_t byte) {
    for (int bit = 7; bit >= 0; --bit) {
      SetClock(0);
      SetData((byte >> bit) & 1);
      SetClock(1);
    }
    SetClock(0);
    Write(kRegGpioBDir, dirShadow_ & ~kPinSda);
    SetClock(1);
    const int level = Sample(false);
    SetClock(0);
    return level == 0 ? 1 : 0;
  }
  uint8_t ReadByte(int ackLevel) {
    uint8_t value = 0;
    SetClock(0);
    for (int bit = 0; bit < 8; ++bit) {
      SetClock(0);
      SetClock(0);
      SetClock(1);
      value = static_cast<uint8_t>((value << 1) | Sample(true));
    }
    SetClock(0);
    SetData(ackLevel);
    SetClock(1);
    SetClock(0);
    return value;
  }

  BridgeAccess bridge_;
  uint16_t dirShadow_ = 0;
  uint16_t outShadow_ = 0;
  uint64_t transfers_ = 0;
};

}  // namespace lumo::sim::testing
