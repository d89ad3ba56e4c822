// The stream class of the simulated machine and its client side. Toward a minidriver it behaves
// as the platform's stream class does, as far as our driver relies on it:
//   - registration (StreamClassRegisterAdapter) and the extensions of the registered sizes, the
//     device and stream extensions zero-filled, the per-request extension not (it is filled with
//     a pattern so that a driver relying on zeros there shows up);
//   - device start: SRB_INITIALIZE_DEVICE, then SRB_GET_STREAM_INFO with a buffer of the
//     StreamDescriptorSize the minidriver reported, then SRB_INITIALIZATION_COMPLETE;
//   - every request block completed exactly once, by the right notification (verifier checks
//     "srb-double-complete", "srb-wrong-notification", "srb-never-completed");
//   - device and stream property requests checked against the tables the minidriver reported:
//     only declared verbs of declared items reach it, and range (basic support) and default
//     queries are answered from the value tables;
//   - device events enabled through the reported event tables and the minidriver's event routine,
//     and signalled by its notifications;
//   - the request time-out: once a second every outstanding request's TimeoutCounter counts
//     down, and when it reaches 0 HwRequestTimeoutHandler runs (DISPATCH_LEVEL);
//   - cancellation: HwCancelPacket at DISPATCH_LEVEL for a request still outstanding;
//   - PnP requests sent to the functional device object turned into SRB_UNKNOWN_DEVICE_COMMAND,
//     and passed down the stack when the minidriver does not handle them;
//   - master clocks whose stream time the minidriver reads with StreamClassQueryMasterClockSync.
// Its client side is what a capture graph does: intersect a range, open a pin with a format,
// change its state, queue read requests (a KSSTREAM_HEADER followed by the stream's
// media-specific header and a buffer) and collect their completions, cancel, get and set
// properties, enable events, change power, remove.
//
// Not modelled: synchronisation of the minidriver's calls (the class calls it concurrently,
// as it does for a minidriver that turns synchronisation off), DMA, interrupts, filter instances,
// methods, the limit of stream instances (the minidriver's open decides), and the IRPs behind the
// requests (Srb->Irp is null except for SRB_UNKNOWN_DEVICE_COMMAND).
//
// Every client call runs on a simulated thread (a test's body inside Simulation::Run, or a thread
// it starts) at PASSIVE_LEVEL, and returns when the minidriver has completed the request; reads
// return at once and complete later.
#pragma once

#include <strmini.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::streamclass {

using kernel::Simulation;
using kernel::VirtualTime;

// Status codes of the class that wdm.h does not name.
constexpr NTSTATUS kStatusNotFound = (NTSTATUS)0xC0000225L;
constexpr NTSTATUS kStatusInvalidBufferSize = (NTSTATUS)0xC0000206L;

// Pattern of a fresh per-request extension.
constexpr uint8_t kRequestExtensionFill = 0xA5;
// Time-out given to every request block at creation, in seconds; a minidriver sets its own for
// the requests it keeps (and a request that completes at once never sees it run out).
constexpr ULONG kDefaultRequestTimeoutSeconds = 15;

class Device;
class Stream;

// One request block with its extension, as handed to the minidriver, and its life.
struct Request {
  enum class Kind { kDevice, kStreamData, kStreamControl };
  Kind kind = Kind::kDevice;
  uint64_t serial = 0;
  bool outstanding = false;
  bool completed = false;
  VirtualTime issuedAt = 0;
  VirtualTime completedAt = 0;
  uint32_t timeoutHandlerCalls = 0;
  PKEVENT waiter = nullptr;  // set by a synchronous client call while it waits for completion
  std::vector<uint64_t> storage;  // the SRB followed by the per-request extension, 8-aligned
  PHW_STREAM_REQUEST_BLOCK srb() { return reinterpret_cast<PHW_STREAM_REQUEST_BLOCK>(storage.data()); }
};

// A read request of a stream: the stream header, the stream's media-specific bytes (for video a
// KS_FRAME_INFO) and the data buffer, all owned here.
struct Read {
  std::shared_ptr<Request> request;
  std::vector<uint64_t> header;  // KSSTREAM_HEADER + media-specific bytes
  std::vector<uint8_t> data;
  PKSSTREAM_HEADER StreamHeader() { return reinterpret_cast<PKSSTREAM_HEADER>(header.data()); }
  // The media-specific bytes behind the header.
  void* MediaSpecific() { return StreamHeader() + 1; }
  bool Completed() const { return request->completed; }
  bool Outstanding() const { return request->outstanding; }
  PHW_STREAM_REQUEST_BLOCK Srb() { return request->srb(); }
  NTSTATUS Status() { return request->srb()->Status; }
};

// An enabled event entry.
struct EventEntry {
  GUID set{};
  ULONG id = 0;
  uint64_t signals = 0;
  std::vector<uint64_t> storage;  // KSEVENT_ENTRY followed by the minidriver's extra bytes
  KSEVENTDATA data{};
  PKSEVENT_ENTRY Entry() { return reinterpret_cast<PKSEVENT_ENTRY>(storage.data()); }
};

struct StartOptions {
  ULONG accessRanges = 0;  // hardware resources offered (a USB device has none)
};

class StreamClass : public kernel::Component {
 public:
  explicit StreamClass(Simulation& sim);
  ~StreamClass() override;

  static StreamClass& Of(Simulation& sim) { return sim.Get<StreamClass>(); }

  // The registration record a driver gave, or null.
  const HW_INITIALIZATION_DATA* RegistrationOf(PDRIVER_OBJECT driver) const;

  // A device of the registered driver on top of physicalDevice: the functional device object
  // attached to it and the zero-filled device extension. Not started. Null (and a verifier
  // report) when the driver did not register. realPhysicalDevice defaults to physicalDevice.
  Device* CreateDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice,
                       PDEVICE_OBJECT realPhysicalDevice = nullptr);

  // A master clock: its stream time is the virtual time since it was created plus offset.
  HANDLE CreateMasterClock(VirtualTime offset = 0);
  void SetMasterClockTime(HANDLE clock, VirtualTime streamTime);

  // --- Bodies of the platform calls -----------------------------------------------------------
  NTSTATUS Register(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                    const HW_INITIALIZATION_DATA* init);
  void DeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE type, PVOID extension,
                          va_list args);
  void StreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE type,
                          PHW_STREAM_OBJECT stream, va_list args);
  void QueryMasterClock(HANDLE clock, PHW_TIME_CONTEXT context);

  void Teardown(Simulation& sim) override;

  // Internal: the request tracking shared by devices and streams.
  std::shared_ptr<Request> NewRequest(Request::Kind kind, Device& device, Stream* stream,
                                      SRB_COMMAND command);
  void RequestIssued(const std::shared_ptr<Request>& request);
  Simulation& sim() { return sim_; }

 private:
  struct Registration {
    HW_INITIALIZATION_DATA init{};
  };
  struct Clock {
    VirtualTime origin = 0;
  };
  friend class Device;
  void CompleteRequest(PHW_STREAM_REQUEST_BLOCK srb, Request::Kind expected, const char* how);
  Device* DeviceOfExtension(PVOID extension);
  Device* DeviceOfFunctional(PDEVICE_OBJECT functional);
  void ScheduleTick();
  void Tick();
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);

  Simulation& sim_;
  std::map<PDRIVER_OBJECT, Registration> registrations_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::map<PHW_STREAM_REQUEST_BLOCK, std::shared_ptr<Request>> outstanding_;
  std::map<PHW_STREAM_REQUEST_BLOCK, std::weak_ptr<Request>> completed_;
  std::map<uintptr_t, Clock> clocks_;
  uintptr_t nextClock_ = 0x10;
  uint64_t nextSerial_ = 1;
  bool tickScheduled_ = false;
  Simulation::EventId tickEvent_ = 0;
};

class Device {
 public:
  Device(StreamClass& cls, PDRIVER_OBJECT driver, const HW_INITIALIZATION_DATA& init,
         PDEVICE_OBJECT functional, PDEVICE_OBJECT physical, PDEVICE_OBJECT realPhysical);
  ~Device();

  PVOID Extension() { return extension_.data(); }
  template <class T>
  T* ExtensionAs() {
    return static_cast<T*>(Extension());
  }
  ULONG ExtensionSize() const { return init_.DeviceExtensionSize; }
  PDEVICE_OBJECT FunctionalDevice() const { return functional_; }
  PDEVICE_OBJECT PhysicalDevice() const { return physical_; }
  const HW_INITIALIZATION_DATA& Registration() const { return init_; }

  // --- Start-up ---------------------------------------------------------------------------------
  // SRB_INITIALIZE_DEVICE, then SRB_GET_STREAM_INFO, then SRB_INITIALIZATION_COMPLETE (whose
  // status, like the platform, it does not look at). The status of the first that failed.
  NTSTATUS Start(const StartOptions& options = {});
  NTSTATUS Initialize(const StartOptions& options = {});
  // SRB_GET_STREAM_INFO with a zero-filled buffer of StreamDescriptorSize bytes; on success the
  // answer is kept (header, stream information, and the tables they point to stay the
  // minidriver's). bufferBytes overrides the size (a test of the minidriver's answer).
  NTSTATUS QueryStreamInfo();
  NTSTATUS QueryStreamInfo(ULONG bufferBytes);
  NTSTATUS CompleteInitialization();
  bool Started() const { return started_; }
  ULONG StreamDescriptorSize() const { return streamDescriptorSize_; }
  NTSTATUS InitializationCompleteStatus() const { return initializationCompleteStatus_; }
  const HW_STREAM_HEADER& StreamHeader() const;
  ULONG StreamCount() const;
  const HW_STREAM_INFORMATION& StreamInfo(ULONG stream) const;
  // The raw buffer of the last stream information answer.
  const std::vector<uint8_t>& StreamInfoBuffer() const { return streamInfo_; }

  // --- Requests -------------------------------------------------------------------------------
  // One device request: prepare fills the command data; the request is sent at PASSIVE_LEVEL on
  // the calling thread and waited for. Returns the completed SRB's status.
  struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG actualBytes = 0;
    HW_STREAM_REQUEST_BLOCK::_CommandData commandData{};  // as the minidriver left it
    bool completedInCall = false;  // completed before the minidriver's routine returned
  };
  Result SendDeviceRequest(SRB_COMMAND command,
                           const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& prepare = {},
                           PIRP irp = nullptr);

  // --- Client side ------------------------------------------------------------------------------
  // Data intersection: range (FormatSize bytes, adjusted in place by the minidriver as the
  // platform allows), an output buffer of formatBufferBytes (0 for the size query). format
  // receives the bytes the minidriver reports (ActualBytesTransferred, at most the buffer).
  // Refuses a range whose FormatSize is below a KSDATARANGE or above rangeBytes
  // (STATUS_INVALID_PARAMETER) and a stream number outside the stream information (kStatusNotFound).
  Result Intersect(ULONG stream, void* range, ULONG rangeBytes, ULONG formatBufferBytes,
                   std::vector<uint8_t>* format);

  // A property request on the device: set, id and flags (KSPROPERTY_TYPE_*), instance data
  // behind the KSPROPERTY, and the data buffer. *returned gets the bytes answered.
  NTSTATUS Property(const GUID& set, ULONG id, ULONG flags, const void* instance,
                    ULONG instanceBytes, void* data, ULONG dataBytes, ULONG* returned);

  // Device events through the reported event tables and the device event routine.
  NTSTATUS EnableEvent(const GUID& set, ULONG id, EventEntry** entry);
  NTSTATUS DisableEvent(EventEntry* entry);
  uint64_t SignalCount(const GUID& set, ULONG id) const;

  NTSTATUS ChangePowerState(DEVICE_POWER_STATE state);
  NTSTATUS SurpriseRemove();
  // SRB_UNINITIALIZE_DEVICE; on success the functional device object is detached and deleted.
  NTSTATUS Remove();
  // A PnP request (IRP_MJ_PNP, minor) sent to the top of the device's stack, as another driver
  // would; prepare fills the stack location's parameters.
  NTSTATUS SendPnp(UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& prepare = {});

  // Opens stream `number` with format (FormatSize bytes). Null and *status on failure.
  Stream* OpenStream(ULONG number, const KSDATAFORMAT* format, NTSTATUS* status);
  // A stream set up without SRB_OPEN_STREAM, as a minidriver's open would leave it: the
  // zero-filled extension, the given routines and media-specific header size. For tests of a
  // minidriver's stream-level routines (cancel, time-out) on their own.
  Stream* AdoptStream(ULONG number, PHW_RECEIVE_STREAM_DATA_SRB data,
                      PHW_RECEIVE_STREAM_CONTROL_SRB control, ULONG mediaSpecificBytes);

  // Deletes the functional device object and frees the extensions (the verifier looks for
  // kernel objects still in use inside them), without asking the minidriver: the end of a test
  // whose subject is not removal. Also done for every device left at teardown.
  void Release();

  // Property tables reported for the device; set index or -1.
  int FindDevicePropertySet(const GUID& set) const;
  uint64_t TimeoutHandlerCalls() const { return timeoutHandlerCalls_; }

 private:
  friend class StreamClass;
  friend class Stream;
  void EventSignalled(const GUID* set, ULONG id);
  void EventSignalled(PKSEVENT_ENTRY entry);
  NTSTATUS HandlePnp(PIRP irp);
  Result SendRequest(Request::Kind kind, Stream* stream, SRB_COMMAND command,
                     const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& prepare, PIRP irp);

  StreamClass& cls_;
  PDRIVER_OBJECT driver_;
  HW_INITIALIZATION_DATA init_;
  PDEVICE_OBJECT functional_;
  PDEVICE_OBJECT physical_;
  PDEVICE_OBJECT realPhysical_;
  std::vector<uint8_t> extension_;
  PORT_CONFIGURATION_INFORMATION config_{};
  std::vector<ACCESS_RANGE> accessRanges_;
  ULONG streamDescriptorSize_ = 0;
  std::vector<uint8_t> streamInfo_;
  bool started_ = false;
  bool removed_ = false;
  NTSTATUS initializationCompleteStatus_ = STATUS_SUCCESS;
  std::vector<std::unique_ptr<EventEntry>> events_;
  struct GuidIdLess {
    bool operator()(const std::pair<GUID, ULONG>& a, const std::pair<GUID, ULONG>& b) const {
      int order = std::memcmp(&a.first, &b.first, sizeof(GUID));
      return order != 0 ? order < 0 : a.second < b.second;
    }
  };
  std::map<std::pair<GUID, ULONG>, uint64_t, GuidIdLess> signals_;
  std::vector<std::unique_ptr<Stream>> streams_;
  uint64_t timeoutHandlerCalls_ = 0;
};

class Stream {
 public:
  Stream(Device& device, ULONG number, const KSDATAFORMAT* format);
  ~Stream();

  ULONG Number() const { return object_.StreamNumber; }
  PHW_STREAM_OBJECT Object() { return &object_; }
  PVOID Extension() { return extension_.data(); }
  template <class T>
  T* ExtensionAs() {
    return static_cast<T*>(Extension());
  }
  bool Open() const { return open_; }
  Device& device() { return device_; }

  // One control request (SRB_GET_STREAM_STATE, SRB_SET_DATA_FORMAT, ...) through the stream's
  // control routine, waited for.
  Device::Result SendControl(SRB_COMMAND command,
                             const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& prepare = {});
  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  NTSTATUS IndicateMasterClock(HANDLE clock);
  NTSTATUS ProposeFormat(const KSDATAFORMAT* format);
  NTSTATUS SetFormat(const KSDATAFORMAT* format);
  // A property request on the stream, checked against the stream's reported property table.
  NTSTATUS Property(const GUID& set, ULONG id, ULONG flags, const void* instance,
                    ULONG instanceBytes, void* data, ULONG dataBytes, ULONG* returned);

  // Queues a read with a buffer of bufferBytes through the stream's data routine; returns at once.
  std::shared_ptr<Read> SubmitRead(ULONG bufferBytes);
  // HwCancelPacket at DISPATCH_LEVEL, when the read is still outstanding. FALSE when it was not.
  bool Cancel(const std::shared_ptr<Read>& read);
  // SRB_CLOSE_STREAM. The stream object stays valid (closed) until the device goes away.
  NTSTATUS Close();

 private:
  friend class Device;
  Device& device_;
  HW_STREAM_OBJECT object_{};
  std::vector<uint8_t> extension_;
  std::vector<uint64_t> format_;  // the format given at open, alive while the stream exists
  bool open_ = false;
  std::vector<std::shared_ptr<Read>> reads_;
};

// The property path shared by devices and streams: finds set and item in the reported table,
// answers basic-support and default-value queries from the item's value table, refuses what is
// not declared (kStatusNotFound for an unknown set or item, STATUS_INVALID_DEVICE_REQUEST for
// an undeclared verb, kStatusInvalidBufferSize for a request shorter than MinProperty,
// STATUS_BUFFER_TOO_SMALL for data shorter than MinData, STATUS_BUFFER_OVERFLOW with the size
// for a get with no data buffer), and sends the rest to the minidriver through send.
using PropertySender = std::function<Device::Result(bool isSet, PSTREAM_PROPERTY_DESCRIPTOR)>;
NTSTATUS PropertyRequest(Simulation& sim, const KSPROPERTY_SET* sets, ULONG setCount,
                         const GUID& set, ULONG id, ULONG flags, const void* instance,
                         ULONG instanceBytes, void* data, ULONG dataBytes, ULONG* returned,
                         const PropertySender& send);

// Internal helpers shared by the stand-in's files.
std::string DescribeRequest(const Request& request, const HW_STREAM_REQUEST_BLOCK* srb);
// Frees memory the minidriver was given, after the verifier has looked for kernel objects still
// in use inside it (timers set, DPCs queued, threads waiting).
void ReleaseDriverMemory(std::vector<uint8_t>& memory);

}  // namespace lumo::streamclass
