// A device of a stream-class minidriver as the class sees it: its extension, start-up sequence,
// device requests, the property path checked against the reported tables, device events, power,
// removal and the PnP requests of its stack.
#include <cstring>

#include "kernel/internal.h"
#include "streamclass/stream_class.h"

namespace lumo::streamclass {

namespace {

// Bytes written behind a buffer handed to the minidriver; an answer that touches them wrote past
// the size it was given.
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardFill = 0xE7;

bool GuardIntact(const std::vector<uint8_t>& buffer, size_t used) {
  for (size_t i = used; i < buffer.size(); i++) {
    if (buffer[i] != kGuardFill) return false;
  }
  return true;
}

void AssertPassive(Simulation& sim, const char* what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    sim.VerifierFailure("streamclass-irql", std::string(what) + " must be sent at PASSIVE_LEVEL");
  }
}

}  // namespace

Device::Device(StreamClass& cls, PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& init,
               PDEVICE_OBJECT functional, PDEVICE_OBJECT physical, PDEVICE_OBJECT realPhysical)
    : cls_(cls),
      driver_(driver),
      init_(init),
      functional_(functional),
      physical_(physical),
      realPhysical_(realPhysical),
      extension_(init.DeviceExtensionSize, 0) {}

Device::~Device() = default;

void Device::Release() {
  for (auto& stream : streams_) {
    ReleaseDriverMemory(stream->extension_);
    stream->object_.HwStreamExtension = nullptr;
  }
  ReleaseDriverMemory(extension_);
  if (functional_ != nullptr && !removed_) {
    if (physical_ != nullptr) IoDetachDevice(physical_);
    IoDeleteDevice(functional_);
  }
  functional_ = nullptr;
}

// --- Requests ---------------------------------------------------------------------------------

Device::Result Device::SendDeviceRequest(SRB_COMMAND command,
                                         const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& prepare,
                                         PIRP irp) {
  return SendRequest(Request::Kind::kDevice, nullptr, command, prepare, irp);
}

// Sends one device or control request on the calling thread and waits for its completion.
Device::Result Device::SendRequest(Request::Kind kind, Stream* stream, SRB_COMMAND command,
                                   const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& prepare,
                                   PIRP irp) {
  AssertPassive(cls_.sim(), "a device or control request");
  std::shared_ptr<Request> request = cls_.NewRequest(kind, *this, stream, command);
  PHW_STREAM_REQUEST_BLOCK srb = request->srb();
  srb->Irp = irp;
  if (prepare) prepare(*srb);
  KEVENT done;
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  request->waiter = &done;
  cls_.RequestIssued(request);
  if (kind == Request::Kind::kDevice) {
    init_.HwReceivePacket(srb);
  } else {
    stream->object_.ReceiveControlPacket(srb);
  }
  const bool completedInCall = request->completed;
  if (!request->completed) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  request->waiter = nullptr;
  kernel::ForgetKernelObjectsIn(&done, sizeof done);
  return Result{srb->Status, srb->ActualBytesTransferred, srb->CommandData, completedInCall};
}

// --- Start-up -----------------------------------------------------------------------------------

NTSTATUS Device::Initialize(const StartOptions& options) {
  accessRanges_.assign(options.accessRanges, ACCESS_RANGE{});
  std::memset(&config_, 0, sizeof config_);
  config_.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
  config_.HwDeviceExtension = Extension();
  config_.ClassDeviceObject = functional_;
  config_.PhysicalDeviceObject = physical_;
  config_.RealPhysicalDeviceObject = realPhysical_;
  config_.NumberOfAccessRanges = options.accessRanges;
  config_.AccessRanges = accessRanges_.empty() ? nullptr : accessRanges_.data();
  config_.AdapterInterfaceType = PNPBus;
  Result result = SendDeviceRequest(SRB_INITIALIZE_DEVICE, [this](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.CommandData.ConfigInfo = &config_;
  });
  if (NT_SUCCESS(result.status)) streamDescriptorSize_ = config_.StreamDescriptorSize;
  return result.status;
}

NTSTATUS Device::QueryStreamInfo() { return QueryStreamInfo(streamDescriptorSize_); }

NTSTATUS Device::QueryStreamInfo(ULONG bufferBytes) {
  if (bufferBytes < sizeof(HW_STREAM_HEADER)) {
    cls_.sim().VerifierFailure("stream-info-size",
                               "StreamDescriptorSize " + std::to_string(bufferBytes) +
                                   " cannot hold the stream header");
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint8_t> buffer(bufferBytes + kGuardBytes, kGuardFill);
  std::memset(buffer.data(), 0, bufferBytes);
  Result result = SendDeviceRequest(SRB_GET_STREAM_INFO, [&](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.CommandData.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(buffer.data());
  });
  if (!GuardIntact(buffer, bufferBytes)) {
    cls_.sim().VerifierFailure("stream-info-overrun",
                               "the stream information was written past its " +
                                   std::to_string(bufferBytes) + "-byte buffer");
  }
  if (!NT_SUCCESS(result.status)) return result.status;
  const auto* header = reinterpret_cast<const HW_STREAM_HEADER*>(buffer.data());
  if (header->NumberOfStreams != 0 &&
      header->SizeOfHwStreamInformation != sizeof(HW_STREAM_INFORMATION)) {
    cls_.sim().VerifierFailure("stream-info-size",
                               "SizeOfHwStreamInformation " +
                                   std::to_string(header->SizeOfHwStreamInformation) +
                                   " is not the record's size " +
                                   std::to_string(sizeof(HW_STREAM_INFORMATION)));
    return STATUS_INVALID_PARAMETER;
  }
  const uint64_t needed = sizeof(HW_STREAM_HEADER) +
                          uint64_t{header->NumberOfStreams} * sizeof(HW_STREAM_INFORMATION);
  if (needed > bufferBytes) {
    cls_.sim().VerifierFailure("stream-info-size",
                               std::to_string(header->NumberOfStreams) +
                                   " streams do not fit the reported StreamDescriptorSize " +
                                   std::to_string(bufferBytes));
    return STATUS_INVALID_PARAMETER;
  }
  buffer.resize(bufferBytes);
  streamInfo_ = std::move(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS Device::CompleteInitialization() {
  initializationCompleteStatus_ = SendDeviceRequest(SRB_INITIALIZATION_COMPLETE).status;
  return initializationCompleteStatus_;
}

NTSTATUS Device::Start(const StartOptions& options) {
  NTSTATUS status = Initialize(options);
  if (!NT_SUCCESS(status)) return status;
  status = QueryStreamInfo();
  if (!NT_SUCCESS(status)) return status;
  CompleteInitialization();
  started_ = true;
  return STATUS_SUCCESS;
}

const HW_STREAM_HEADER& Device::StreamHeader() const {
  static const HW_STREAM_HEADER kNone{};
  if (streamInfo_.empty()) return kNone;
  return *reinterpret_cast<const HW_STREAM_HEADER*>(streamInfo_.data());
}

ULONG Device::StreamCount() const { return StreamHeader().NumberOfStreams; }

const HW_STREAM_INFORMATION& Device::StreamInfo(ULONG stream) const {
  const auto* first = reinterpret_cast<const HW_STREAM_INFORMATION*>(streamInfo_.data() +
                                                                     sizeof(HW_STREAM_HEADER));
  return first[stream];
}

// --- Client side --------------------------------------------------------------------------------

Device::Result Device::Intersect(ULONG stream, void* range, ULONG rangeBytes,
                                 ULONG formatBufferBytes, std::vector<uint8_t>* format) {
  if (!streamInfo_.empty() && stream >= StreamCount()) return Result{kStatusNotFound, 0};
  const auto* head = static_cast<const KSDATARANGE*>(range);
  if (rangeBytes < sizeof(KSDATARANGE) || head->FormatSize < sizeof(KSDATARANGE) ||
      head->FormatSize > rangeBytes) {
    return Result{STATUS_INVALID_PARAMETER, 0};
  }
  std::vector<uint8_t> buffer(formatBufferBytes + kGuardBytes, kGuardFill);
  STREAM_DATA_INTERSECT_INFO info{};
  info.StreamNumber = stream;
  info.DataRange = static_cast<PKSDATARANGE>(range);
  info.DataFormatBuffer = formatBufferBytes != 0 ? buffer.data() : nullptr;
  info.SizeOfDataFormatBuffer = formatBufferBytes;
  Result result = SendDeviceRequest(SRB_GET_DATA_INTERSECTION, [&](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.CommandData.IntersectInfo = &info;
  });
  if (!GuardIntact(buffer, formatBufferBytes)) {
    cls_.sim().VerifierFailure("intersect-overrun",
                               "the intersection wrote past its " +
                                   std::to_string(formatBufferBytes) + "-byte format buffer");
  }
  if (format != nullptr) {
    format->clear();
    if (NT_SUCCESS(result.status) && result.status != STATUS_BUFFER_OVERFLOW) {
      if (result.actualBytes > formatBufferBytes) {
        cls_.sim().VerifierFailure("intersect-overrun",
                                   "the intersection reports " +
                                       std::to_string(result.actualBytes) + " bytes in a " +
                                       std::to_string(formatBufferBytes) + "-byte buffer");
      }
      format->assign(buffer.begin(),
                     buffer.begin() + std::min<ULONG>(result.actualBytes, formatBufferBytes));
    }
  }
  return result;
}

int Device::FindDevicePropertySet(const GUID& set) const {
  const HW_STREAM_HEADER& header = StreamHeader();
  for (ULONG i = 0; i < header.NumDevPropArrayEntries; i++) {
    if (IsEqualGUIDAligned(*header.DevicePropertiesArray[i].Set, set)) return int(i);
  }
  return -1;
}

NTSTATUS Device::Property(const GUID& set, ULONG id, ULONG flags, const void* instance,
                          ULONG instanceBytes, void* data, ULONG dataBytes, ULONG* returned) {
  const HW_STREAM_HEADER& header = StreamHeader();
  return PropertyRequest(
      cls_.sim(), header.DevicePropertiesArray, header.NumDevPropArrayEntries, set, id, flags,
      instance, instanceBytes, data, dataBytes, returned,
      [this](bool isSet, PSTREAM_PROPERTY_DESCRIPTOR descriptor) {
        return SendDeviceRequest(isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY,
                                 [&](HW_STREAM_REQUEST_BLOCK& srb) {
                                   srb.CommandData.PropertyInfo = descriptor;
                                 });
      });
}

// --- Events -------------------------------------------------------------------------------------

NTSTATUS Device::EnableEvent(const GUID& set, ULONG id, EventEntry** entry) {
  const HW_STREAM_HEADER& header = StreamHeader();
  const KSEVENT_SET* eventSet = nullptr;
  ULONG setIndex = 0;
  for (ULONG i = 0; i < header.NumDevEventArrayEntries; i++) {
    if (IsEqualGUIDAligned(*header.DeviceEventsArray[i].Set, set)) {
      eventSet = &header.DeviceEventsArray[i];
      setIndex = i;
    }
  }
  if (eventSet == nullptr) return kStatusNotFound;
  const KSEVENT_ITEM* item = nullptr;
  for (ULONG i = 0; i < eventSet->EventsCount; i++) {
    if (eventSet->EventItem[i].EventId == id) item = &eventSet->EventItem[i];
  }
  if (item == nullptr) return kStatusNotFound;
  if (header.DeviceEventRoutine == nullptr) return STATUS_NOT_SUPPORTED;

  auto created = std::make_unique<EventEntry>();
  created->set = set;
  created->id = id;
  created->storage.assign((sizeof(KSEVENT_ENTRY) + item->ExtraEntryData + 7) / 8, 0);
  created->data.NotificationType = KSEVENTF_EVENT_HANDLE;
  PKSEVENT_ENTRY ksEntry = created->Entry();
  ksEntry->EventData = &created->data;
  ksEntry->NotificationType = KSEVENTF_EVENT_HANDLE;
  ksEntry->EventSet = eventSet;
  ksEntry->EventItem = item;

  HW_EVENT_DESCRIPTOR descriptor{};
  descriptor.Enable = TRUE;
  descriptor.EventEntry = ksEntry;
  descriptor.EventData = &created->data;
  descriptor.DeviceExtension = Extension();
  descriptor.EnableEventSetIndex = setIndex;
  // The class calls the event routine holding its event list lock.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = header.DeviceEventRoutine(&descriptor);
  KeLowerIrql(old);
  if (!NT_SUCCESS(status)) return status;
  if (entry != nullptr) *entry = created.get();
  events_.push_back(std::move(created));
  return STATUS_SUCCESS;
}

NTSTATUS Device::DisableEvent(EventEntry* entry) {
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->get() != entry) continue;
    HW_EVENT_DESCRIPTOR descriptor{};
    descriptor.Enable = FALSE;
    descriptor.EventEntry = entry->Entry();
    descriptor.EventData = &entry->data;
    descriptor.DeviceExtension = Extension();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = StreamHeader().DeviceEventRoutine(&descriptor);
    KeLowerIrql(old);
    events_.erase(it);
    return status;
  }
  return kStatusNotFound;
}

void Device::EventSignalled(const GUID* set, ULONG id) {
  if (set == nullptr) return;
  ++signals_[{*set, id}];
  for (auto& entry : events_) {
    if (IsEqualGUIDAligned(entry->set, *set) && entry->id == id) ++entry->signals;
  }
}

void Device::EventSignalled(PKSEVENT_ENTRY ksEntry) {
  for (auto& entry : events_) {
    if (entry->Entry() == ksEntry) {
      ++entry->signals;
      ++signals_[{entry->set, entry->id}];
    }
  }
}

uint64_t Device::SignalCount(const GUID& set, ULONG id) const {
  auto found = signals_.find({set, id});
  return found == signals_.end() ? 0 : found->second;
}

// --- Power, removal, PnP ------------------------------------------------------------------------

NTSTATUS Device::ChangePowerState(DEVICE_POWER_STATE state) {
  return SendDeviceRequest(SRB_CHANGE_POWER_STATE, [state](HW_STREAM_REQUEST_BLOCK& srb) {
           srb.CommandData.DeviceState = state;
         }).status;
}

NTSTATUS Device::SurpriseRemove() { return SendDeviceRequest(SRB_SURPRISE_REMOVAL).status; }

NTSTATUS Device::Remove() {
  NTSTATUS status = SendDeviceRequest(SRB_UNINITIALIZE_DEVICE).status;
  if (NT_SUCCESS(status) && !removed_) {
    if (physical_ != nullptr) IoDetachDevice(physical_);
    IoDeleteDevice(functional_);
    removed_ = true;
    started_ = false;
  }
  return status;
}

// PASSIVE_LEVEL. The minidriver sees the request as SRB_UNKNOWN_DEVICE_COMMAND; what it does not
// handle goes down the stack unchanged.
NTSTATUS Device::HandlePnp(PIRP irp) {
  Result result = SendDeviceRequest(SRB_UNKNOWN_DEVICE_COMMAND, {}, irp);
  if ((result.status == STATUS_NOT_IMPLEMENTED || result.status == STATUS_NOT_SUPPORTED) &&
      physical_ != nullptr) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(physical_, irp);
  }
  NTSTATUS status = result.status;
  if (status == STATUS_NOT_IMPLEMENTED) status = irp->IoStatus.Status;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Device::SendPnp(UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& prepare) {
  AssertPassive(cls_.sim(), "a PnP request");
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(functional_);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    kernel::ForgetKernelObjectsIn(&event, sizeof event);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (prepare) prepare(*next);
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  ObDereferenceObject(top);
  kernel::ForgetKernelObjectsIn(&event, sizeof event);
  return status;
}

// --- Streams ------------------------------------------------------------------------------------

Stream* Device::OpenStream(ULONG number, const KSDATAFORMAT* format, NTSTATUS* status) {
  NTSTATUS ignored;
  if (status == nullptr) status = &ignored;
  if (!streamInfo_.empty() && number >= StreamCount()) {
    *status = kStatusNotFound;
    return nullptr;
  }
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  auto stream = std::make_unique<Stream>(*this, number, format);
  Result result = SendDeviceRequest(SRB_OPEN_STREAM, [&](HW_STREAM_REQUEST_BLOCK& srb) {
    srb.StreamObject = stream->Object();
    srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(stream->format_.data());
  });
  *status = result.status;
  if (!NT_SUCCESS(result.status)) {
    ReleaseDriverMemory(stream->extension_);
    return nullptr;
  }
  stream->open_ = true;
  streams_.push_back(std::move(stream));
  return streams_.back().get();
}

Stream* Device::AdoptStream(ULONG number, PHW_RECEIVE_STREAM_DATA_SRB data,
                            PHW_RECEIVE_STREAM_CONTROL_SRB control, ULONG mediaSpecificBytes) {
  auto stream = std::make_unique<Stream>(*this, number, nullptr);
  stream->object_.ReceiveDataPacket = data;
  stream->object_.ReceiveControlPacket = control;
  stream->object_.StreamHeaderMediaSpecific = mediaSpecificBytes;
  stream->open_ = true;
  streams_.push_back(std::move(stream));
  return streams_.back().get();
}

// --- Property path ------------------------------------------------------------------------------

namespace {

// Bytes of the answer to a basic-support (or default-values) query built from a value table:
// the description, then each chosen member list as its header and its members.
size_t DescriptionBytes(const KSPROPERTY_VALUES* values, bool defaultsOnly) {
  size_t bytes = sizeof(KSPROPERTY_DESCRIPTION);
  if (values == nullptr) return bytes;
  for (ULONG i = 0; i < values->MembersListCount; i++) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    if (defaultsOnly && !(list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) continue;
    bytes += sizeof(KSPROPERTY_MEMBERSHEADER) +
             size_t{list.MembersHeader.MembersSize} * list.MembersHeader.MembersCount;
  }
  return bytes;
}

ULONG AccessFlagsOf(const KSPROPERTY_ITEM& item) {
  ULONG flags = KSPROPERTY_TYPE_BASICSUPPORT;
  if (item.GetSupported) flags |= KSPROPERTY_TYPE_GET;
  if (item.SetSupported) flags |= KSPROPERTY_TYPE_SET;
  if (item.Values != nullptr) flags |= KSPROPERTY_TYPE_DEFAULTVALUES;
  return flags;
}

NTSTATUS AnswerFromValues(const KSPROPERTY_ITEM& item, bool defaultsOnly, void* data,
                          ULONG dataBytes, ULONG* returned) {
  const KSPROPERTY_VALUES* values = item.Values;
  const size_t total = DescriptionBytes(values, defaultsOnly);
  if (dataBytes == 0) {
    *returned = ULONG(total);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (!defaultsOnly && dataBytes == sizeof(ULONG)) {
    *static_cast<ULONG*>(data) = AccessFlagsOf(item);
    *returned = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (dataBytes < sizeof(KSPROPERTY_DESCRIPTION)) return STATUS_BUFFER_TOO_SMALL;
  auto* description = static_cast<KSPROPERTY_DESCRIPTION*>(data);
  std::memset(description, 0, sizeof *description);
  description->AccessFlags = AccessFlagsOf(item);
  description->DescriptionSize = ULONG(total);
  ULONG lists = 0;
  if (values != nullptr) {
    description->PropTypeSet = values->PropTypeSet;
    for (ULONG i = 0; i < values->MembersListCount; i++) {
      if (!defaultsOnly ||
          (values->MembersList[i].MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) {
        ++lists;
      }
    }
  }
  description->MembersListCount = lists;
  if (dataBytes == sizeof(KSPROPERTY_DESCRIPTION) || values == nullptr) {
    *returned = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
  }
  if (dataBytes < total) return STATUS_BUFFER_TOO_SMALL;
  auto* out = reinterpret_cast<uint8_t*>(description + 1);
  for (ULONG i = 0; i < values->MembersListCount; i++) {
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[i];
    if (defaultsOnly && !(list.MembersHeader.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT)) continue;
    std::memcpy(out, &list.MembersHeader, sizeof(KSPROPERTY_MEMBERSHEADER));
    out += sizeof(KSPROPERTY_MEMBERSHEADER);
    const size_t bytes = size_t{list.MembersHeader.MembersSize} * list.MembersHeader.MembersCount;
    std::memcpy(out, list.Members, bytes);
    out += bytes;
  }
  *returned = ULONG(total);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PropertyRequest(Simulation& sim, const KSPROPERTY_SET* sets, ULONG setCount,
                         const GUID& set, ULONG id, ULONG flags, const void* instance,
                         ULONG instanceBytes, void* data, ULONG dataBytes, ULONG* returned,
                         const PropertySender& send) {
  ULONG ignored;
  if (returned == nullptr) returned = &ignored;
  *returned = 0;
  ULONG setIndex = 0;
  const KSPROPERTY_SET* found = nullptr;
  for (ULONG i = 0; i < setCount; i++) {
    if (IsEqualGUIDAligned(*sets[i].Set, set)) {
      found = &sets[i];
      setIndex = i;
      break;
    }
  }
  if (found == nullptr) return kStatusNotFound;
  if (flags == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  const KSPROPERTY_ITEM* item = nullptr;
  for (ULONG i = 0; i < found->PropertiesCount; i++) {
    if (found->PropertyItem[i].PropertyId == id) {
      item = &found->PropertyItem[i];
      break;
    }
  }
  if (item == nullptr) return kStatusNotFound;

  if (flags & KSPROPERTY_TYPE_BASICSUPPORT) {
    return AnswerFromValues(*item, false, data, dataBytes, returned);
  }
  if (flags & KSPROPERTY_TYPE_DEFAULTVALUES) {
    if (item->Values == nullptr) return kStatusNotFound;
    return AnswerFromValues(*item, true, data, dataBytes, returned);
  }
  const bool isSet = (flags & KSPROPERTY_TYPE_SET) != 0;
  const bool isGet = (flags & KSPROPERTY_TYPE_GET) != 0;
  if (isSet == isGet) return STATUS_INVALID_PARAMETER;
  if ((isGet && !item->GetSupported) || (isSet && !item->SetSupported)) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  // The request as the class hands it on: the KSPROPERTY followed by the instance data.
  const ULONG inputBytes = sizeof(KSPROPERTY) + instanceBytes;
  if (inputBytes < item->MinProperty) return kStatusInvalidBufferSize;
  if (dataBytes < item->MinData) {
    if (isGet && dataBytes == 0) {
      *returned = item->MinData;
      return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::vector<uint64_t> input((inputBytes + 7) / 8, 0);
  auto* property = reinterpret_cast<PKSPROPERTY>(input.data());
  property->Set = set;
  property->Id = id;
  property->Flags = flags;
  if (instanceBytes != 0) std::memcpy(property + 1, instance, instanceBytes);
  std::vector<uint8_t> buffer(size_t{dataBytes} + kGuardBytes, kGuardFill);
  if (dataBytes != 0) std::memcpy(buffer.data(), data, dataBytes);

  STREAM_PROPERTY_DESCRIPTOR descriptor{};
  descriptor.Property = property;
  descriptor.PropertySetID = setIndex;
  descriptor.PropertyInfo = buffer.data();
  descriptor.PropertyInputSize = inputBytes;
  descriptor.PropertyOutputSize = dataBytes;
  Device::Result result = send(isSet, &descriptor);
  if (!GuardIntact(buffer, dataBytes)) {
    sim.VerifierFailure("property-overrun", "a property answer was written past its " +
                                                std::to_string(dataBytes) + "-byte buffer");
  }
  if (isGet && result.actualBytes > dataBytes) {
    sim.VerifierFailure("property-overrun",
                        "a property answer reports " + std::to_string(result.actualBytes) +
                            " bytes in a " + std::to_string(dataBytes) + "-byte buffer");
  }
  if (dataBytes != 0) std::memcpy(data, buffer.data(), dataBytes);
  *returned = std::min(result.actualBytes, dataBytes);
  return result.status;
}

}  // namespace lumo::streamclass
