// The driver's synchronous USB requests against the simulated camera on the bus: the wire format
// of the vendor requests, the 9-second time-out and its cancel, the failure latch that marks the
// device gone, requests refused before start-up, the asynchronous vendor request, pipe abort
// and interface selection.
#include <gtest/gtest.h>

#include <cstring>

#include "camera_fixture.h"
#include "kernel/io.h"
#include "usbbus/usb_host_testing.h"

namespace lumo::drivertest {
namespace {

using sim::FaultKind;
using sim::FaultRule;

constexpr ULONG kIrpTag = kernel::kIrpPoolTag;

void AddFault(sim::Camera& camera, FaultKind kind, uint64_t hits, uint64_t skipFirst = 0) {
  FaultRule rule;
  rule.kind = kind;
  rule.maxHits = hits;
  rule.skipFirst = skipFirst;
  camera.Faults().Add(rule);
}

using UsbRequestTest = StartedCameraFixture;

TEST_F(UsbRequestTest, RegisterWriteIsOneVendorRequestOutAndReachesTheBridge) {
  const size_t mark = Mark();
  USHORT result = 0xFFFF;
  Run([&] { result = WriteBridgeRegister(device(), 0x0902, 0x1234); });
  EXPECT_EQ(result, BRIDGE_IO_OK);
  const std::vector<ControlRecord> sent = VendorSince(mark);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.bmRequestType, 0x40);
  EXPECT_EQ(sent[0].setup.bRequest, 1);
  EXPECT_EQ(sent[0].setup.wValue, 0x1234);
  EXPECT_EQ(sent[0].setup.wIndex, 0x0902);
  EXPECT_EQ(sent[0].setup.wLength, 0);
  EXPECT_EQ(camera().BridgeRegister(0x0902), 0x1234);
}

TEST_F(UsbRequestTest, RegisterReadIsOneVendorRequestInAndReturnsTheBridgeValue) {
  Run([&] { WriteBridgeRegister(device(), 0x0904, 0xA55A); });
  const size_t mark = Mark();
  USHORT value = 0;
  Run([&] { value = ReadBridgeRegister(device(), 0x0904); });
  EXPECT_EQ(value, 0xA55A);
  const std::vector<ControlRecord> sent = VendorSince(mark);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.bmRequestType, 0xC0);
  EXPECT_EQ(sent[0].setup.bRequest, 0);
  EXPECT_EQ(sent[0].setup.wValue, 0);
  EXPECT_EQ(sent[0].setup.wIndex, 0x0904);
  EXPECT_EQ(sent[0].setup.wLength, 2);
}

TEST_F(UsbRequestTest, FailedTransfersGiveTheBridgeErrorCodes) {
  AddFault(camera(), FaultKind::kControlStall, 2);
  USHORT written = 0, read = 0;
  Run([&] {
    written = WriteBridgeRegister(device(), 0x0902, 1);
    read = ReadBridgeRegister(device(), 0x0904);
  });
  EXPECT_EQ(written, BRIDGE_IO_FAILED);
  EXPECT_EQ(read, BRIDGE_IO_FAILED);
  EXPECT_EQ(device()->UsbErrorCount, 2u);

  port().Unplug();
  Run([&] {
    written = WriteBridgeRegister(device(), 0x0902, 1);
    read = ReadBridgeRegister(device(), 0x0904);
  });
  EXPECT_EQ(written, BRIDGE_IO_NOT_CONNECTED);
  EXPECT_EQ(read, BRIDGE_IO_NOT_CONNECTED);
}

// A control request that the camera never answers.
TEST_F(UsbRequestTest, UnansweredRequestTimesOutAfterNineSecondsAndIsCancelled) {
  AddFault(camera(), FaultKind::kControlNoAnswer, 1);
  const uint64_t cancelledBefore = port().Statistics().cancelled;
  NTSTATUS status = STATUS_SUCCESS;
  VirtualTime started = 0, finished = 0;
  Run([&] {
    started = Now();
    ULONG length = 0;
    status = SendVendorRequest(device(), VENDOR_REQUEST_WRITE_REGISTER, 7, 0x0902, NULL, &length,
                               FALSE);
    finished = Now();
  });
  EXPECT_EQ(status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(finished - started, 9 * kSecond);
  // The cancelled IRP went back through the bus and the I/O manager freed it.
  EXPECT_EQ(port().Statistics().cancelled, cancelledBefore + 1);
  EXPECT_EQ(PoolTag(kIrpTag).blocksInUse, 0u);
  EXPECT_EQ(PoolTag(LUMOCAM_POOL_TAG).blocksInUse, 3u);  // descriptor, interface, pipe table
  EXPECT_EQ(device()->UsbErrorCount, 1u);
  EXPECT_NE(camera().BridgeRegister(0x0902), 7);

  // The default pipe is free again: the next request goes through and clears the count.
  Run([&] { status = WriteBridgeRegister(device(), 0x0902, 8) == 0 ? STATUS_SUCCESS : -1; });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(camera().BridgeRegister(0x0902), 8);
  EXPECT_EQ(device()->UsbErrorCount, 0u);
}

struct LatchCase {
  const char* name;
  int failures;
  bool successAfter;
  ULONG errorCount;
  BOOLEAN gone;
};

class UsbErrorLatchTest : public StartedCameraFixture,
                          public ::testing::WithParamInterface<LatchCase> {};

TEST_P(UsbErrorLatchTest, ConsecutiveFailuresMarkTheDeviceGone) {
  const LatchCase& c = GetParam();
  AddFault(camera(), FaultKind::kControlStall, c.failures);
  Run([&] {
    for (int i = 0; i < c.failures; i++) WriteBridgeRegister(device(), 0x0902, (USHORT)i);
    if (c.successAfter) WriteBridgeRegister(device(), 0x0902, 0x77);
  });
  EXPECT_EQ(device()->UsbErrorCount, c.errorCount);
  EXPECT_EQ(device()->DeviceGone, c.gone);
}

const LatchCase kLatchCases[] = {
    {"FourFailuresThenSuccess", 4, true, 0, FALSE},
    {"FourFailures", 4, false, 4, FALSE},
    {"FiveFailures", 5, false, 5, TRUE},
};
INSTANTIATE_TEST_SUITE_P(Failures, UsbErrorLatchTest, ::testing::ValuesIn(kLatchCases),
                         [](const ::testing::TestParamInfo<LatchCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(UsbRequestTest, GoneDeviceGetsNoRequestsAndEveryRequestSucceeds) {
  AddFault(camera(), FaultKind::kControlStall, 5);
  Run([&] {
    for (int i = 0; i < 5; i++) WriteBridgeRegister(device(), 0x0902, 1);
  });
  ASSERT_TRUE(device()->DeviceGone);
  const size_t mark = Mark();
  const uint64_t urbs = port().Statistics().urbs;
  UCHAR buffer[2] = {0xAA, 0xAA};
  ULONG length = sizeof(buffer);
  NTSTATUS read = -1, abort = -1, select = -1;
  USHORT written = 0xFFFF;
  Run([&] {
    read = SendVendorRequest(device(), VENDOR_REQUEST_READ_REGISTER, 0, 0x0904, buffer, &length,
                             TRUE);
    written = WriteBridgeRegister(device(), 0x0902, 0x55);
    abort = AbortPipe(device(), device()->InterfaceInfo->Pipes[1].PipeHandle);
    device()->InterfaceInfo->AlternateSetting = 2;
    select = SelectInterface(device(), device()->InterfaceInfo);
  });
  EXPECT_EQ(read, STATUS_SUCCESS);
  EXPECT_EQ(length, sizeof(buffer));  // the caller's length stands
  EXPECT_EQ(buffer[0], 0);            // no data arrived: the bytes reported are zeros
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(written, BRIDGE_IO_OK);
  EXPECT_EQ(abort, STATUS_SUCCESS);
  EXPECT_EQ(select, STATUS_SUCCESS);
  EXPECT_EQ(Since(mark).size(), 0u);
  EXPECT_EQ(port().Statistics().urbs, urbs);
  EXPECT_EQ(camera().AlternateSetting(), 1);
}

// Before start-up has begun (InitState 0) requests are refused without reaching the bus, and
// the IRP built for each is released.
TEST_F(CameraFixture, RequestsBeforeStartUpAreRefusedAndCounted) {
  const size_t mark = Mark();
  const uint64_t urbs = port().Statistics().urbs;
  NTSTATUS status = STATUS_SUCCESS;
  Run([&] {
    KeInitializeSemaphore(&device()->UsbCallSemaphore, 1, 1);
    for (int i = 0; i < 5; i++) {
      status = SendVendorRequest(device(), VENDOR_REQUEST_WRITE_REGISTER, 1, 0x0902, NULL, NULL,
                                 FALSE);
      EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
      EXPECT_EQ(device()->UsbErrorCount, (ULONG)(i + 1));
    }
  });
  EXPECT_TRUE(device()->DeviceGone);
  EXPECT_EQ(Since(mark).size(), 0u);
  EXPECT_EQ(port().Statistics().urbs, urbs);
  EXPECT_EQ(PoolTag(kIrpTag).blocksInUse, 0u);
  EXPECT_EQ(PoolTag(kIrpTag).allocations, PoolTag(kIrpTag).frees);
  EXPECT_EQ(PoolTag(LUMOCAM_POOL_TAG).blocksInUse, 0u);
}

struct AsyncResult {
  KEVENT done;
  NTSTATUS status = -1;
  KIRQL irql = 0xFF;
  int calls = 0;
};

void AsyncCompletion(PDEVICE_CONTEXT, PVOID context, NTSTATUS status) {
  AsyncResult* result = static_cast<AsyncResult*>(context);
  result->status = status;
  result->irql = KeGetCurrentIrql();
  result->calls++;
  KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(UsbRequestTest, VendorRequestAtDispatchLevelIsQueuedAndCompletesLater) {
  Run([&] { WriteBridgeRegister(device(), 0x0904, 0x4321); });
  AsyncResult result;
  UCHAR buffer[2] = {0, 0};
  ULONG length = sizeof(buffer);
  NTSTATUS returned = 0;
  int callsAtReturn = -1;
  Run([&] {
    KeInitializeEvent(&result.done, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    returned = SendVendorRequestAsync(device(), VENDOR_REQUEST_READ_REGISTER, 0, 0x0904, buffer,
                                      &length, TRUE, AsyncCompletion, &result);
    callsAtReturn = result.calls;
    KeLowerIrql(old);
    KeWaitForSingleObject(&result.done, Executive, KernelMode, FALSE, NULL);
  });
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(callsAtReturn, 0);
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.irql, PASSIVE_LEVEL);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(buffer[0] | (buffer[1] << 8), 0x4321);
  EXPECT_EQ(PoolTag(LUMOCAM_POOL_TAG).blocksInUse, 3u);  // the work record is gone
}

TEST_F(UsbRequestTest, VendorRequestBelowDispatchLevelReportsItsFinalStatusToo) {
  AddFault(camera(), FaultKind::kControlStall, 1);
  AsyncResult result;
  NTSTATUS returned = 0;
  Run([&] {
    KeInitializeEvent(&result.done, NotificationEvent, FALSE);
    returned = SendVendorRequestAsync(device(), VENDOR_REQUEST_WRITE_REGISTER, 1, 0x0902, NULL,
                                      NULL, FALSE, AsyncCompletion, &result);
  });
  EXPECT_EQ(returned, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.status, returned);
  EXPECT_EQ(result.irql, PASSIVE_LEVEL);
}

TEST_F(UsbRequestTest, RequestsWithoutPoolFailWithoutReachingTheBus) {
  const size_t mark = Mark();
  NTSTATUS vendor = 0, queued = 0, abort = 0, select = 0;
  Run([&] {
    rig().pool().FailTag(LUMOCAM_POOL_TAG);
    vendor = SendVendorRequest(device(), VENDOR_REQUEST_WRITE_REGISTER, 1, 0x0902, NULL, NULL,
                               FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    queued = SendVendorRequestAsync(device(), VENDOR_REQUEST_WRITE_REGISTER, 1, 0x0902, NULL,
                                    NULL, FALSE, NULL, NULL);
    KeLowerIrql(old);
    abort = AbortPipe(device(), device()->InterfaceInfo->Pipes[1].PipeHandle);
    device()->InterfaceInfo->AlternateSetting = 2;
    select = SelectInterface(device(), device()->InterfaceInfo);
    device()->InterfaceInfo->AlternateSetting = 1;
    rig().pool().ClearFaults();
  });
  EXPECT_EQ(vendor, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(queued, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(abort, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(select, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Since(mark).size(), 0u);
  EXPECT_EQ(camera().AlternateSetting(), 1);
}

TEST_F(UsbRequestTest, AbortPipeEndsTheTransfersOfThePipe) {
  const USBD_PIPE_HANDLE pipe = device()->InterfaceInfo->Pipes[1].PipeHandle;
  const ULONG packetSize = device()->InterfaceInfo->Pipes[1].MaximumPacketSize;
  ASSERT_GT(packetSize, 0u);
  NTSTATUS submitted = 0, aborted = -1;
  bool doneBefore = true, doneAfter = false;
  NTSTATUS transferStatus = 0;
  Run([&] {
    usbbus::testing::IsoTransfer transfer(device()->BusDeviceObject, 64, packetSize);
    submitted = transfer.Submit(pipe);
    doneBefore = transfer.Done();
    aborted = AbortPipe(device(), pipe);
    transfer.Wait();
    doneAfter = transfer.Done();
    transferStatus = transfer.Irp()->IoStatus.Status;
  });
  EXPECT_EQ(submitted, STATUS_PENDING);
  EXPECT_FALSE(doneBefore);
  EXPECT_EQ(aborted, STATUS_SUCCESS);
  EXPECT_TRUE(doneAfter);
  EXPECT_EQ(transferStatus, STATUS_CANCELLED);
}

TEST_F(UsbRequestTest, SelectInterfaceChangesTheSettingAndUpdatesBothDescriptions) {
  ASSERT_EQ(device()->InterfaceInfo->AlternateSetting, 1);
  const USHORT length = device()->InterfaceInfo->Length;
  std::vector<UCHAR> copy(length);
  std::memcpy(copy.data(), device()->InterfaceInfo, length);
  auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(copy.data());
  interface->AlternateSetting = 4;
  NTSTATUS status = -1;
  Run([&] { status = SelectInterface(device(), interface); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(camera().AlternateSetting(), 4);
  const uint32_t expected = camera().PacketSize(0x81, 4);
  EXPECT_EQ(interface->Pipes[1].MaximumPacketSize, expected);
  EXPECT_EQ(device()->InterfaceInfo->AlternateSetting, 4);
  EXPECT_EQ(device()->InterfaceInfo->Pipes[1].MaximumPacketSize, expected);
  EXPECT_EQ(device()->InterfaceInfo->Pipes[1].PipeHandle, interface->Pipes[1].PipeHandle);

  // Back to the status setting through the device's own description, as the capture stop does.
  device()->InterfaceInfo->AlternateSetting = 1;
  Run([&] { status = SelectInterface(device(), device()->InterfaceInfo); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(camera().AlternateSetting(), 1);
  EXPECT_EQ(device()->InterfaceInfo->Pipes[1].MaximumPacketSize, camera().PacketSize(0x81, 1));
}

TEST_F(UsbRequestTest, SelectInterfaceRefusesWhileAPipeTransferIsOutstanding) {
  TRANSFER_RECORD outstanding;
  std::memset(&outstanding, 0, sizeof(outstanding));
  device()->PipeTable[2].ActiveTransfer = &outstanding;
  const size_t mark = Mark();
  device()->InterfaceInfo->AlternateSetting = 3;
  NTSTATUS status = 0;
  Run([&] { status = SelectInterface(device(), device()->InterfaceInfo); });
  device()->PipeTable[2].ActiveTransfer = NULL;
  device()->InterfaceInfo->AlternateSetting = 1;
  EXPECT_EQ(status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(Since(mark).size(), 0u);
  EXPECT_EQ(camera().AlternateSetting(), 1);
}

TEST_F(UsbRequestTest, SelectInterfaceOfAMissingSettingFailsAndKeepsTheDescription) {
  const USBD_PIPE_HANDLE before = device()->InterfaceInfo->Pipes[1].PipeHandle;
  device()->InterfaceInfo->AlternateSetting = 9;
  NTSTATUS status = STATUS_SUCCESS;
  Run([&] { status = SelectInterface(device(), device()->InterfaceInfo); });
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(camera().AlternateSetting(), 1);
  EXPECT_EQ(device()->InterfaceInfo->Pipes[1].PipeHandle, before);
  device()->InterfaceInfo->AlternateSetting = 1;
}

}  // namespace
}  // namespace lumo::drivertest
