// The stream class stand-in against a small minidriver of the test's own that records what it
// is asked and answers as each test tells it: registration and extensions, the start sequence,
// the exactly-once completion checks, the property path against the reported tables, device
// events, the time-out tick, cancel, PnP hand-over and master clocks.
#include "streamclass/stream_class.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/pool.h"

namespace lumo::streamclass {
namespace {

using kernel::IoManager;
using kernel::SimulationOptions;
using kernel::VerifierReport;

// {4A1F0C3E-0001-4B2A-9D11-2E6F00000001}: a property and event set of the test minidriver.
constexpr GUID kTestSet = {0x4A1F0C3E, 0x0001, 0x4B2A, {0x9D, 0x11, 0x2E, 0x6F, 0, 0, 0, 1}};
constexpr GUID kOtherSet = {0x4A1F0C3E, 0x0002, 0x4B2A, {0x9D, 0x11, 0x2E, 0x6F, 0, 0, 0, 2}};

constexpr NTSTATUS kInvalidParameter1 = (NTSTATUS)0xC00000EFL;
constexpr ULONG kDeviceExtensionBytes = 300;
constexpr ULONG kStreamExtensionBytes = 200;
constexpr ULONG kRequestExtensionBytes = 40;

// What the minidriver saw and how it answers.
struct Minidriver {
  std::vector<ULONG> commands;                 // device commands, in order
  ULONG streamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
  ULONG reportedStreams = 1;
  NTSTATUS initializeStatus = STATUS_SUCCESS;
  NTSTATUS unknownCommandStatus = STATUS_NOT_IMPLEMENTED;
  ULONG infoBufferFirstByte = 0xFF;           // first byte of the info buffer as it arrived
  bool completeTwice = false;
  bool completeDeviceRequestsAsStream = false;
  std::vector<uint8_t> extensionAtInitialize;  // device extension as it arrived
  std::vector<uint8_t> requestExtension;       // a per-request extension as it arrived
  // Property requests that reached the minidriver.
  struct PropertyCall {
    ULONG command, setIndex, id, flags, inputSize, outputSize;
  };
  std::vector<PropertyCall> properties;
  std::vector<KIRQL> eventRoutineIrqls;
  std::vector<BOOLEAN> eventEnables;
  std::vector<PHW_STREAM_REQUEST_BLOCK> reads;  // kept pending until cancelled
  std::vector<KIRQL> cancelIrqls;
  ULONG timeoutCalls = 0;
  bool restartTimeouts = false;
  LONG propertyValue = 0;
};
Minidriver* g_mini = nullptr;

// The test minidriver's tables: one device property set with a get-only item without values
// (id 1), a get/set item with a value table (id 2), a set-only item (id 3); one event.
constexpr KSPROPERTY_STEPPING_LONG kRange = {1, 0, {{-10, 20}}};
constexpr LONG kDefault = 7;
const KSPROPERTY_MEMBERSLIST kMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kDefault},
};
KSPROPERTY_VALUES MakeValues() {
  KSPROPERTY_VALUES values{};
  values.PropTypeSet.Set = KSPROPTYPESETID_General;
  values.PropTypeSet.Id = VT_I4;
  values.MembersListCount = 2;
  values.MembersList = kMembers;
  return values;
}
const KSPROPERTY_VALUES kValues = MakeValues();
KSPROPERTY_ITEM Item(ULONG id, bool get, bool set, ULONG minProperty, ULONG minData,
                     const KSPROPERTY_VALUES* values) {
  KSPROPERTY_ITEM item{};
  item.PropertyId = id;
  item.GetSupported = get;
  item.MinProperty = minProperty;
  item.MinData = minData;
  item.SetSupported = set;
  item.Values = values;
  return item;
}
const KSPROPERTY_ITEM kItems[] = {
    Item(1, true, false, sizeof(KSPROPERTY), sizeof(ULONG), nullptr),
    Item(2, true, true, sizeof(KSPROPERTY) + 8, sizeof(LONG), &kValues),
    Item(3, false, true, sizeof(KSPROPERTY), sizeof(ULONG), nullptr),
};
const KSPROPERTY_SET kPropertySets[] = {{&kTestSet, 3, kItems, 0, nullptr}};
const KSEVENT_ITEM kEventItems[] = {{5, 0, 8, nullptr, nullptr, nullptr}};
const KSEVENT_SET kEventSets[] = {{&kTestSet, 1, kEventItems}};
const KSTOPOLOGY kTopology = {};

NTSTATUS STREAMAPI EventRoutine(PHW_EVENT_DESCRIPTOR descriptor) {
  g_mini->eventRoutineIrqls.push_back(KeGetCurrentIrql());
  g_mini->eventEnables.push_back(descriptor->Enable);
  return STATUS_SUCCESS;
}

void STREAMAPI ReceiveData(PHW_STREAM_REQUEST_BLOCK srb) { g_mini->reads.push_back(srb); }

void STREAMAPI ReceiveControl(PHW_STREAM_REQUEST_BLOCK srb) {
  srb->Status = STATUS_SUCCESS;
  if (srb->Command == SRB_GET_STREAM_STATE) srb->CommandData.StreamState = KSSTATE_PAUSE;
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

void STREAMAPI ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
  Minidriver& mini = *g_mini;
  mini.commands.push_back(srb->Command);
  if (mini.requestExtension.empty()) {
    auto* bytes = static_cast<uint8_t*>(srb->SRBExtension);
    mini.requestExtension.assign(bytes, bytes + kRequestExtensionBytes);
  }
  srb->Status = STATUS_SUCCESS;
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE: {
      auto* bytes = static_cast<uint8_t*>(srb->HwDeviceExtension);
      mini.extensionAtInitialize.assign(bytes, bytes + kDeviceExtensionBytes);
      srb->CommandData.ConfigInfo->StreamDescriptorSize = mini.streamDescriptorSize;
      srb->Status = mini.initializeStatus;
      break;
    }
    case SRB_GET_STREAM_INFO: {
      PHW_STREAM_HEADER header = &srb->CommandData.StreamBuffer->StreamHeader;
      mini.infoBufferFirstByte = *reinterpret_cast<uint8_t*>(header);
      header->NumberOfStreams = mini.reportedStreams;
      header->SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
      header->NumDevPropArrayEntries = 1;
      header->DevicePropertiesArray = kPropertySets;
      header->NumDevEventArrayEntries = 1;
      header->DeviceEventsArray = kEventSets;
      header->DeviceEventRoutine = EventRoutine;
      header->Topology = &kTopology;
      break;
    }
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY: {
      PSTREAM_PROPERTY_DESCRIPTOR d = srb->CommandData.PropertyInfo;
      mini.properties.push_back({ULONG(srb->Command), d->PropertySetID, d->Property->Id,
                                 d->Property->Flags, d->PropertyInputSize, d->PropertyOutputSize});
      if (srb->Command == SRB_GET_DEVICE_PROPERTY) {
        *static_cast<LONG*>(d->PropertyInfo) = mini.propertyValue;
        srb->ActualBytesTransferred = sizeof(LONG);
      } else {
        mini.propertyValue = *static_cast<LONG*>(d->PropertyInfo);
      }
      break;
    }
    case SRB_OPEN_STREAM:
      srb->StreamObject->ReceiveDataPacket = ReceiveData;
      srb->StreamObject->ReceiveControlPacket = ReceiveControl;
      srb->StreamObject->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
      break;
    case SRB_UNKNOWN_DEVICE_COMMAND: srb->Status = mini.unknownCommandStatus; break;
    default: break;
  }
  if (mini.completeDeviceRequestsAsStream) {
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    return;
  }
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
  if (mini.completeTwice) {
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
  }
}

void STREAMAPI Cancel(PHW_STREAM_REQUEST_BLOCK srb) {
  g_mini->cancelIrqls.push_back(KeGetCurrentIrql());
  auto& reads = g_mini->reads;
  auto found = std::find(reads.begin(), reads.end(), srb);
  if (found == reads.end()) return;
  reads.erase(found);
  srb->Status = STATUS_CANCELLED;
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

void STREAMAPI Timeout(PHW_STREAM_REQUEST_BLOCK srb) {
  ++g_mini->timeoutCalls;
  if (g_mini->restartTimeouts) srb->TimeoutCounter = srb->TimeoutOriginal;
}

NTSTATUS NTAPI MiniEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  HW_INITIALIZATION_DATA init{};
  init.HwInitializationDataSize = sizeof init;
  init.HwReceivePacket = ReceivePacket;
  init.HwCancelPacket = Cancel;
  init.HwRequestTimeoutHandler = Timeout;
  init.DeviceExtensionSize = kDeviceExtensionBytes;
  init.PerStreamExtensionSize = kStreamExtensionBytes;
  init.PerRequestExtensionSize = kRequestExtensionBytes;
  init.TurnOffSynchronization = TRUE;
  return StreamClassRegisterAdapter(driver, path, &init);
}

// The bus below: answers PnP request minor 0x18 (a query of its own) with success, others with
// the status they carry.
ULONG g_busPnpCalls = 0;
NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT, PIRP irp) {
  ++g_busPnpCalls;
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == 0x18) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

SimulationOptions Lenient() {
  SimulationOptions options;
  options.verifierFailuresFatal = false;
  return options;
}

bool HasReport(const std::vector<VerifierReport>& reports, const std::string& check) {
  return std::any_of(reports.begin(), reports.end(),
                     [&](const VerifierReport& r) { return r.check == check; });
}

class StreamClassTest : public ::testing::Test {
 protected:
  StreamClassTest() { g_mini = &mini_; g_busPnpCalls = 0; }
  ~StreamClassTest() override { g_mini = nullptr; }

  // Loads the minidriver, creates its device on a bus device, runs body, removes the device.
  static void WithDevice(Simulation& sim, const std::function<void(Device&)>& body) {
    sim.Run([&] {
      IoManager& io = sim.Get<IoManager>();
      PDRIVER_OBJECT driver = nullptr;
      ASSERT_EQ(io.LoadDriver(MiniEntry, u"\\Driver\\mini", u"\\Registry\\mini", &driver),
                STATUS_SUCCESS);
      PDRIVER_OBJECT bus = io.CreateDriverObject(u"\\Driver\\bus");
      bus->MajorFunction[IRP_MJ_PNP] = BusPnp;
      PDEVICE_OBJECT physical = nullptr;
      ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_USB, 0, FALSE, &physical),
                STATUS_SUCCESS);
      Device* device = StreamClass::Of(sim).CreateDevice(driver, physical);
      ASSERT_NE(device, nullptr);
      body(*device);
      device->Release();
      IoDeleteDevice(physical);
    });
  }
  void WithDevice(const std::function<void(Device&)>& body) { WithDevice(sim_, body); }

  Minidriver mini_;
  Simulation sim_;
};

// --- Registration, extensions, start ----------------------------------------------------------

TEST_F(StreamClassTest, RegistrationRefusesARecordOfTheWrongSizeOrWithoutItsRoutine) {
  sim_.Run([&] {
    IoManager& io = sim_.Get<IoManager>();
    PDRIVER_OBJECT driver = io.CreateDriverObject(u"\\Driver\\x");
    HW_INITIALIZATION_DATA init{};
    init.HwInitializationDataSize = sizeof init - 4;
    init.HwReceivePacket = ReceivePacket;
    EXPECT_EQ(StreamClassRegisterAdapter(driver, nullptr, &init), STATUS_INVALID_PARAMETER);
    init.HwInitializationDataSize = sizeof init;
    init.HwReceivePacket = nullptr;
    EXPECT_EQ(StreamClassRegisterAdapter(driver, nullptr, &init), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StreamClass::Of(sim_).RegistrationOf(driver), nullptr);
    init.HwReceivePacket = ReceivePacket;
    init.DeviceExtensionSize = 12;
    EXPECT_EQ(StreamClassRegisterAdapter(driver, nullptr, &init), STATUS_SUCCESS);
    ASSERT_NE(StreamClass::Of(sim_).RegistrationOf(driver), nullptr);
    EXPECT_EQ(StreamClass::Of(sim_).RegistrationOf(driver)->DeviceExtensionSize, 12u);
  });
}

TEST_F(StreamClassTest, StartRunsTheThreeRequestsInOrderWithZeroFilledExtensions) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    EXPECT_EQ(mini_.commands, (std::vector<ULONG>{SRB_INITIALIZE_DEVICE, SRB_GET_STREAM_INFO,
                                                  SRB_INITIALIZATION_COMPLETE}));
    EXPECT_EQ(device.ExtensionSize(), kDeviceExtensionBytes);
    EXPECT_EQ(mini_.extensionAtInitialize, std::vector<uint8_t>(kDeviceExtensionBytes, 0));
    EXPECT_EQ(mini_.requestExtension,
              std::vector<uint8_t>(kRequestExtensionBytes, kRequestExtensionFill));
    EXPECT_EQ(mini_.infoBufferFirstByte, 0u);
    EXPECT_EQ(device.StreamDescriptorSize(), mini_.streamDescriptorSize);
    EXPECT_EQ(device.StreamCount(), 1u);
    EXPECT_EQ(device.StreamHeader().DevicePropertiesArray, kPropertySets);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    KS_DATARANGE_VIDEO range{};
    range.DataRange.FormatSize = sizeof(KSDATAFORMAT);
    Stream* stream = device.OpenStream(0, &range.DataRange, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(stream->Object()->HwDeviceExtension, device.Extension());
    auto* bytes = static_cast<uint8_t*>(stream->Extension());
    EXPECT_TRUE(std::all_of(bytes, bytes + kStreamExtensionBytes, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(device.OpenStream(1, &range.DataRange, &status), nullptr);
    EXPECT_EQ(status, kStatusNotFound);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  });
}

TEST_F(StreamClassTest, AFailedInitializationEndsTheStart) {
  mini_.initializeStatus = STATUS_NO_SUCH_DEVICE;
  WithDevice([&](Device& device) {
    EXPECT_EQ(device.Start(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(mini_.commands, std::vector<ULONG>{SRB_INITIALIZE_DEVICE});
    EXPECT_FALSE(device.Started());
  });
}

TEST_F(StreamClassTest, StreamInformationThatDoesNotFitTheReportedSizeIsReported) {
  mini_.reportedStreams = 2;  // but room for one only
  Simulation sim(Lenient());
  WithDevice(sim, [&](Device& device) {
    EXPECT_EQ(device.Start(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(device.Started());
  });
  EXPECT_TRUE(HasReport(sim.VerifierReports(), "stream-info-size"));
}

// --- Completion checks ------------------------------------------------------------------------

TEST_F(StreamClassTest, CompletingARequestTwiceIsReported) {
  mini_.completeTwice = true;
  Simulation sim(Lenient());
  WithDevice(sim, [&](Device& device) {
    EXPECT_EQ(device.SendDeviceRequest(SRB_PAGING_OUT_DRIVER).status, STATUS_SUCCESS);
  });
  EXPECT_TRUE(HasReport(sim.VerifierReports(), "srb-double-complete"));
}

TEST_F(StreamClassTest, CompletingADeviceRequestAsAStreamRequestIsReported) {
  mini_.completeDeviceRequestsAsStream = true;
  Simulation sim(Lenient());
  WithDevice(sim, [&](Device& device) { device.SendDeviceRequest(SRB_PAGING_OUT_DRIVER); });
  EXPECT_TRUE(HasReport(sim.VerifierReports(), "srb-wrong-notification"));
}

TEST_F(StreamClassTest, ARequestNeverCompletedIsReportedAtTeardown) {
  auto reports = kernel::RunCollectingReports(
      [&](Simulation& sim) {
        WithDevice(sim, [&](Device& device) {
          ASSERT_EQ(device.Start(), STATUS_SUCCESS);
          KSDATAFORMAT format{};
          format.FormatSize = sizeof format;
          Stream* stream = device.OpenStream(0, &format, nullptr);
          ASSERT_NE(stream, nullptr);
          stream->SubmitRead(100);  // the minidriver keeps it
        });
      },
      Lenient());
  EXPECT_TRUE(HasReport(reports, "srb-never-completed"));
}

// --- Property path ----------------------------------------------------------------------------

TEST_F(StreamClassTest, OnlyDeclaredVerbsOfDeclaredItemsReachTheMinidriver) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    LONG value = 0;
    ULONG returned = 99;
    struct {
      const char* name;
      const GUID* set;
      ULONG id;
      ULONG flags;
      NTSTATUS expected;
    } refused[] = {
        {"unknown set", &kOtherSet, 1, KSPROPERTY_TYPE_GET, kStatusNotFound},
        {"unknown item", &kTestSet, 9, KSPROPERTY_TYPE_GET, kStatusNotFound},
        {"set of a get-only item", &kTestSet, 1, KSPROPERTY_TYPE_SET,
         STATUS_INVALID_DEVICE_REQUEST},
        {"get of a set-only item", &kTestSet, 3, KSPROPERTY_TYPE_GET,
         STATUS_INVALID_DEVICE_REQUEST},
        {"request shorter than MinProperty", &kTestSet, 2, KSPROPERTY_TYPE_GET,
         kStatusInvalidBufferSize},
        {"defaults of an item without values", &kTestSet, 1, KSPROPERTY_TYPE_DEFAULTVALUES,
         kStatusNotFound},
    };
    for (const auto& r : refused) {
      SCOPED_TRACE(r.name);
      EXPECT_EQ(device.Property(*r.set, r.id, r.flags, nullptr, 0, &value, sizeof value,
                                &returned),
                r.expected);
      EXPECT_EQ(returned, 0u);
    }
    EXPECT_TRUE(mini_.properties.empty());

    // Data shorter than MinData: a get with none is a size query, anything else too small.
    const LONG instance[2] = {0, 0};
    EXPECT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_GET, instance, sizeof instance,
                              nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(LONG));
    uint16_t small = 0;
    EXPECT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_SET, instance, sizeof instance,
                              &small, sizeof small, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(mini_.properties.empty());

    // Declared verbs go through, with the descriptor the class builds.
    value = -3;
    ASSERT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_SET, instance, sizeof instance, &value,
                              sizeof value, &returned),
              STATUS_SUCCESS);
    value = 0;
    ASSERT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_GET, instance, sizeof instance, &value,
                              sizeof value, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(value, -3);
    EXPECT_EQ(returned, sizeof(LONG));
    ASSERT_EQ(mini_.properties.size(), 2u);
    EXPECT_EQ(mini_.properties[0].command, ULONG(SRB_SET_DEVICE_PROPERTY));
    EXPECT_EQ(mini_.properties[1].command, ULONG(SRB_GET_DEVICE_PROPERTY));
    EXPECT_EQ(mini_.properties[1].setIndex, 0u);
    EXPECT_EQ(mini_.properties[1].id, 2u);
    EXPECT_EQ(mini_.properties[1].flags, ULONG(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(mini_.properties[1].inputSize, sizeof(KSPROPERTY) + sizeof instance);
    EXPECT_EQ(mini_.properties[1].outputSize, sizeof(LONG));
  });
}

TEST_F(StreamClassTest, RangeAndDefaultQueriesAreAnsweredFromTheValueTable) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    ULONG returned = 0;
    // Access flags only.
    ULONG access = 0;
    ASSERT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &access,
                              sizeof access, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET |
                            KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_DEFAULTVALUES));
    // Size query, then the whole description with both member lists.
    ASSERT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, nullptr, 0,
                              &returned),
              STATUS_BUFFER_OVERFLOW);
    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                       sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(LONG);
    EXPECT_EQ(returned, full);
    std::vector<uint8_t> answer(full);
    ASSERT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0,
                              answer.data(), full, &returned),
              STATUS_SUCCESS);
    auto* description = reinterpret_cast<KSPROPERTY_DESCRIPTION*>(answer.data());
    EXPECT_EQ(description->DescriptionSize, full);
    EXPECT_EQ(description->MembersListCount, 2u);
    EXPECT_EQ(description->PropTypeSet.Id, ULONG(VT_I4));
    auto* header = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(description + 1);
    EXPECT_EQ(header->MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
    auto* stepping = reinterpret_cast<KSPROPERTY_STEPPING_LONG*>(header + 1);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, -10);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, 20);
    // Defaults: the description and the default list only.
    const ULONG defaults =
        sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) + sizeof(LONG);
    std::vector<uint8_t> fallback(defaults);
    ASSERT_EQ(device.Property(kTestSet, 2, KSPROPERTY_TYPE_DEFAULTVALUES, nullptr, 0,
                              fallback.data(), defaults, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, defaults);
    auto* list = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(fallback.data() +
                                                              sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_EQ(list->Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(*reinterpret_cast<LONG*>(list + 1), 7);
    // None of it reached the minidriver.
    EXPECT_TRUE(mini_.properties.empty());
  });
}

// --- Events -----------------------------------------------------------------------------------

TEST_F(StreamClassTest, EventsAreEnabledThroughTheRoutineAndCountTheirSignals) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    EXPECT_EQ(device.EnableEvent(kTestSet, 4, nullptr), kStatusNotFound);
    EXPECT_EQ(device.EnableEvent(kOtherSet, 5, nullptr), kStatusNotFound);
    EventEntry* first = nullptr;
    EventEntry* second = nullptr;
    ASSERT_EQ(device.EnableEvent(kTestSet, 5, &first), STATUS_SUCCESS);
    ASSERT_EQ(device.EnableEvent(kTestSet, 5, &second), STATUS_SUCCESS);
    EXPECT_EQ(first->Entry()->EventItem, &kEventItems[0]);
    StreamClassDeviceNotification(SignalMultipleDeviceEvents, device.Extension(), &kTestSet,
                                  ULONG(5));
    StreamClassDeviceNotification(SignalDeviceEvent, device.Extension(), second->Entry());
    EXPECT_EQ(first->signals, 1u);
    EXPECT_EQ(second->signals, 2u);
    EXPECT_EQ(device.SignalCount(kTestSet, 5), 2u);
    EXPECT_EQ(device.DisableEvent(first), STATUS_SUCCESS);
    EXPECT_EQ(mini_.eventEnables, (std::vector<BOOLEAN>{TRUE, TRUE, FALSE}));
    EXPECT_EQ(mini_.eventRoutineIrqls, (std::vector<KIRQL>(3, DISPATCH_LEVEL)));
  });
}

// --- Time-out, cancel -------------------------------------------------------------------------

TEST_F(StreamClassTest, TheTimeOutTickCountsDownOncePerSecondAndCallsTheHandlerAtZero) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    // Synchronous requests leave nothing scheduled: time does not move.
    EXPECT_EQ(sim_.Now(), 0);
    KSDATAFORMAT format{};
    format.FormatSize = sizeof format;
    Stream* stream = device.OpenStream(0, &format, nullptr);
    ASSERT_NE(stream, nullptr);
    auto read = stream->SubmitRead(64);
    PHW_STREAM_REQUEST_BLOCK srb = read->Srb();
    srb->TimeoutOriginal = srb->TimeoutCounter = 3;

    LARGE_INTEGER wait;
    wait.QuadPart = -2500 * kernel::kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(srb->TimeoutCounter, 1u);
    EXPECT_EQ(mini_.timeoutCalls, 0u);
    wait.QuadPart = -1000 * kernel::kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);  // 3.5 s: the count reached 0 at 3 s
    EXPECT_EQ(mini_.timeoutCalls, 1u);
    // Left at 0 by the handler, the request no longer times out.
    wait.QuadPart = -2000 * kernel::kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);  // 5.5 s
    EXPECT_EQ(mini_.timeoutCalls, 1u);
    EXPECT_EQ(read->request->timeoutHandlerCalls, 1u);
    // A count set again runs down again; a handler that restarts it keeps it going.
    srb->TimeoutCounter = 3;
    mini_.restartTimeouts = true;
    wait.QuadPart = -4000 * kernel::kMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);  // 9.5 s: the count reached 0 at 8 s
    EXPECT_EQ(mini_.timeoutCalls, 2u);
    EXPECT_EQ(srb->TimeoutCounter, 2u);
    EXPECT_TRUE(read->Outstanding());

    // Cancel at DISPATCH_LEVEL; once completed, the tick stops.
    EXPECT_TRUE(stream->Cancel(read));
    EXPECT_EQ(mini_.cancelIrqls, std::vector<KIRQL>{DISPATCH_LEVEL});
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(stream->Cancel(read));
    EXPECT_EQ(mini_.cancelIrqls.size(), 1u);
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  });
  sim_.RunUntilIdle();
  EXPECT_EQ(sim_.Now(), 9500 * kernel::kMillisecond);
}

// --- Streams ----------------------------------------------------------------------------------

TEST_F(StreamClassTest, ReadsCarryAStreamHeaderWithTheMediaSpecificBytesBehindIt) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    KSDATAFORMAT format{};
    format.FormatSize = sizeof format;
    Stream* stream = device.OpenStream(0, &format, nullptr);
    ASSERT_NE(stream, nullptr);
    KSSTATE state = KSSTATE_STOP;
    EXPECT_EQ(stream->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    auto read = stream->SubmitRead(1000);
    ASSERT_EQ(mini_.reads.size(), 1u);
    PHW_STREAM_REQUEST_BLOCK srb = mini_.reads[0];
    EXPECT_EQ(srb->Command, SRB_READ_DATA);
    EXPECT_EQ(srb->Flags, ULONG(SRB_HW_FLAGS_DATA_TRANSFER | SRB_HW_FLAGS_STREAM_REQUEST));
    EXPECT_EQ(srb->NumberOfBuffers, 1u);
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    EXPECT_EQ(header->Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(header->FrameExtent, 1000u);
    EXPECT_EQ(header->Data, read->data.data());
    auto* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
    EXPECT_EQ(info->ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_TRUE(stream->Cancel(read));
    EXPECT_EQ(stream->Close(), STATUS_SUCCESS);
  });
}

// --- PnP, clocks ------------------------------------------------------------------------------

TEST_F(StreamClassTest, PnpRequestsReachTheMinidriverAndWhatItLeavesGoesDown) {
  WithDevice([&](Device& device) {
    ASSERT_EQ(device.Start(), STATUS_SUCCESS);
    mini_.commands.clear();
    // Not handled: passed to the bus, which answers minor 0x18 and leaves 0x19 as it came.
    EXPECT_EQ(device.SendPnp(0x18), STATUS_SUCCESS);
    EXPECT_EQ(device.SendPnp(0x19), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(g_busPnpCalls, 2u);
    // Handled by the minidriver: its status, and the bus never sees it.
    mini_.unknownCommandStatus = kInvalidParameter1;
    EXPECT_EQ(device.SendPnp(0x08), kInvalidParameter1);
    EXPECT_EQ(g_busPnpCalls, 2u);
    EXPECT_EQ(mini_.commands, std::vector<ULONG>(3, SRB_UNKNOWN_DEVICE_COMMAND));
  });
}

TEST_F(StreamClassTest, MasterClockTimeRunsWithVirtualTime) {
  sim_.Run([&] {
    StreamClass& cls = StreamClass::Of(sim_);
    HANDLE clock = cls.CreateMasterClock(5000);
    LARGE_INTEGER wait;
    wait.QuadPart = -333333;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    HW_TIME_CONTEXT context{};
    context.Function = TIME_GET_STREAM_TIME;
    StreamClassQueryMasterClockSync(clock, &context);
    EXPECT_EQ(context.Time, 338333u);
    EXPECT_EQ(context.SystemTime, 333333u);
    cls.SetMasterClockTime(clock, 0);
    StreamClassQueryMasterClockSync(clock, &context);
    EXPECT_EQ(context.Time, 0u);
  });
}

}  // namespace
}  // namespace lumo::streamclass
