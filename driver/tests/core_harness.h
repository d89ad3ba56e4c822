// The frame of the camera driver on the simulated machine, for the tests of its stream-class
// routines: the driver loaded through its entry routine, one device of it created by the stream
// class stand-in on top of a bus device that answers nothing, and the helpers those tests share
// (the catalogue reset, a stream as the open leaves it, a read queued as the data routine does).
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "core/lumocam.h"
#include "kernel/io.h"
#include "kernel/pool.h"
#include "kernel/simulation.h"
#include "streamclass/stream_class.h"

namespace lumo::drivertest {

using kernel::IoManager;
using kernel::Simulation;
using streamclass::Device;
using streamclass::Read;
using streamclass::Stream;
using streamclass::StreamClass;

// The bus below the camera's functional device: PnP requests come back with the status they
// carry, as a bus does for requests it does not serve.
inline NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Puts the driver-wide catalogue back to its initial value (tests change it through
// SelectCatalogue).
inline void ResetCatalogue() {
  Catalogue = CATALOGUE_SIX_SIZES;
  CatalogueCount = 1;
}

class CoreTest : public ::testing::Test {
 protected:
  CoreTest() { ResetCatalogue(); }
  ~CoreTest() override { ResetCatalogue(); }

  // Loads the driver, creates its device and runs body on the simulated machine's main thread.
  void RunWithDevice(const std::function<void(Device&, DEVICE_CONTEXT&)>& body) {
    sim_.Run([&] {
      IoManager& io = sim_.Get<IoManager>();
      PDRIVER_OBJECT driver = nullptr;
      ASSERT_EQ(io.LoadDriver(DriverEntry, u"\\Driver\\lumocam",
                              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\lumocam",
                              &driver),
                STATUS_SUCCESS);
      driver_ = driver;
      PDRIVER_OBJECT bus = io.CreateDriverObject(u"\\Driver\\usbbus");
      bus->MajorFunction[IRP_MJ_PNP] = BusPnp;
      PDEVICE_OBJECT physical = nullptr;
      ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_USB, 0, FALSE, &physical),
                STATUS_SUCCESS);
      Device* device = StreamClass::Of(sim_).CreateDevice(driver, physical);
      ASSERT_NE(device, nullptr);
      body(*device, *device->ExtensionAs<DEVICE_CONTEXT>());
      device->Release();
      IoDeleteDevice(physical);
    });
  }

  // The device as start-up leaves the fields the frame reads: one stream, device events on, and
  // the catalogue of the configuration (256 packets per transfer: high speed).
  static void AsStarted(DEVICE_CONTEXT& device, ULONG packetsPerTransfer) {
    device.Signature = DEVICE_SIGNATURE;
    device.PacketsPerTransfer = packetsPerTransfer;
    device.StreamCount = 1;
    device.CameraFlags = CAMERA_FLAGS_AT_START;
    device.InitState = INIT_STATE_INITIALIZED;
    KeInitializeSemaphore(&device.DeviceSemaphore, 1, 1);
    KeInitializeSemaphore(&device.UsbCallSemaphore, 1, 1);
    SelectCatalogue(&device);
  }

  Simulation sim_;
  PDRIVER_OBJECT driver_ = nullptr;
};

// Stream 0 as the open leaves it, with reads queued by QueueReadAsOpened.
inline constexpr ULONG kRawFrameBytes = 4096;

// The data routine of the tests: accepts a read as the stream's data routine does (context
// filled, 15-second time-out, a raw buffer from the pool, appended to ReadQueue).
inline void STREAMAPI QueueReadAsOpened(PHW_STREAM_REQUEST_BLOCK srb) {
  auto* stream = static_cast<PSTREAM_CONTEXT>(srb->StreamObject->HwStreamExtension);
  auto* read = static_cast<PSRB_CONTEXT>(srb->SRBExtension);
  read->Signature = READ_SIGNATURE;
  read->Srb = srb;
  read->Irp = srb->Irp;
  read->OwnerStream = stream;
  srb->TimeoutOriginal = READ_TIMEOUT_SECONDS;
  srb->TimeoutCounter = READ_TIMEOUT_SECONDS;
  read->Buffer = ExAllocatePoolWithTag(NonPagedPool, stream->RawFrameLength, LUMOCAM_POOL_TAG);
  read->BufferLength = stream->RawFrameLength;
  ExInterlockedInsertTailList(&stream->ReadQueue, &read->Link, &stream->ReadQueueLock);
}

inline STREAM_CONTEXT& OpenStreamZero(Device& device, DEVICE_CONTEXT& context, Stream** out) {
  Stream* stream = device.AdoptStream(0, QueueReadAsOpened, nullptr, sizeof(KS_FRAME_INFO));
  auto& ctx = *stream->ExtensionAs<STREAM_CONTEXT>();
  ctx.Signature = STREAM_SIGNATURE;
  ctx.Device = &context;
  ctx.StreamNumber = 0;
  ctx.TransferKind = TRANSFER_KIND_ISOCHRONOUS;
  ctx.RawFrameLength = kRawFrameBytes;
  InitializeListHead(&ctx.ReadQueue);
  KeInitializeSpinLock(&ctx.ReadQueueLock);
  KeInitializeSpinLock(&ctx.CurrentReadLock);
  context.StreamSlots[0] = &ctx;
  *out = stream;
  return ctx;
}

inline PSRB_CONTEXT ContextOf(const std::shared_ptr<Read>& read) {
  return static_cast<PSRB_CONTEXT>(read->Srb()->SRBExtension);
}

// Number of reads in the stream's ReadQueue.
inline size_t QueuedReads(STREAM_CONTEXT& stream) {
  size_t count = 0;
  for (PLIST_ENTRY entry = stream.ReadQueue.Flink; entry != &stream.ReadQueue;
       entry = entry->Flink) {
    ++count;
  }
  return count;
}

}  // namespace lumo::drivertest
