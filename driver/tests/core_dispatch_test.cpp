// The stream-class frame of the driver: registration, the device request dispatcher, cancel of a
// read, the time-out restart and surprise removal, run through the stream class stand-in.
#include "core_harness.h"

namespace lumo::drivertest {
namespace {

using streamclass::kDefaultRequestTimeoutSeconds;

TEST_F(CoreTest, RegistrationRecordCarriesTheDriversRoutinesAndSizes) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT&) {
    const HW_INITIALIZATION_DATA* init = StreamClass::Of(sim_).RegistrationOf(driver_);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(init->HwInterrupt, nullptr);
    EXPECT_EQ(init->HwReceivePacket, &ReceiveDevicePacket);
    EXPECT_EQ(init->HwCancelPacket, &CancelPacket);
    EXPECT_EQ(init->HwRequestTimeoutHandler, &RestartRequestTimeout);
    // The target's sizes, or the records' own where this build lays them out wider.
    EXPECT_EQ(init->DeviceExtensionSize, std::max<size_t>(2500, sizeof(DEVICE_CONTEXT)));
    EXPECT_EQ(init->PerRequestExtensionSize, std::max<size_t>(64, sizeof(SRB_CONTEXT)));
    EXPECT_EQ(init->PerStreamExtensionSize, std::max<size_t>(1456, sizeof(STREAM_CONTEXT)));
    EXPECT_EQ(init->FilterInstanceExtensionSize, 0u);
    EXPECT_FALSE(init->BusMasterDMA);
    EXPECT_FALSE(init->Dma24BitAddresses);
    EXPECT_EQ(init->BufferAlignment, 4u);
    EXPECT_TRUE(init->TurnOffSynchronization);
    EXPECT_EQ(init->DmaBufferSize, 0u);
    EXPECT_EQ(init->NumNameExtensions, 0u);
    EXPECT_EQ(init->NameExtensionArray, nullptr);
    // The class hands over the device extension zero-filled and of the registered size.
    EXPECT_EQ(device.ExtensionSize(), init->DeviceExtensionSize);
  });
}

TEST_F(CoreTest, DriverEntryReturnsTheStreamClassFailureUnchanged) {
  // The stand-in refuses a registration without a driver object.
  sim_.Run([&] { EXPECT_EQ(DriverEntry(nullptr, nullptr), STATUS_INVALID_PARAMETER); });
}

// One device request per command, with the command data its handler reads.
struct DispatchCase {
  const char* name;
  ULONG command;
  NTSTATUS expected;
};

TEST_F(CoreTest, EveryDeviceCommandIsCompletedOnceBeforeTheRoutineReturns) {
  const DispatchCase cases[] = {
      {"get stream info", SRB_GET_STREAM_INFO, STATUS_SUCCESS},
      {"open device instance", SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
      {"close device instance", SRB_CLOSE_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
      {"get device property, unknown set", SRB_GET_DEVICE_PROPERTY, STATUS_NOT_SUPPORTED},
      {"set device property, unknown set", SRB_SET_DEVICE_PROPERTY, STATUS_NOT_SUPPORTED},
      {"unknown device command without IRP", SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED},
      {"paging out", SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
      {"intersection, stream outside the catalogue", SRB_GET_DATA_INTERSECTION,
       STATUS_NOT_IMPLEMENTED},
      {"surprise removal", SRB_SURPRISE_REMOVAL, STATUS_SUCCESS},
      {"a stream command sent to the device", SRB_READ_DATA, STATUS_NOT_IMPLEMENTED},
      {"a command past the table", SRB_SURPRISE_REMOVAL + 0x40, STATUS_NOT_IMPLEMENTED},
      // Served by the stream life cycle, device start-up and power once those are wired in;
      // until then the dispatcher refuses them.
      {"open stream", SRB_OPEN_STREAM, STATUS_NOT_IMPLEMENTED},
      {"close stream", SRB_CLOSE_STREAM, STATUS_NOT_IMPLEMENTED},
      {"initialize device", SRB_INITIALIZE_DEVICE, STATUS_NOT_IMPLEMENTED},
      {"change power state", SRB_CHANGE_POWER_STATE, STATUS_NOT_IMPLEMENTED},
      {"uninitialize device", SRB_UNINITIALIZE_DEVICE, STATUS_NOT_IMPLEMENTED},
      {"initialization complete", SRB_INITIALIZATION_COMPLETE, STATUS_NOT_IMPLEMENTED},
  };
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    std::vector<uint8_t> streamInfo(sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));
    KS_DATARANGE_VIDEO range = R640;
    std::vector<uint8_t> format(256);
    STREAM_DATA_INTERSECT_INFO intersect{7, &range.DataRange, format.data(), ULONG(format.size())};
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Connection;
    ULONG value = 0;
    STREAM_PROPERTY_DESCRIPTOR descriptor{&property, 0, &value, sizeof(KSPROPERTY), sizeof value};
    for (const DispatchCase& c : cases) {
      SCOPED_TRACE(c.name);
      Device::Result result = device.SendDeviceRequest(
          SRB_COMMAND(c.command), [&](HW_STREAM_REQUEST_BLOCK& srb) {
            switch (srb.Command) {
              case SRB_GET_STREAM_INFO:
                srb.CommandData.StreamBuffer =
                    reinterpret_cast<PHW_STREAM_DESCRIPTOR>(streamInfo.data());
                break;
              case SRB_GET_DATA_INTERSECTION: srb.CommandData.IntersectInfo = &intersect; break;
              case SRB_GET_DEVICE_PROPERTY:
              case SRB_SET_DEVICE_PROPERTY: srb.CommandData.PropertyInfo = &descriptor; break;
              default: break;
            }
          });
      EXPECT_EQ(result.status, c.expected);
      EXPECT_TRUE(result.completedInCall);
    }
    // Paging out changed nothing but the surprise removal did what it does.
    EXPECT_TRUE(context.DeviceGone);
  });
}

TEST_F(CoreTest, UnknownDeviceCommandCarryingANonPnpRequestIsRefused) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT&) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(device.SendDeviceRequest(SRB_UNKNOWN_DEVICE_COMMAND, {}, irp).status,
              STATUS_NOT_IMPLEMENTED);
    IoFreeIrp(irp);
  });
}

TEST_F(CoreTest, PagingOutChangesNothing) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    std::vector<uint8_t> before(device.ExtensionSize());
    std::memcpy(before.data(), &context, before.size());
    EXPECT_EQ(device.SendDeviceRequest(SRB_PAGING_OUT_DRIVER).status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(before.data(), &context, before.size()), 0);
  });
}

// --- Surprise removal ---------------------------------------------------------------------------

TEST_F(CoreTest, SurpriseRemovalWithNoStreamMarksTheDeviceGone) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    context.StatusReaderRunning = TRUE;
    EXPECT_EQ(device.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(context.DeviceGone);
    EXPECT_FALSE(context.StatusReaderRunning);
    // Set once and never cleared.
    EXPECT_EQ(device.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(context.DeviceGone);
  });
}

TEST_F(CoreTest, SurpriseRemovalStopsDeliveryOnlyOnStreamsThatDeliver) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& delivering = OpenStreamZero(device, context, &stream);
    delivering.DeliveryActive = 1;
    delivering.StreamingStarted = 1;
    STREAM_CONTEXT idle{};
    idle.StreamingStarted = 1;
    context.StreamSlots[1] = &idle;

    EXPECT_EQ(device.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(context.DeviceGone);
    EXPECT_EQ(delivering.DeliveryActive, 0u);
    EXPECT_EQ(delivering.ChannelFlags & CHANNEL_STOP_REQUESTED, ULONG(CHANNEL_STOP_REQUESTED));
    // Streaming itself, and the stream, are released later by close.
    EXPECT_EQ(delivering.StreamingStarted, 1u);
    EXPECT_EQ(context.StreamSlots[0], &delivering);
    EXPECT_EQ(idle.ChannelFlags, 0u);
    context.StreamSlots[1] = nullptr;
  });
}

// --- Time-out -----------------------------------------------------------------------------------

TEST_F(CoreTest, RestartRequestTimeoutReloadsTheCountAndTouchesNothingElse) {
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.TimeoutOriginal = 15;
  srb.TimeoutCounter = 0;
  srb.Status = STATUS_PENDING;
  HW_STREAM_REQUEST_BLOCK expected = srb;
  expected.TimeoutCounter = 15;
  RestartRequestTimeout(&srb);
  EXPECT_EQ(std::memcmp(&srb, &expected, sizeof srb), 0);
}

TEST_F(CoreTest, AQueuedReadOutlivesItsTimeOutAgainAndAgain) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& ctx = OpenStreamZero(device, context, &stream);
    std::shared_ptr<Read> read = stream->SubmitRead(1024);
    ASSERT_TRUE(read->Outstanding());

    // 40 s of virtual time: the 15-second count runs out at 15 s and at 30 s.
    LARGE_INTEGER wait;
    wait.QuadPart = -40 * kernel::kSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_TRUE(read->Outstanding());
    EXPECT_EQ(read->request->timeoutHandlerCalls, 2u);
    EXPECT_EQ(device.TimeoutHandlerCalls(), 2u);
    EXPECT_EQ(read->Srb()->TimeoutOriginal, ULONG(READ_TIMEOUT_SECONDS));
    EXPECT_EQ(read->Srb()->TimeoutCounter, ULONG(READ_TIMEOUT_SECONDS - 10));
    EXPECT_EQ(QueuedReads(ctx), 1u);

    ASSERT_TRUE(stream->Cancel(read));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  });
  static_assert(kDefaultRequestTimeoutSeconds != 0);
}

// --- Cancel -------------------------------------------------------------------------------------

TEST_F(CoreTest, CancellingAQueuedReadFreesItsBufferAndCompletesItEmpty) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& ctx = OpenStreamZero(device, context, &stream);
    auto first = stream->SubmitRead(1024);
    auto second = stream->SubmitRead(1024);
    auto third = stream->SubmitRead(1024);
    ASSERT_EQ(QueuedReads(ctx), 3u);
    PVOID raw = ContextOf(second)->Buffer;
    ASSERT_TRUE(sim_.Get<kernel::Pool>().IsLiveBlock(raw));
    second->StreamHeader()->DataUsed = 77;

    ASSERT_TRUE(stream->Cancel(second));
    EXPECT_TRUE(second->Completed());
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_EQ(second->StreamHeader()->DataUsed, 0u);
    EXPECT_FALSE(sim_.Get<kernel::Pool>().IsLiveBlock(raw));
    // The others keep their places, oldest first.
    ASSERT_EQ(QueuedReads(ctx), 2u);
    EXPECT_EQ(ctx.ReadQueue.Flink, &ContextOf(first)->Link);
    EXPECT_EQ(ctx.ReadQueue.Blink, &ContextOf(third)->Link);
    EXPECT_FALSE(first->Completed());

    for (auto& read : {first, third}) {
      ASSERT_TRUE(stream->Cancel(read));
      EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(QueuedReads(ctx), 0u);
    // A second cancel of a completed read does not reach the driver.
    EXPECT_FALSE(stream->Cancel(second));
  });
}

TEST_F(CoreTest, CancellingTheCurrentReadLeavesTheNextFrameToTheNextRead) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& ctx = OpenStreamZero(device, context, &stream);
    auto current = stream->SubmitRead(1024);
    auto next = stream->SubmitRead(1024);
    // The frame assembly takes the oldest read as the one being filled.
    KIRQL old;
    KeAcquireSpinLock(&ctx.CurrentReadLock, &old);
    PLIST_ENTRY taken = ExInterlockedRemoveHeadList(&ctx.ReadQueue, &ctx.ReadQueueLock);
    ctx.CurrentRead = CONTAINING_RECORD(taken, SRB_CONTEXT, Link);
    KeReleaseSpinLock(&ctx.CurrentReadLock, old);
    ASSERT_EQ(ctx.CurrentRead, ContextOf(current));
    PVOID raw = ContextOf(current)->Buffer;
    current->StreamHeader()->DataUsed = 500;

    ASSERT_TRUE(stream->Cancel(current));
    EXPECT_EQ(current->Status(), STATUS_CANCELLED);
    EXPECT_EQ(current->StreamHeader()->DataUsed, 0u);
    EXPECT_EQ(ctx.CurrentRead, nullptr);
    EXPECT_FALSE(sim_.Get<kernel::Pool>().IsLiveBlock(raw));
    ASSERT_EQ(QueuedReads(ctx), 1u);
    EXPECT_EQ(ctx.ReadQueue.Flink, &ContextOf(next)->Link);
    EXPECT_FALSE(next->Completed());

    ASSERT_TRUE(stream->Cancel(next));
  });
}

TEST_F(CoreTest, CancellingAReadAlreadyTakenForConversionDoesNothing) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& ctx = OpenStreamZero(device, context, &stream);
    auto converting = stream->SubmitRead(1024);
    // The filled frame went to the worker: neither current nor queued any more.
    PLIST_ENTRY taken = ExInterlockedRemoveHeadList(&ctx.ReadQueue, &ctx.ReadQueueLock);
    PSRB_CONTEXT read = CONTAINING_RECORD(taken, SRB_CONTEXT, Link);
    ASSERT_EQ(read, ContextOf(converting));
    PVOID raw = read->Buffer;

    ASSERT_TRUE(stream->Cancel(converting));
    EXPECT_TRUE(converting->Outstanding());
    EXPECT_TRUE(sim_.Get<kernel::Pool>().IsLiveBlock(raw));

    // It completes with its frame through the read completion.
    converting->StreamHeader()->DataUsed = 614400;
    ExFreePoolWithTag(read->Buffer, LUMOCAM_POOL_TAG);
    read->Buffer = nullptr;
    PHW_STREAM_REQUEST_BLOCK srb = converting->Srb();
    srb->Status = STATUS_SUCCESS;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    EXPECT_EQ(converting->Status(), STATUS_SUCCESS);
    EXPECT_EQ(converting->StreamHeader()->DataUsed, 614400u);
  });
}

TEST_F(CoreTest, TheCurrentReadOfABulkStreamIsLeftToItsTransfer) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& ctx = OpenStreamZero(device, context, &stream);
    ctx.TransferKind = TRANSFER_KIND_BULK;
    auto current = stream->SubmitRead(1024);
    PLIST_ENTRY taken = ExInterlockedRemoveHeadList(&ctx.ReadQueue, &ctx.ReadQueueLock);
    ctx.CurrentRead = CONTAINING_RECORD(taken, SRB_CONTEXT, Link);
    PVOID raw = ctx.CurrentRead->Buffer;

    ASSERT_TRUE(stream->Cancel(current));
    EXPECT_TRUE(current->Outstanding());
    EXPECT_EQ(ctx.CurrentRead, ContextOf(current));
    EXPECT_TRUE(sim_.Get<kernel::Pool>().IsLiveBlock(raw));

    // The transfer's end gives it back to the queue; then a cancel finds it there.
    ctx.CurrentRead = nullptr;
    ExInterlockedInsertHeadList(&ctx.ReadQueue, taken, &ctx.ReadQueueLock);
    ASSERT_TRUE(stream->Cancel(current));
    EXPECT_EQ(current->Status(), STATUS_CANCELLED);
  });
}

TEST_F(CoreTest, CancelLeavesEveryRequestButAReadOfStreamZeroAlone) {
  RunWithDevice([&](Device& device, DEVICE_CONTEXT& context) {
    AsStarted(context, 256);
    Stream* stream = nullptr;
    STREAM_CONTEXT& ctx = OpenStreamZero(device, context, &stream);
    auto read = stream->SubmitRead(1024);
    PHW_STREAM_REQUEST_BLOCK srb = read->Srb();
    HW_STREAM_OBJECT otherStream = *srb->StreamObject;
    otherStream.StreamNumber = 1;

    struct Variant {
      const char* name;
      ULONG flags;
      SRB_COMMAND command;
      PHW_STREAM_OBJECT object;
    } variants[] = {
        {"no flags", 0, SRB_READ_DATA, srb->StreamObject},
        {"stream request without data", SRB_HW_FLAGS_STREAM_REQUEST, SRB_READ_DATA,
         srb->StreamObject},
        {"data without stream request", SRB_HW_FLAGS_DATA_TRANSFER, SRB_READ_DATA,
         srb->StreamObject},
        {"a write", SRB_HW_FLAGS_DATA_TRANSFER | SRB_HW_FLAGS_STREAM_REQUEST, SRB_WRITE_DATA,
         srb->StreamObject},
        {"another stream", SRB_HW_FLAGS_DATA_TRANSFER | SRB_HW_FLAGS_STREAM_REQUEST,
         SRB_READ_DATA, &otherStream},
        {"a device request", 0, SRB_GET_STREAM_INFO, nullptr},
    };
    const ULONG flags = srb->Flags;
    const SRB_COMMAND command = srb->Command;
    const PHW_STREAM_OBJECT object = srb->StreamObject;
    for (const Variant& v : variants) {
      SCOPED_TRACE(v.name);
      srb->Flags = v.flags;
      srb->Command = v.command;
      srb->StreamObject = v.object;
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      CancelPacket(srb);
      KeLowerIrql(old);
      EXPECT_TRUE(read->Outstanding());
      EXPECT_EQ(QueuedReads(ctx), 1u);
    }
    srb->Flags = flags;
    srb->Command = command;
    srb->StreamObject = object;
    ASSERT_TRUE(stream->Cancel(read));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  });
}

}  // namespace
}  // namespace lumo::drivertest
