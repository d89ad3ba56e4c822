// The bus stand-in driving the simulated camera with URBs, as a client driver would, with no
// driver loaded: descriptors and configuration, register traffic and its bus time, the
// isochronous stream, the button, cancellation, every fault of the camera's plan, unplugging.
#include "usbbus/usb_bus.h"

#include <gtest/gtest.h>

#include <string>

#include <memory>
#include <vector>

#include "camera.h"
#include "camera_testing.h"
#include "usbbus/usb_host_testing.h"

namespace lumo::usbbus {
namespace {

using kernel::kMillisecond;
using kernel::kSecond;
using sim::Camera;
using sim::FaultKind;
using namespace testing;

constexpr ULONG kDataPipeTransferSize = 786432;

class Bus : public ::testing::Test {
 protected:
  explicit Bus(usb::Speed speed = usb::Speed::kHigh) : camera_({speed, 3}) {}

  // Runs body on the simulation's main thread with the camera attached.
  void Run(const std::function<void()>& body) {
    sim_.Run([&] {
      if (!port_) port_ = &sim_.Get<UsbBus>().Attach(&camera_);
      pdo_ = port_->Pdo();
      body();
    });
  }
  sim::testing::BridgeAccess Access() {
    return {[this](uint16_t r, uint16_t v) { ASSERT_EQ(VendorWrite(pdo_, r, v), STATUS_SUCCESS); },
            [this](uint16_t r) { return VendorRead(pdo_, r); }};
  }
  // Configures with alternate setting 1, then selects `alternate`.
  void Configure(UCHAR alternate) {
    info_ = Configure1();
    ASSERT_NE(info_, nullptr);
    if (alternate != 1) {
      ASSERT_EQ(SelectAlternate(pdo_, config_, info_, alternate), STATUS_SUCCESS);
    }
  }
  PUSBD_INTERFACE_INFORMATION Configure1() {
    return testing::Configure(pdo_, 1, kDataPipeTransferSize, &config_);
  }
  void TearDown() override {
    if (info_) sim_.Run([&] { ExFreePool(info_); });
  }

  kernel::Simulation sim_;
  Camera camera_;
  UsbPort* port_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  USBD_CONFIGURATION_HANDLE config_ = nullptr;
  PUSBD_INTERFACE_INFORMATION info_ = nullptr;
};

TEST_F(Bus, DescriptorsConfigurationAndInterfaceSelection) {
  Run([&] {
    USB_DEVICE_DESCRIPTOR device = {};
    URB urb = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr,
                                 sizeof(device), nullptr);
    const kernel::VirtualTime before = sim_.Now();
    ASSERT_EQ(SubmitUrb(pdo_, &urb), STATUS_SUCCESS);
    EXPECT_EQ(sim_.Now() - before, port_->ControlTransferTime());
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(device.bLength, 18);
    EXPECT_EQ(device.idVendor, 0x1209);
    // A short first read of the configuration set gives its total length.
    uint8_t head[64] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, head, nullptr, 64,
                                 nullptr);
    ASSERT_EQ(SubmitUrb(pdo_, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 64u);
    EXPECT_EQ(head[2] | (head[3] << 8), int(camera_.ConfigurationDescriptorSet().size()));
    EXPECT_EQ(head[60], 8) << "high speed";

    Configure(1);
    EXPECT_EQ(camera_.Configuration(), 1);
    EXPECT_EQ(camera_.AlternateSetting(), 1);
    ASSERT_EQ(info_->NumberOfPipes, 3u);
    EXPECT_EQ(info_->Length, GET_USBD_INTERFACE_SIZE(3));
    const struct {
      USBD_PIPE_TYPE type;
      UCHAR address;
      USHORT packet;
    } expected[3] = {{UsbdPipeTypeInterrupt, 0x83, 8},
                     {UsbdPipeTypeIsochronous, 0x81, 16},
                     {UsbdPipeTypeBulk, 0x82, 512}};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(info_->Pipes[i].PipeType, expected[i].type);
      EXPECT_EQ(info_->Pipes[i].EndpointAddress, expected[i].address);
      EXPECT_EQ(info_->Pipes[i].MaximumPacketSize, expected[i].packet);
      EXPECT_NE(info_->Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_EQ(info_->Pipes[1].MaximumTransferSize, kDataPipeTransferSize)
        << "the platform returns the transfer size the request asked for";
    EXPECT_EQ(info_->Pipes[0].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));

    const USBD_PIPE_HANDLE oldVideo = info_->Pipes[1].PipeHandle;
    for (UCHAR alt : {4, 3, 2, 0}) {
      ASSERT_EQ(SelectAlternate(pdo_, config_, info_, alt), STATUS_SUCCESS);
      EXPECT_EQ(camera_.AlternateSetting(), alt);
      EXPECT_EQ(info_->Pipes[1].MaximumPacketSize, camera_.VideoPacketSize());
    }
    EXPECT_EQ(info_->Pipes[1].MaximumTransferSize, kDataPipeTransferSize);
    // The handles of an earlier selection are no longer valid.
    URB pipe = {};
    pipe.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    pipe.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    pipe.UrbPipeRequest.PipeHandle = oldVideo;
    EXPECT_EQ(SubmitUrb(pdo_, &pipe), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pipe.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    // An alternate setting the device does not have stalls and leaves the interface as it was.
    EXPECT_EQ(SelectAlternate(pdo_, config_, info_, 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(camera_.AlternateSetting(), 0);
  });
}

TEST_F(Bus, SensorRegisterWrittenAndReadBackWithTheExactLevelSequence) {
  Run([&] {
    Configure(1);
    sim::testing::BringUp(Access());
    sim::testing::SensorBusMaster bus(Access());
    const uint64_t urbsBefore = port_->Statistics().urbs;
    const kernel::VirtualTime before = sim_.Now();
    EXPECT_EQ(bus.WriteRegister(0x68, 0xE6, 0x7F), 3);
    EXPECT_EQ(port_->Statistics().urbs - urbsBefore, 127u);
    EXPECT_EQ(sim_.Now() - before, 127 * port_->ControlTransferTime());
    EXPECT_EQ(camera_.Sensor().Register(0xE6), 0x7F);
    int acks = 0;
    EXPECT_EQ(bus.ReadRegister(0x68, 0xE6, &acks), 0x7F);
    EXPECT_EQ(acks, 3);
    EXPECT_EQ(port_->Statistics().urbs - urbsBefore, 127u + 179u);
    EXPECT_EQ(sim_.Now() - before, (127 + 179) * port_->ControlTransferTime());
    // A wrong bus address is not acknowledged and changes nothing.
    EXPECT_EQ(bus.WriteRegister(0x6C, 0xE6, 0x01), 0);
    EXPECT_EQ(camera_.Sensor().Register(0xE6), 0x7F);
    EXPECT_EQ(bus.ReadRegister(0x6C, 0xE6, &acks), 0xFF);
    EXPECT_EQ(acks, 0);
  });
}

TEST_F(Bus, AuxiliaryPort) {
  Run([&] {
    Configure(1);
    sim::testing::BringUp(Access());
    ASSERT_EQ(VendorWrite(pdo_, sim::kRegAuxWriteAddr, 0x40), STATUS_SUCCESS);
    ASSERT_EQ(VendorWrite(pdo_, sim::kRegAuxWriteData, 0xA55A), STATUS_SUCCESS);
    // The port finished within one control transfer: ready, no error, the value reads back.
    EXPECT_EQ(VendorRead(pdo_, sim::kRegAuxStatus), sim::kAuxReady);
    ASSERT_EQ(VendorWrite(pdo_, sim::kRegAuxReadAddr, 0x40), STATUS_SUCCESS);
    EXPECT_EQ(VendorRead(pdo_, sim::kRegAuxStatus), sim::kAuxReady);
    EXPECT_EQ(VendorRead(pdo_, sim::kRegAuxReadData), 0xA55A);
    EXPECT_EQ(camera_.AuxRegister(0x40), 0xA55A);
    ASSERT_EQ(VendorWrite(pdo_, sim::kRegAuxReadAddr, 0x1000), STATUS_SUCCESS);
    EXPECT_EQ(VendorRead(pdo_, sim::kRegAuxStatus), sim::kAuxReady | sim::kAuxError);
  });
}

struct StreamCase {
  int record;
  uint32_t width, height;
};

// Names each case by its frame size in test names and failure messages.
std::string CaseName(const ::testing::TestParamInfo<StreamCase>& info) {
  return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
}

class BusStream : public Bus, public ::testing::WithParamInterface<StreamCase> {};

// A ring of five 256-packet transfers kept on the video pipe for one second of bus time.
TEST_P(BusStream, ThirtyFramesPerSecondAtAlternateSettingFour) {
  const StreamCase size = GetParam();
  Run([&] {
    Configure(4);
    ASSERT_EQ(info_->Pipes[1].MaximumPacketSize, 3072);
    sim::testing::BringUp(Access());
    sim::testing::SetCaptureWindow(Access(), size.record);
    ASSERT_TRUE(camera_.VideoEnabled());
    std::vector<std::unique_ptr<IsoTransfer>> ring;
    for (int i = 0; i < 5; ++i) {
      ring.push_back(std::make_unique<IsoTransfer>(pdo_, 256, 3072));
      ASSERT_EQ(ring.back()->Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    }
    const uint64_t firstInterval = ring[0]->Urb()->UrbIsochronousTransfer.StartFrame * 8;
    FrameCollector collector;
    std::vector<FrameCollector::Frame> frames;
    collector.onFrame = [&](FrameCollector::Frame& f) { frames.push_back(f); };
    const int transfers = 32;  // 8192 microframes
    for (int i = 0; i < transfers; ++i) {
      IsoTransfer& t = *ring[i % 5];
      t.Wait();
      ASSERT_EQ(t.Irp()->IoStatus.Status, STATUS_SUCCESS);
      auto& r = t.Urb()->UrbIsochronousTransfer;
      EXPECT_EQ(r.Hdr.Status, USBD_STATUS_SUCCESS);
      EXPECT_EQ(r.ErrorCount, 0u);
      // Back to back: transfer i ends 256 (i + 1) microframes after the first began.
      EXPECT_EQ(t.CompletedAt(), kernel::VirtualTime(firstInterval + 256 * (i + 1)) * 1250);
      EXPECT_EQ(t.CompletionIrql(), DISPATCH_LEVEL);
      collector.AddTransfer(t);
      if (i + 5 < transfers) {
        ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
      }
    }
    EXPECT_EQ(collector.Packets(), 256u * transfers);
    // About one second: 30 frames (the first may have started before the ring).
    ASSERT_GE(frames.size(), 29u);
    ASSERT_LE(frames.size(), 31u);
    const auto& log = camera_.FrameLog();
    std::vector<uint8_t> expected(size.width * size.height * 2);
    uint32_t previousNumber = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      const std::vector<uint8_t>& f = frames[i].bytes;
      ASSERT_FALSE(frames[i].damaged);
      ASSERT_EQ(f.size(), 16 + expected.size());
      const uint32_t sequence = f[0] | (f[1] << 8) | (f[2] << 16) | (uint32_t(f[3]) << 24);
      EXPECT_EQ(f[12], sim::kPacketTypeFrameStart);
      EXPECT_EQ(f[13], sim::kStatusIdle);
      EXPECT_EQ(f[14] >> 1, sequence & 0x7F);
      if (i > 0) {
        EXPECT_EQ(f[14] >> 1, (previousNumber + 1) & 0x7F);
      }
      previousNumber = f[14] >> 1;
      const sim::FrameTruth* truth = nullptr;
      for (const sim::FrameTruth& candidate : log) {
        if (candidate.params.sequence == sequence) truth = &candidate;
      }
      ASSERT_NE(truth, nullptr);
      sim::SceneRenderer::RenderFrame(truth->params, expected.data());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f.begin() + 16)) << i;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(EachFrameSize, BusStream,
                         ::testing::Values(StreamCase{0, 640, 480}, StreamCase{1, 320, 240},
                                           StreamCase{2, 160, 120}),
                         CaseName);

TEST_F(Bus, PacketsSentWithoutAQueuedTransferAreLost) {
  Run([&] {
    Configure(4);
    sim::testing::BringUp(Access());
    sim::testing::SetCaptureWindow(Access(), 2);  // 160x120: 13 packets a frame
    auto frameStarts = [&](IsoTransfer& t) {
      std::vector<uint32_t> sequences;
      auto& r = t.Urb()->UrbIsochronousTransfer;
      for (ULONG k = 0; k < r.NumberOfPackets; ++k) {
        const uint8_t* p = t.Packet(k);
        if (r.IsoPacket[k].Length >= 16 && p[12] == sim::kPacketTypeFrameStart) {
          sequences.push_back(p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24));
        }
      }
      return sequences;
    };
    IsoTransfer t(pdo_, 256, 3072);
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    t.Wait();
    const std::vector<uint32_t> first = frameStarts(t);
    ASSERT_FALSE(first.empty());
    // 200 ms with nothing queued: six frames go by unseen.
    LARGE_INTEGER idle;
    idle.QuadPart = -200 * kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &idle);
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    t.Wait();
    const std::vector<uint32_t> second = frameStarts(t);
    ASSERT_FALSE(second.empty());
    EXPECT_GE(second.front() - first.back(), 6u);
    EXPECT_LE(second.front() - first.back(), 8u);
    // The camera sent them all the same: its log has every sequence in between.
    EXPECT_GE(camera_.FramesStarted(), second.back() + 1);
    EXPECT_EQ(camera_.FrameLog().back().params.sequence + 1, camera_.FramesStarted());
  });
}

TEST_F(Bus, ButtonInTheStatusByteOfTheStatusPipe) {
  Run([&] {
    Configure(1);
    IsoTransfer t(pdo_, 256, info_->Pipes[1].MaximumPacketSize);
    FrameCollector collector;
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    t.Wait();
    collector.AddTransfer(t);
    EXPECT_EQ(collector.LastStatusByte(), sim::kStatusIdle);
    // Pressed in the middle of a transfer: the packets after the press carry the lower value.
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    camera_.PressButton(sim_.Now() + 10 * kMillisecond);
    t.Wait();
    auto& r = t.Urb()->UrbIsochronousTransfer;
    int idle = 0, pressed = 0;
    for (ULONG k = 0; k < r.NumberOfPackets; ++k) {
      ASSERT_EQ(r.IsoPacket[k].Length, 16u);
      const uint8_t status = t.Packet(k)[13];
      if (status == sim::kStatusIdle) ++idle;
      if (status == sim::kStatusPressed) ++pressed;
      if (pressed) {
        EXPECT_EQ(status, sim::kStatusPressed) << "no bounce";
      }
    }
    EXPECT_GT(idle, 0);
    EXPECT_GT(pressed, 0);
    EXPECT_EQ(idle + pressed, 256);
  });
}

// At high speed a transfer occupies whole frames: one sent as soon as possible in the middle of
// a frame begins at the next frame's first microframe, the frame its StartFrame names.
TEST_F(Bus, HighSpeedTransferStartsOnAFrameBoundary) {
  Run([&] {
    Configure(4);
    while (sim_.Now() % kMillisecond == 0) ASSERT_EQ(VendorWrite(pdo_, 0x07F0, 1), STATUS_SUCCESS);
    const kernel::VirtualTime submitted = sim_.Now();
    IsoTransfer t(pdo_, 8, 3072);
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    t.Wait();
    const auto& r = t.Urb()->UrbIsochronousTransfer;
    EXPECT_EQ(t.Irp()->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_GE(kernel::VirtualTime(r.StartFrame) * kMillisecond, submitted);
    EXPECT_EQ(t.CompletedAt(), kernel::VirtualTime(r.StartFrame + 1) * kMillisecond)
        << "eight microframes from the first of frame " << r.StartFrame;
  });
}

TEST_F(Bus, AbortAndCancelCompleteOutstandingTransfers) {
  Run([&] {
    Configure(1);
    IsoTransfer a(pdo_, 256, 16), b(pdo_, 256, 16);
    ASSERT_EQ(a.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    ASSERT_EQ(b.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    URB abort = {};
    abort.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = info_->Pipes[1].PipeHandle;
    const kernel::VirtualTime at = sim_.Now();
    EXPECT_EQ(SubmitUrb(pdo_, &abort), STATUS_SUCCESS);
    a.Wait();
    b.Wait();
    EXPECT_EQ(a.CompletedAt(), at);
    for (IsoTransfer* t : {&a, &b}) {
      EXPECT_EQ(t->Irp()->IoStatus.Status, STATUS_CANCELLED);
      EXPECT_EQ(t->Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
      EXPECT_EQ(t->Urb()->UrbIsochronousTransfer.TransferBufferLength, 0u)
          << "aborted before its first interval: nothing moved";
    }
    // IoCancelIrp of one transfer; the other keeps going.
    ASSERT_EQ(a.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    ASSERT_EQ(b.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(a.Irp()));
    a.Wait();
    EXPECT_EQ(a.Irp()->IoStatus.Status, STATUS_CANCELLED);
    b.Wait();
    EXPECT_EQ(b.Irp()->IoStatus.Status, STATUS_SUCCESS);
    // A bulk read on a pipe that never sends stays pending until cancelled.
    std::vector<uint8_t> data(512);
    URB bulk = {};
    UsbBuildInterruptOrBulkTransferRequest(&bulk, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           info_->Pipes[2].PipeHandle, data.data(), nullptr, 512,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, &bulk, 50 * kMillisecond), STATUS_TIMEOUT);
    EXPECT_EQ(bulk.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bulk.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  });
}

TEST_F(Bus, MalformedRequestsAreRefused) {
  Run([&] {
    Configure(4);
    EXPECT_EQ(SubmitUrb(pdo_, nullptr), STATUS_INVALID_PARAMETER);
    URB unknown = {};
    unknown.UrbHeader.Length = sizeof(URB);
    unknown.UrbHeader.Function = 0x7F;
    EXPECT_EQ(SubmitUrb(pdo_, &unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    struct Case {
      const char* what;
      std::function<void(URB&)> spoil;
    };
    const Case cases[] = {
        {"length too small for its packets", [](URB& u) { u.UrbHeader.Length = 96; }},
        {"no packets", [](URB& u) { u.UrbIsochronousTransfer.NumberOfPackets = 0; }},
        {"not a multiple of eight", [](URB& u) { u.UrbIsochronousTransfer.NumberOfPackets = 7; }},
        {"offset beyond the buffer",
         [](URB& u) { u.UrbIsochronousTransfer.IsoPacket[3].Offset = 1 << 30; }},
        {"no buffer", [](URB& u) { u.UrbIsochronousTransfer.TransferBuffer = nullptr; }},
        {"unknown pipe", [](URB& u) { u.UrbIsochronousTransfer.PipeHandle = &u; }},
        {"bulk pipe", [](URB& u) { u.UrbIsochronousTransfer.PipeHandle = nullptr; }},
    };
    for (const Case& c : cases) {
      IsoTransfer t(pdo_, 8, 3072);
      // Build a good request, spoil it, send it through the same IRP path.
      auto& r = t.Urb()->UrbIsochronousTransfer;
      std::vector<uint8_t> buffer(8 * 3072);
      r.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(8));
      r.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
      r.PipeHandle = info_->Pipes[1].PipeHandle;
      r.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
      r.TransferBuffer = buffer.data();
      r.TransferBufferLength = static_cast<ULONG>(buffer.size());
      r.NumberOfPackets = 8;
      for (ULONG k = 0; k < 8; ++k) r.IsoPacket[k].Offset = k * 3072;
      c.spoil(*t.Urb());
      if (r.PipeHandle == nullptr) r.PipeHandle = info_->Pipes[2].PipeHandle;
      EXPECT_EQ(SubmitUrb(pdo_, t.Urb()), STATUS_INVALID_PARAMETER) << c.what;
      EXPECT_TRUE(USBD_ERROR(r.Hdr.Status)) << c.what;
    }
  });
}

// ---- Faults ----------------------------------------------------------------------------------

class BusFaults : public Bus {
 protected:
  void StartVideo() {
    Configure(4);
    sim::testing::BringUp(Access());
    sim::testing::SetCaptureWindow(Access(), 2);
  }
  IsoTransfer& Stream(std::unique_ptr<IsoTransfer>& holder) {
    holder = std::make_unique<IsoTransfer>(pdo_, 256, 3072);
    EXPECT_EQ(holder->Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    holder->Wait();
    return *holder;
  }
};

TEST_F(BusFaults, PacketsWithErrorStatusAndShortPackets) {
  Run([&] {
    StartVideo();
    camera_.Faults().Add({FaultKind::kPacketError, 10, 3});
    camera_.Faults().Add({FaultKind::kPacketShort, 100, 2});
    std::unique_ptr<IsoTransfer> holder;
    IsoTransfer& t = Stream(holder);
    auto& r = t.Urb()->UrbIsochronousTransfer;
    EXPECT_EQ(t.Irp()->IoStatus.Status, STATUS_SUCCESS) << "some packets failed, not all";
    EXPECT_EQ(r.ErrorCount, 3u);
    ULONG received = 0;
    for (ULONG k = 0; k < 256; ++k) {
      EXPECT_EQ(USBD_ERROR(r.IsoPacket[k].Status), k >= 10 && k < 13) << k;
      EXPECT_EQ(r.IsoPacket[k].Length < 16, k >= 100 && k < 102) << k;
      received += r.IsoPacket[k].Length;
    }
    EXPECT_LT(received, 256u * 3072u) << "short packets moved less than the buffer holds";
    EXPECT_EQ(r.TransferBufferLength, received) << "the transfer reports the bytes it moved";
  });
}

TEST_F(BusFaults, WholeTransferFailsAndEveryPacketFails) {
  Run([&] {
    StartVideo();
    camera_.Faults().Add({FaultKind::kTransferFail, 1, 1});
    camera_.Faults().Add({FaultKind::kTransferAllPacketsFail, 3, 1});
    std::unique_ptr<IsoTransfer> holder;
    std::vector<std::pair<NTSTATUS, ULONG>> results;
    std::vector<USBD_STATUS> usbd;
    std::vector<ULONG> moved;
    for (int i = 0; i < 4; ++i) {
      IsoTransfer& t = Stream(holder);
      results.push_back({t.Irp()->IoStatus.Status, t.Urb()->UrbIsochronousTransfer.ErrorCount});
      usbd.push_back(t.Urb()->UrbHeader.Status);
      moved.push_back(t.Urb()->UrbIsochronousTransfer.TransferBufferLength);
    }
    EXPECT_EQ(moved[1], 0u) << "a failed transfer moved nothing";
    EXPECT_EQ(moved[3], 0u) << "no packet of it arrived";
    EXPECT_EQ(results[0], std::make_pair(STATUS_SUCCESS, ULONG(0)));
    EXPECT_EQ(results[1].first, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd[1], USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(results[2], std::make_pair(STATUS_SUCCESS, ULONG(0)));
    EXPECT_EQ(results[3], std::make_pair(STATUS_UNSUCCESSFUL, ULONG(256)));
    EXPECT_EQ(usbd[3], USBD_STATUS_ISOCH_REQUEST_FAILED);
  });
}

TEST_F(BusFaults, StalledControlRequest) {
  Run([&] {
    Configure(1);
    camera_.Faults().Add({FaultKind::kControlStall, 0, 1});
    USBD_STATUS usbd = 0;
    EXPECT_EQ(VendorWrite(pdo_, 0x0100, 0x0003, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(camera_.BridgeRegister(0x0100), 0) << "a stalled request reaches nothing";
    EXPECT_EQ(VendorWrite(pdo_, 0x0100, 0x0003, &usbd), STATUS_SUCCESS);
    EXPECT_EQ(camera_.BridgeRegister(0x0100), 3);
    // A stalled read brought nothing back, and says so.
    camera_.Faults().Add({FaultKind::kControlStall, 0, 1});
    URB read = {};
    uint8_t data[2] = {};
    UsbBuildVendorRequest(&read, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x00, 0, 0x0100, data, nullptr, 2,
                          nullptr);
    EXPECT_EQ(SubmitUrb(pdo_, &read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbControlVendorClassRequest.TransferBufferLength, 0u);
  });
}

TEST_F(BusFaults, ControlRequestThatNeverCompletesHoldsTheDefaultPipeUntilCancelled) {
  Run([&] {
    Configure(1);
    camera_.Faults().Add({FaultKind::kControlNoAnswer, 0, 1});
    URB urb = {};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 1, 0x0003,
                          0x0100, nullptr, nullptr, 0, nullptr);
    const kernel::VirtualTime before = sim_.Now();
    EXPECT_EQ(SubmitUrb(pdo_, &urb, 9 * kSecond), STATUS_TIMEOUT);
    EXPECT_EQ(sim_.Now() - before, 9 * kSecond);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(VendorWrite(pdo_, 0x0100, 0x0003), STATUS_SUCCESS) << "the pipe is free again";
  });
}

TEST_F(BusFaults, DisabledPortNeedsAReset) {
  Run([&] {
    StartVideo();
    camera_.Faults().Add({FaultKind::kPortDisable, 0, 1, 1000, sim_.Now() + 5 * kMillisecond});
    std::unique_ptr<IsoTransfer> holder;
    IsoTransfer& t = Stream(holder);
    EXPECT_EQ(t.Irp()->IoStatus.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(t.Urb()->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    ULONG bits = 0xFF;
    ASSERT_EQ(PortRequest(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED));
    EXPECT_EQ(VendorWrite(pdo_, 0x0100, 3), STATUS_UNSUCCESSFUL);
    const kernel::VirtualTime before = sim_.Now();
    ASSERT_EQ(PortRequest(pdo_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim_.Now() - before, 10 * kMillisecond);
    ASSERT_EQ(PortRequest(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    // The configuration survives the reset; the stream flows again.
    IsoTransfer& again = Stream(holder);
    EXPECT_EQ(again.Irp()->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(again.Urb()->UrbIsochronousTransfer.ErrorCount, 0u);
  });
}

TEST_F(BusFaults, UnplugCompletesEverythingAndReplugStartsAfresh) {
  Run([&] {
    StartVideo();
    // Unplugged by the fault plan 40 ms from now, while a transfer is outstanding.
    camera_.Faults().Add({FaultKind::kUnplug, 0, 1, 1000, sim_.Now() + 40 * kMillisecond});
    std::vector<std::unique_ptr<IsoTransfer>> ring;
    for (int i = 0; i < 3; ++i) {
      ring.push_back(std::make_unique<IsoTransfer>(pdo_, 256, 3072));
      ASSERT_EQ(ring.back()->Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    }
    ring[0]->Wait();
    EXPECT_EQ(ring[0]->Irp()->IoStatus.Status, STATUS_SUCCESS);
    ring[1]->Wait();
    ring[2]->Wait();
    EXPECT_EQ(ring[1]->Irp()->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ring[2]->Irp()->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ring[2]->Urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG bits = 0xFF;
    ASSERT_EQ(PortRequest(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, 0u);
    EXPECT_EQ(VendorWrite(pdo_, 0x0100, 3), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PortRequest(pdo_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
    port_->Replug();
    LARGE_INTEGER tick;
    tick.QuadPart = -kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
    ASSERT_EQ(PortRequest(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(camera_.Configuration(), 0) << "a replugged device is unconfigured";
    ExFreePool(info_);
    info_ = nullptr;
    Configure(1);
    EXPECT_EQ(VendorWrite(pdo_, 0x0100, 3), STATUS_SUCCESS);
  });
}

TEST_F(BusFaults, UnplugFromTheHostSide) {
  int notified = 0;
  KIRQL notifiedAt = PASSIVE_LEVEL;
  port_ = &sim_.Get<UsbBus>().Attach(&camera_, {0, 10 * kMillisecond, [&](UsbPort& port) {
                                                  ++notified;
                                                  notifiedAt = KeGetCurrentIrql();
                                                  EXPECT_FALSE(port.Connected());
                                                }});
  Run([&] {
    Configure(1);
    IsoTransfer t(pdo_, 256, 16);
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    port_->Unplug();
    t.Wait();
    EXPECT_EQ(t.Irp()->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(port_->Connected());
    port_->Unplug();  // already gone: no second report
    LARGE_INTEGER tick;
    tick.QuadPart = -kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
  });
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(notifiedAt, DISPATCH_LEVEL);
}

// ---- Full speed ------------------------------------------------------------------------------

class FullSpeedBus : public Bus {
 protected:
  FullSpeedBus() : Bus(usb::Speed::kFull) {}
};

TEST_F(FullSpeedBus, OnePacketPerFrameAndByteSixtyIsTwo) {
  Run([&] {
    Configure(2);
    EXPECT_EQ(info_->Pipes[1].MaximumPacketSize, 1023);
    EXPECT_EQ(camera_.ConfigurationDescriptorSet()[60], 2);
    EXPECT_EQ(port_->ControlTransferTime(), 2 * kMillisecond);
    IsoTransfer t(pdo_, 32, 1023);
    const kernel::VirtualTime before = sim_.Now();
    ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    t.Wait();
    EXPECT_EQ(t.Irp()->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_LE(t.CompletedAt() - before, 33 * kMillisecond);
    EXPECT_GE(t.CompletedAt() - before, 32 * kMillisecond);
  });
}

TEST_F(FullSpeedBus, StreamAtAlternateSettingTwoCarriesFifteenFramesASecond) {
  Run([&] {
    Configure(2);
    sim::testing::BringUp(Access());
    sim::testing::SetCaptureWindow(Access(), 2);
    std::vector<std::unique_ptr<IsoTransfer>> ring;
    for (int i = 0; i < 5; ++i) {
      ring.push_back(std::make_unique<IsoTransfer>(pdo_, 32, 1023));
      ASSERT_EQ(ring.back()->Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
    }
    FrameCollector collector;
    std::vector<FrameCollector::Frame> frames;
    collector.onFrame = [&](FrameCollector::Frame& f) { frames.push_back(f); };
    for (int i = 0; i < 32; ++i) {  // 1024 frames of 1 ms
      IsoTransfer& t = *ring[i % 5];
      t.Wait();
      ASSERT_EQ(t.Irp()->IoStatus.Status, STATUS_SUCCESS);
      collector.AddTransfer(t);
      if (i + 5 < 32) {
        ASSERT_EQ(t.Submit(info_->Pipes[1].PipeHandle), STATUS_PENDING);
      }
    }
    ASSERT_GE(frames.size(), 14u);
    ASSERT_LE(frames.size(), 16u);
    std::vector<uint8_t> expected(160 * 120 * 2);
    for (const FrameCollector::Frame& f : frames) {
      ASSERT_EQ(f.bytes.size(), 16 + expected.size());
      const uint32_t sequence = f.bytes[0] | (f.bytes[1] << 8) | (f.bytes[2] << 16) |
                                (uint32_t(f.bytes[3]) << 24);
      const sim::FrameTruth* truth = nullptr;
      for (const sim::FrameTruth& candidate : camera_.FrameLog()) {
        if (candidate.params.sequence == sequence) truth = &candidate;
      }
      ASSERT_NE(truth, nullptr);
      EXPECT_EQ(truth->packets, 39u);
      sim::SceneRenderer::RenderFrame(truth->params, expected.data());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f.bytes.begin() + 16));
    }
  });
}

}  // namespace
}  // namespace lumo::usbbus

// ---- Bulk transfers and the usbd library, with a loopback device -----------------------------

namespace lumo::usbbus {
namespace {

// A full-speed device whose bulk IN endpoint returns what its bulk OUT endpoint received, one
// 64-byte packet at a time, and NAKs while it holds nothing.
class LoopbackDevice final : public usb::DeviceModel {
 public:
  usb::Speed GetSpeed() const override { return usb::Speed::kFull; }
  usb::ControlResult Control(usb::BusTime, const usb::SetupPacket& setup, uint8_t* data) override {
    static const uint8_t kSet[] = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,       // configuration, 32 bytes in all
        9, 4, 0, 0, 2, 0xFF, 0, 0, 0,         // interface 0, two endpoints
        7, 5, 0x81, 2, 64, 0, 0,              // bulk IN 64
        7, 5, 0x02, 2, 64, 0, 0};             // bulk OUT 64
    if (setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && (setup.wValue >> 8) == 2) {
      const uint32_t n = std::min<uint32_t>(setup.wLength, sizeof(kSet));
      std::memcpy(data, kSet, n);
      return {usb::ControlStatus::kAck, n};
    }
    return {usb::ControlStatus::kAck, 0};
  }
  usb::PacketResult InPacket(uint8_t, uint64_t interval, uint8_t* buffer,
                             uint32_t capacity) override {
    lastInInterval = interval;
    const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(queue.size()));
    std::copy(queue.begin(), queue.begin() + n, buffer);
    queue.erase(queue.begin(), queue.begin() + n);
    return {n, false};
  }
  uint32_t OutPacket(uint8_t, uint64_t, const uint8_t* data, uint32_t length) override {
    queue.insert(queue.end(), data, data + length);
    return length;
  }
  std::vector<uint8_t> queue;
  uint64_t lastInInterval = 0;
};

class BulkBus : public ::testing::Test {
 protected:
  NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, uint8_t* data, ULONG length, ULONG flags,
                URB* urb) {
    *urb = {};
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, data, nullptr, length, flags, nullptr);
    return testing::SubmitUrb(pdo_, urb);
  }
  kernel::Simulation sim_;
  LoopbackDevice device_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(BulkBus, ShortPacketsEndTransfersAndHaltThePipeWithoutShortTransferOk) {
  sim_.Run([&] {
    pdo_ = sim_.Get<UsbBus>().Attach(&device_).Pdo();
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    PUSBD_INTERFACE_INFORMATION info = testing::Configure(pdo_, 0, 4096, &handle);
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 2u);
    USBD_PIPE_HANDLE in = info->Pipes[0].PipeHandle, out = info->Pipes[1].PipeHandle;
    std::vector<uint8_t> sent(100), received(256, 0xEE);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
    URB urb;
    ASSERT_EQ(Bulk(out, sent.data(), 100, 0, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
    // 64 + 36: the short second packet ends the read.
    ASSERT_EQ(Bulk(in, received.data(), 256, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                   &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin()));
    EXPECT_EQ(received[100], 0xEE) << "nothing written beyond what arrived";
    // Without USBD_SHORT_TRANSFER_OK a short read is an error and halts the pipe.
    ASSERT_EQ(Bulk(out, sent.data(), 10, 0, &urb), STATUS_SUCCESS);
    EXPECT_EQ(Bulk(in, received.data(), 256, USBD_TRANSFER_DIRECTION_IN, &urb),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(Bulk(in, received.data(), 64, USBD_TRANSFER_DIRECTION_IN, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    URB reset = {};
    reset.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    reset.UrbPipeRequest.PipeHandle = in;
    ASSERT_EQ(testing::SubmitUrb(pdo_, &reset), STATUS_SUCCESS);
    // A read that waits: the device NAKs until data arrives 20 ms later.
    sim_.ScheduleAfter(20 * kMillisecond, [&] { device_.queue.assign(64, 0x5A); }, "data");
    const kernel::VirtualTime before = sim_.Now();
    ASSERT_EQ(Bulk(in, received.data(), 64, USBD_TRANSFER_DIRECTION_IN, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_GE(sim_.Now() - before, 20 * kMillisecond);
    EXPECT_LE(sim_.Now() - before, 29 * kMillisecond) << "the back-off stays within 8 ms";
    ExFreePool(info);
  });
}

TEST(UsbdLibrary, ParsingStopsAtMalformedDescriptors) {
  // A configuration with interface 0 (alternate settings 0 and 1) and interface 1.
  std::vector<uint8_t> good = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                               9, 4, 0, 0, 0, 0xFF, 0, 0, 0,
                               9, 4, 0, 1, 1, 0xFF, 0, 0, 0,
                               7, 5, 0x81, 1, 0, 4, 1,
                               9, 4, 1, 0, 0, 0x01, 2, 0, 0};
  good[2] = static_cast<uint8_t>(good.size());
  auto parse = [](std::vector<uint8_t>& set, LONG number, LONG alternate, LONG cls) {
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, cls, -1, -1);
    return found ? int(reinterpret_cast<uint8_t*>(found) - set.data()) : -1;
  };
  EXPECT_EQ(parse(good, 0, -1, -1), 9);
  EXPECT_EQ(parse(good, 0, 1, -1), 18);
  EXPECT_EQ(parse(good, 1, -1, -1), 34);
  EXPECT_EQ(parse(good, -1, -1, 0x01), 34);
  EXPECT_EQ(parse(good, 2, -1, -1), -1);
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
  };
  const Case spoiled[] = {{"zero-length descriptor", 18, 0},
                          {"descriptor running past the end", 34, 40},
                          {"total length cutting the last interface", 2, 36}};
  for (const Case& c : spoiled) {
    std::vector<uint8_t> set = good;
    set[c.at] = c.value;
    EXPECT_EQ(parse(set, 1, -1, -1), -1) << c.what;
  }
}

TEST(UsbdLibrary, ConfigurationRequestHasOneInterfaceRecordPerEntry) {
  kernel::Simulation sim;
  sim.Run([&] {
    std::vector<uint8_t> set = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                                9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
                                9, 4, 1, 0, 1, 0x01, 2, 0, 0};
    set[2] = static_cast<uint8_t>(set.size());
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    for (LONG i = 0; i < 2; ++i) {
      list[i].InterfaceDescriptor =
          USBD_ParseConfigurationDescriptorEx(config, config, i, -1, -1, -1, -1);
    }
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length,
              sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                  GET_USBD_INTERFACE_SIZE(3) + GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(list[0].Interface->Pipes[i].MaximumTransferSize,
                ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    }
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface),
              reinterpret_cast<uint8_t*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);
  });
}

}  // namespace
}  // namespace lumo::usbbus
