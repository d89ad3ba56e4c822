// The I/O manager of the simulated machine: IRPs (allocation, the stack walk of call and
// completion, cancellation), device and driver objects, and host helpers that load a driver or
// make a host-side driver for tests and other stand-ins. Not a model of file objects, the
// object manager or the PnP manager: only what a WDM driver sees of them.
//
// The life of an IRP is tracked on the side, keyed by address:
//   idle       allocated, built, reused or initialised: with its owner, not in any driver
//   in-driver  passed to IofCallDriver and not yet completed back to its owner
//   completing a completion routine is running for it (it may free, reuse or resend it)
//   stopped    a completion routine returned STATUS_MORE_PROCESSING_REQUIRED: the driver that
//              set it owns the IRP again (it may complete it further, free, reuse or resend it)
//   completed  the walk reached the top
// Checks: "irp-double-complete" (IofCompleteRequest of an IRP whose walk already reached the
// top, or with its stack exhausted), "irp-cancel-routine-set" (completion with a cancel routine
// still set), "irp-irql" (completion above DISPATCH_LEVEL, calls above DISPATCH_LEVEL),
// "irp-complete-pending" (completion with STATUS_PENDING), "irp-free-in-driver" and
// "irp-reuse-in-driver" (freeing or reusing an IRP that a lower driver still holds),
// "irp-stack-overflow" (IofCallDriver with no stack location left), "irp-no-owner" (the walk of
// an IRP from IoAllocateIrp reached the top: nobody is there to receive it; its owner must
// stop the walk with STATUS_MORE_PROCESSING_REQUIRED), "irp-leak" (IRPs still in a driver at
// teardown), "device-delete-attached" (IoDeleteDevice of a device still attached to a lower
// one), "ob-unknown-object" (reference counting or deletion of something that is not a live
// device object), "ob-over-dereference" (dropping the creator's reference of a device that is
// not deleted), "irp-bad-free" (IoFreeIrp of NULL or of an IRP IoAllocateIrp did not make; an
// IRP already freed is the pool's "double-free"), "irp-stack-size" (a stack size below one, or
// a packet too small for its stack), "driver-unload-devices-left" (a driver unloaded with
// device objects left).
//
// IRPs built by IoBuildDeviceIoControlRequest or IoBuildSynchronousFsdRequest belong to the I/O
// manager: when their walk reaches the top it copies the buffered output back (METHOD_BUFFERED,
// at most OutputBufferLength bytes however large Information is), stores the status block in
// UserIosb, signals UserEvent and frees the IRP, as the platform does for the IRPs it queues to
// a thread. The event is signalled whatever the status (the platform skips it for some
// synchronous failures; callers here must not rely on either).
//
// Internal device control requests are built like the others: the method bits of the code
// decide the buffers, and for METHOD_NEITHER (IOCTL_INTERNAL_USB_SUBMIT_URB among them) the
// input buffer lands in Parameters.DeviceIoControl.Type3InputBuffer and the output buffer in
// UserBuffer. Parameters.Others.Argument1 is not filled: it shares its storage with
// OutputBufferLength, and callers of internal requests put their own argument there (a URB)
// after building.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/simulation.h"

namespace lumo::kernel {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeIrp = 6;

// IRP->Flags bits the I/O manager uses for the requests it builds.
constexpr ULONG kIrpBufferedIo = 0x00000010;
constexpr ULONG kIrpDeallocateBuffer = 0x00000020;
constexpr ULONG kIrpInputOperation = 0x00000040;
// IRP->AllocationFlags: allocated by IoAllocateIrp (may be freed with IoFreeIrp).
constexpr UCHAR kIrpAllocatedFixedSize = 0x04;

// Pool tags of what the I/O manager allocates.
constexpr ULONG kIrpPoolTag = 0x20707249;     // "Irp "
constexpr ULONG kDevicePoolTag = 0x6F766544;  // "Devo"
constexpr ULONG kBufferPoolTag = 0x62737953;  // "Sysb"
constexpr ULONG kMdlPoolTag = 0x206C644D;     // "Mdl "

// The WDM version the simulated platform offers: Windows XP, 1.20.
constexpr UCHAR kWdmMajorVersion = 1;
constexpr UCHAR kWdmMinorVersion = 0x20;

enum class IrpState { kIdle, kInDriver, kCompleting, kStopped, kCompleted };
const char* IrpStateName(IrpState state);

class IoManager : public Component {
 public:
  explicit IoManager(Simulation& sim);
  ~IoManager() override;

  // --- Host helpers ---------------------------------------------------------------------------
  // A driver object owned by the simulation, every major function set to a routine that
  // completes the IRP with STATUS_INVALID_DEVICE_REQUEST, as the platform presets them. The
  // caller fills MajorFunction, DriverUnload and DriverExtension->AddDevice as it needs.
  PDRIVER_OBJECT CreateDriverObject(const std::u16string& name);
  // Loads a kernel driver: a fresh driver object named `name` (\Driver\lumocam), then its
  // entry routine with `registryPath` (the service key,
  // \Registry\Machine\System\CurrentControlSet\Services\lumocam) at PASSIVE_LEVEL on the
  // calling simulated thread. Returns the entry's status;
  // the driver object stays available in *driver even when it failed.
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& name,
                      const std::u16string& registryPath, PDRIVER_OBJECT* driver);
  // Calls DriverUnload (when set) and reports device objects the driver left behind.
  void UnloadDriver(PDRIVER_OBJECT driver);

  // The driver key of a device (IoOpenDeviceRegistryKey, PLUGPLAY_REGKEY_DRIVER). By default
  // \Registry\Machine\System\CurrentControlSet\Control\Class\{6BDD1FC6-810F-11D0-BEC7-
  // 08002BE2092F}\NNNN (the imaging class), NNNN numbered from 0000 in the order devices are
  // first asked for; SetDriverKeyPath chooses it (e.g. a test that preloads settings).
  void SetDriverKeyPath(PDEVICE_OBJECT device, const std::u16string& path);
  std::u16string DriverKeyPath(PDEVICE_OBJECT device);
  // The device's hardware key (PLUGPLAY_REGKEY_DEVICE):
  // "\Registry\Machine\System\CurrentControlSet\Enum\Lumo\NNNN\Device Parameters".
  std::u16string DeviceKeyPath(PDEVICE_OBJECT device);

  // --- Observation ----------------------------------------------------------------------------
  bool IsTrackedIrp(PIRP irp) const;
  IrpState StateOf(PIRP irp) const;
  // How many times IofCompleteRequest was called for IRPs, and cancel routines called.
  uint64_t CompletionCount() const { return completions_; }
  uint64_t CancelRoutineCalls() const { return cancelRoutineCalls_; }
  LONG ReferenceCountOf(PDEVICE_OBJECT device) const;
  bool IsDeviceObject(const void* object) const;
  // The device object below `device` in its stack (what IoAttachDeviceToDeviceStack returned).
  PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device) const;

  void Teardown(Simulation& sim) override;

  // --- The platform calls' bodies (wdm.h) -------------------------------------------------------
  PIRP AllocateIrp(CCHAR stackSize, const void* site);
  void InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize);
  void ReuseIrp(PIRP irp, NTSTATUS status);
  void FreeIrp(PIRP irp, const void* site);
  PIRP BuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input,
                                   ULONG inputLength, PVOID output, ULONG outputLength,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                   const void* site);
  PIRP BuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb,
                                  const void* site);
  NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp);
  void CompleteRequest(PIRP irp, CCHAR boost);
  BOOLEAN CancelIrp(PIRP irp);
  PKSPIN_LOCK CancelSpinLock() { return &cancelLock_; }

  NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                        ULONG type, ULONG characteristics, PDEVICE_OBJECT* device,
                        const void* site);
  void DeleteDevice(PDEVICE_OBJECT device);
  PDEVICE_OBJECT AttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
  void DetachDevice(PDEVICE_OBJECT target);
  PDEVICE_OBJECT GetAttachedDeviceReference(PDEVICE_OBJECT device);
  LONG_PTR ReferenceObject(PVOID object);
  LONG_PTR DereferenceObject(PVOID object);

 private:
  struct IrpRecord {
    IrpState state = IrpState::kIdle;
    uint64_t id = 0;      // names the IRP in the trace and in reports
    uint64_t serial = 0;  // changes whenever the IRP is (re)initialised
    bool built = false;   // built by IoBuild*: the I/O manager finishes and frees it
    bool allocated = false;
    ULONG outputLength = 0;  // of a built device control, for the copy back
    std::string site;        // who allocated or built it
  };
  struct DeviceRecord {
    uint64_t id = 0;
    LONG references = 1;  // the creation reference, dropped by IoDeleteDevice
    bool deleted = false;
    PDEVICE_OBJECT lower = nullptr;
    std::u16string name;
    std::u16string driverKey;
    std::u16string deviceKey;
  };
  struct DriverRecord {
    std::unique_ptr<DRIVER_OBJECT> object;
    std::unique_ptr<DRIVER_EXTENSION> extension;
    std::u16string name;
    std::u16string registryPath;
  };

  void Report(std::string_view check, std::string message);
  IrpRecord& Track(PIRP irp);
  void FinishBuiltIrp(PIRP irp);
  void ReleaseDevice(PDEVICE_OBJECT device);
  std::string DescribeIrp(PIRP irp) const;
  std::string DescribeDevice(const void* device) const;

  Simulation& sim_;
  KSPIN_LOCK cancelLock_ = 0;
  std::map<PIRP, IrpRecord> irps_;
  std::map<PDEVICE_OBJECT, DeviceRecord> devices_;
  std::vector<DriverRecord> drivers_;
  uint64_t nextSerial_ = 1;
  uint64_t nextIrpId_ = 1;
  uint64_t nextDeviceId_ = 1;
  uint64_t completions_ = 0;
  uint64_t cancelRoutineCalls_ = 0;
  int nextDriverKeyIndex_ = 0;
  int nextDeviceKeyIndex_ = 0;
};

// UTF-16 <-> UTF-8 for names in reports and files (unpaired surrogates become U+FFFD).
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);
// A UNICODE_STRING's text (Length bytes; odd lengths lose their last byte).
std::u16string FromUnicodeString(const UNICODE_STRING* text);

}  // namespace lumo::kernel
