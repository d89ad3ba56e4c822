// Ten seconds of virtual 640x480 streaming at alternate setting 4 through the bus: a ring of
// five 256-packet isochronous transfers on the camera's video pipe, as the camera's driver
// keeps it. Reports the virtual-to-wall time ratio (virtual seconds per wall second).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "camera.h"
#include "camera_testing.h"
#include "usbbus/usb_bus.h"
#include "usbbus/usb_host_testing.h"

namespace {

using namespace lumo;

void StreamTenSeconds(benchmark::State& state) {
  constexpr int kVirtualSeconds = 10;
  uint64_t frames = 0;
  for (auto _ : state) {
    kernel::Simulation sim;
    sim::Camera camera;
    sim.Run([&] {
      usbbus::UsbPort& port = sim.Get<usbbus::UsbBus>().Attach(&camera);
      PDEVICE_OBJECT pdo = port.Pdo();
      USBD_CONFIGURATION_HANDLE handle = nullptr;
      PUSBD_INTERFACE_INFORMATION info = usbbus::testing::Configure(pdo, 1, 786432, &handle);
      usbbus::testing::SelectAlternate(pdo, handle, info, 4);
      sim::testing::BridgeAccess bridge{
          [&](uint16_t r, uint16_t v) { usbbus::testing::VendorWrite(pdo, r, v); },
          [&](uint16_t r) { return usbbus::testing::VendorRead(pdo, r); }};
      sim::testing::BringUp(bridge);
      sim::testing::SetCaptureWindow(bridge, 0);
      std::vector<std::unique_ptr<usbbus::testing::IsoTransfer>> ring;
      for (int i = 0; i < 5; ++i) {
        ring.push_back(std::make_unique<usbbus::testing::IsoTransfer>(pdo, 256, 3072));
        ring.back()->Submit(info->Pipes[1].PipeHandle);
      }
      const kernel::VirtualTime end = sim.Now() + kVirtualSeconds * kernel::kSecond;
      for (int i = 0; sim.Now() < end; ++i) {
        usbbus::testing::IsoTransfer& t = *ring[i % 5];
        t.Wait();
        auto& r = t.Urb()->UrbIsochronousTransfer;
        for (ULONG k = 0; k < r.NumberOfPackets; ++k) {
          if (r.IsoPacket[k].Length >= 16 && (t.Packet(k)[12] & 0x0F) == 8) ++frames;
        }
        t.Submit(info->Pipes[1].PipeHandle);
      }
      for (auto& t : ring) IoCancelIrp(t->Irp());
      for (auto& t : ring) t->Wait();
      ring.clear();
      ExFreePool(info);
    });
  }
  state.counters["virtual_to_wall"] =
      benchmark::Counter(double(kVirtualSeconds) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["frames_per_virtual_second"] =
      double(frames) / (double(kVirtualSeconds) * state.iterations());
}
BENCHMARK(StreamTenSeconds)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
