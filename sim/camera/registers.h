// The camera's register map, vendor requests and video packet format, as the simulated
// hardware implements them. README.md beside this file explains each entry.
#pragma once

#include <cstdint>

namespace lumo::sim {

// ---- Vendor requests on the default pipe (type vendor, recipient device) ----
constexpr uint8_t kVendorReadRegister = 0x00;   // bmRequestType 0xC0, wIndex = register, wLength 2
constexpr uint8_t kVendorWriteRegister = 0x01;  // bmRequestType 0x40, wValue value, wIndex reg
constexpr uint8_t kRequestTypeVendorIn = 0xC0;
constexpr uint8_t kRequestTypeVendorOut = 0x40;

// ---- Bridge registers (16-bit numbers, 16-bit values) ----
constexpr uint16_t kRegControl = 0x0100;        // bits 0,1 video path enable; bit 6 test pattern
constexpr uint16_t kControlEnableMask = 0x0003;
constexpr uint16_t kControlTestPattern = 0x0040;
constexpr uint16_t kRegFifoControl = 0x0110;    // bit 0 video FIFO enable
constexpr uint16_t kRegSensorClock = 0x0200;    // bit 0 sensor clock running
constexpr uint16_t kRegCapture = 0x0300;        // bits 0,1 capture on; bits 5, 6 h and v scaling
constexpr uint16_t kCaptureEnableMask = 0x0003;
constexpr uint16_t kCaptureHScale = 0x0020;
constexpr uint16_t kCaptureVScale = 0x0040;
constexpr uint16_t kRegHScale = 0x0312;         // output/input x 4096
constexpr uint16_t kRegVScale = 0x0314;
constexpr uint16_t kRegWindowXStart = 0x0360;   // horizontal window, in half pixels
constexpr uint16_t kRegWindowXEnd = 0x0362;
constexpr uint16_t kRegWindowYStart = 0x0364;   // vertical window, in lines
constexpr uint16_t kRegWindowYEnd = 0x0366;
constexpr uint16_t kRegAuxControl = 0x0500;     // bit 0 auxiliary unit running
constexpr uint16_t kRegAuxStatus = 0x0510;      // bit 0 busy, bit 1 error, bit 2 ready
constexpr uint16_t kAuxBusy = 0x0001;
constexpr uint16_t kAuxError = 0x0002;
constexpr uint16_t kAuxReady = 0x0004;
constexpr uint16_t kRegAuxWriteAddr = 0x0520;
constexpr uint16_t kRegAuxWriteData = 0x0522;   // writing it performs the write
constexpr uint16_t kRegAuxReadAddr = 0x0530;    // writing it performs the read
constexpr uint16_t kRegAuxReadData = 0x0532;
constexpr uint16_t kRegPinConfig = 0x0700;
constexpr uint16_t kRegGpioADir = 0x0710;       // sensor control pins: bit 0 power-down
constexpr uint16_t kRegGpioBDir = 0x0712;       // two-wire bus pins
constexpr uint16_t kRegGpioAOut = 0x0720;
constexpr uint16_t kRegGpioBOut = 0x0722;
constexpr uint16_t kRegGpioAIn = 0x0730;
constexpr uint16_t kRegGpioBIn = 0x0732;
constexpr uint16_t kRegSensorType = 0x07F0;
constexpr uint16_t kPinSensorPowerDown = 0x0001;  // on GPIO bank A
constexpr uint16_t kPinScl = 0x0020;              // on GPIO bank B
constexpr uint16_t kPinSda = 0x0040;

struct BridgeResetValue {
  uint16_t reg;
  uint16_t value;
};
// Every other bridge register resets to 0.
inline constexpr BridgeResetValue kBridgeResetValues[] = {
    {kRegWindowXStart, 0x013E}, {kRegWindowXEnd, 0x063E}, {kRegWindowYStart, 0x0001},
    {kRegWindowYEnd, 0x01E1},   {kRegHScale, 0x1000},     {kRegPinConfig, 0x000B},
};

// ---- Auxiliary unit: 256 16-bit registers ----
constexpr uint16_t kAuxRegisterCount = 256;
constexpr uint16_t kAuxIdRegister = 0x00;
constexpr uint16_t kAuxIdValue = 0x4417;
constexpr int64_t kAuxOperationTime = 1000;  // 100 us busy after each access

// ---- Sensor registers (8-bit numbers, 8-bit values) ----
constexpr uint8_t kSensorBrightness = 0xE6;  // signed offset
constexpr uint8_t kSensorContrast = 0xE7;    // signed, gain (128 + c) / 128
constexpr uint8_t kSensorGamma = 0xE8;       // 0xEE off; else exponent 49 / (g + 1)
constexpr uint8_t kSensorLighting = 0xE9;    // bit 5 60-Hz flicker lock, bit 4 50-Hz
constexpr uint8_t kSensorSaturation = 0xF2;  // signed, gain (100 + s) / 100
constexpr uint8_t kSensorOptions = 0xFD;     // bit 7 mirror, bit 6 clear = flip, bit 1 low light
constexpr uint8_t kSensorIdHigh = 0xFA;
constexpr uint8_t kSensorIdLow = 0xFB;
constexpr uint8_t kGammaOff = 0xEE;
constexpr uint8_t kOptionMirror = 0x80;
constexpr uint8_t kOptionNotFlipped = 0x40;
constexpr uint8_t kOptionLowLight = 0x02;
constexpr uint8_t kLighting60Hz = 0x20;
constexpr uint8_t kLighting50Hz = 0x10;

struct SensorResetValue {
  uint8_t reg;
  uint8_t value;
};
// Every other sensor register resets to 0.
inline constexpr SensorResetValue kSensorResetValues[] = {
    {kSensorGamma, kGammaOff}, {kSensorLighting, 0x6F},  {kSensorOptions, 0x40},
    {kSensorIdHigh, 0x44},     {kSensorIdLow, 0x17},
};

// ---- Video packets on pipe 1 (endpoint 0x81) ----
constexpr uint32_t kPacketHeaderSize = 16;
constexpr uint8_t kPacketTypeFrameStart = 0x08;
constexpr uint8_t kPacketTypeContinuation = 0x00;
constexpr uint8_t kPacketTypeStatus = 0x02;  // header only: between frames and without video
constexpr uint32_t kHeaderOffsetSequence = 0;  // 32-bit frame sequence, little-endian
constexpr uint32_t kHeaderOffsetTime = 4;      // 64-bit frame start time (100 ns), little-endian
constexpr uint32_t kHeaderOffsetType = 12;
constexpr uint32_t kHeaderOffsetStatus = 13;
constexpr uint32_t kHeaderOffsetFrameNumber = 14;  // frame number (0..127) << 1
constexpr uint8_t kStatusIdle = 0x07;
constexpr uint8_t kStatusPressed = 0x05;

// ---- Frame timing and geometry ----
constexpr int64_t kFramesPerSecond = 30;
constexpr uint32_t kSensorWidth = 640;
constexpr uint32_t kSensorHeight = 480;

// ---- Endpoints ----
constexpr uint8_t kEndpointEvents = 0x83;  // pipe 0, interrupt IN: never sends
constexpr uint8_t kEndpointVideo = 0x81;   // pipe 1, isochronous IN
constexpr uint8_t kEndpointStill = 0x82;   // pipe 2, bulk IN: never sends

}  // namespace lumo::sim
