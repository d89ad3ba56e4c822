// camstills: streams the simulated camera through the bus stand-in at 640x480 and writes PNG
// stills of what came over the wire: the default picture and the picture with mirror, flip, the
// bridge's test pattern, high brightness, and each of the other picture registers. Every
// register reaches the camera as USB vendor requests (sensor registers bit by bit over the
// two-wire bus), exactly as the driver sends them.
//
// Usage: camstills [output directory]   (default: stills)
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "camera.h"
#include "camera_testing.h"
#include "usbbus/usb_bus.h"
#include "usbbus/usb_host_testing.h"

namespace {

using namespace lumo;

struct Still {
  const char* name;
  std::vector<sim::testing::RegisterPair> sensor;  // sensor writes over the two-wire bus
  std::vector<sim::testing::RegisterPair> bridge;  // bridge writes
};

bool WritePng(const std::string& path, const uint8_t* yuy2, uint32_t width, uint32_t height) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> row(size_t(width) * 3);
  auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* in = yuy2 + size_t(y) * width * 2;
    for (uint32_t x = 0; x < width; ++x) {
      // BT.601 studio range to RGB.
      const int luma = in[(x & ~1u) * 2 + ((x & 1) ? 2 : 0)] - 16;
      const int u = in[(x & ~1u) * 2 + 1] - 128, v = in[(x & ~1u) * 2 + 3] - 128;
      row[x * 3 + 0] = clamp((298 * luma + 409 * v + 128) >> 8);
      row[x * 3 + 1] = clamp((298 * luma - 100 * u - 208 * v + 128) >> 8);
      row[x * 3 + 2] = clamp((298 * luma + 516 * u + 128) >> 8);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string directory = argc > 1 ? argv[1] : "stills";
  std::filesystem::create_directories(directory);
  const std::vector<Still> stills = {
      {"default", {}, {}},
      {"mirror", {{0xFD, 0xC0}}, {}},
      {"flip", {{0xFD, 0x00}}, {}},
      {"test-pattern", {}, {{sim::kRegControl, 0x0043}}},
      {"brightness-high", {{0xE6, 0x7F}}, {}},
      {"brightness-low", {{0xE6, 0x80}}, {}},
      {"contrast-high", {{0xE7, 0x7F}}, {}},
      {"saturation-zero", {{0xF2, 0x9B}}, {}},
      {"saturation-high", {{0xF2, 0x63}}, {}},
      {"gamma-low", {{0xE8, 0x00}}, {}},
      {"gamma-high", {{0xE8, 0x3F}}, {}},
      {"low-light", {{0xFD, 0x42}}, {}},
      {"lighting-50hz", {{0xE9, 0x5F}}, {}},
  };
  kernel::Simulation simulation;
  sim::Camera camera;
  int failures = 0;
  simulation.Run([&] {
    usbbus::UsbPort& port = simulation.Get<usbbus::UsbBus>().Attach(&camera);
    PDEVICE_OBJECT pdo = port.Pdo();
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    PUSBD_INTERFACE_INFORMATION info = usbbus::testing::Configure(pdo, 1, 786432, &handle);
    if (!info || !NT_SUCCESS(usbbus::testing::SelectAlternate(pdo, handle, info, 4))) {
      std::fprintf(stderr, "camstills: the camera could not be configured\n");
      failures = 1;
      return;
    }
    sim::testing::BridgeAccess bridge{
        [&](uint16_t r, uint16_t v) { usbbus::testing::VendorWrite(pdo, r, v); },
        [&](uint16_t r) { return usbbus::testing::VendorRead(pdo, r); }};
    sim::testing::BringUp(bridge);
    sim::testing::SensorBusMaster sensor(bridge);
    for (const Still& still : stills) {
      // Defaults first, then what this still changes; then capture.
      for (const auto& p : sim::testing::kDefaultScript) sensor.WriteRegister(0x68, p.reg, p.value);
      for (const auto& p : sim::testing::kDefaultImageControls) {
        sensor.WriteRegister(0x68, p.reg, p.value);
      }
      bridge.write(sim::kRegControl, 0x0003);
      for (const auto& p : still.sensor) {
        sensor.WriteRegister(0x68, uint8_t(p.reg), uint8_t(p.value));
      }
      for (const auto& p : still.bridge) bridge.write(p.reg, p.value);
      sim::testing::SetCaptureWindow(bridge, 0);
      const uint32_t firstFresh = camera.FramesStarted();
      std::vector<std::unique_ptr<usbbus::testing::IsoTransfer>> ring;
      for (int i = 0; i < 5; ++i) {
        ring.push_back(std::make_unique<usbbus::testing::IsoTransfer>(pdo, 256, 3072));
        ring.back()->Submit(info->Pipes[1].PipeHandle);
      }
      usbbus::testing::FrameCollector collector;
      std::vector<uint8_t> picture;
      uint32_t sequence = 0;
      collector.onFrame = [&](usbbus::testing::FrameCollector::Frame& frame) {
        if (!picture.empty() || frame.damaged || frame.bytes.size() != 16 + 640 * 480 * 2) return;
        sequence = frame.bytes[0] | (frame.bytes[1] << 8) | (frame.bytes[2] << 16) |
                   (uint32_t(frame.bytes[3]) << 24);
        if (sequence > firstFresh) picture.assign(frame.bytes.begin() + 16, frame.bytes.end());
      };
      for (int i = 0; picture.empty() && i < 200; ++i) {
        usbbus::testing::IsoTransfer& t = *ring[i % 5];
        t.Wait();
        collector.AddTransfer(t);
        t.Submit(info->Pipes[1].PipeHandle);
      }
      for (auto& t : ring) IoCancelIrp(t->Irp());
      for (auto& t : ring) t->Wait();
      // Capture off between stills, as at the end of a stream.
      bridge.write(sim::kRegCapture, 0);
      const std::string path = directory + "/" + still.name + ".png";
      if (picture.empty() || !WritePng(path, picture.data(), 640, 480)) {
        std::fprintf(stderr, "camstills: no still for %s\n", still.name);
        ++failures;
        continue;
      }
      std::printf("%s  frame %u at %.3f s virtual\n", path.c_str(), sequence,
                  double(simulation.Now()) / kernel::kSecond);
    }
    ExFreePool(info);
  });
  return failures ? 1 : 0;
}
