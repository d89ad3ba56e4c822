// An open stream (pin) of a device as the class and a capture graph see it: its stream object and
// zero-filled extension, control requests through the stream's control routine, read requests
// through its data routine, cancellation and close.
#include <cstring>

#include "streamclass/stream_class.h"

namespace lumo::streamclass {

Stream::Stream(Device& device, ULONG number, const KSDATAFORMAT* format)
    : device_(device), extension_(device.Registration().PerStreamExtensionSize, 0) {
  object_.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
  object_.StreamNumber = number;
  object_.HwStreamExtension = extension_.empty() ? nullptr : extension_.data();
  object_.HwDeviceExtension = device.Extension();
  if (format != nullptr) {
    format_.assign((format->FormatSize + 7) / 8, 0);
    std::memcpy(format_.data(), format, format->FormatSize);
  }
}

Stream::~Stream() = default;

Device::Result Stream::SendControl(SRB_COMMAND command,
                                   const std::function<void(HW_STREAM_REQUEST_BLOCK&)>& prepare) {
  if (!open_ || object_.ReceiveControlPacket == nullptr) {
    return Device::Result{STATUS_INVALID_DEVICE_REQUEST, 0};
  }
  return device_.SendRequest(Request::Kind::kStreamControl, this, command, prepare, nullptr);
}

NTSTATUS Stream::SetState(KSSTATE state) {
  return SendControl(SRB_SET_STREAM_STATE, [state](HW_STREAM_REQUEST_BLOCK& srb) {
           srb.CommandData.StreamState = state;
         }).status;
}

NTSTATUS Stream::GetState(KSSTATE* state) {
  Device::Result result = SendControl(SRB_GET_STREAM_STATE);
  if (state != nullptr) *state = result.commandData.StreamState;
  return result.status;
}

NTSTATUS Stream::IndicateMasterClock(HANDLE clock) {
  return SendControl(SRB_INDICATE_MASTER_CLOCK, [clock](HW_STREAM_REQUEST_BLOCK& srb) {
           srb.CommandData.MasterClockHandle = clock;
         }).status;
}

namespace {

// A format handed to the minidriver stays valid for the request: the class owns a copy.
std::vector<uint64_t> CopyFormat(const KSDATAFORMAT* format) {
  std::vector<uint64_t> copy((format->FormatSize + 7) / 8, 0);
  std::memcpy(copy.data(), format, format->FormatSize);
  return copy;
}

}  // namespace

NTSTATUS Stream::ProposeFormat(const KSDATAFORMAT* format) {
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint64_t> copy = CopyFormat(format);
  return SendControl(SRB_PROPOSE_DATA_FORMAT, [&](HW_STREAM_REQUEST_BLOCK& srb) {
           srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
         }).status;
}

NTSTATUS Stream::SetFormat(const KSDATAFORMAT* format) {
  if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint64_t> copy = CopyFormat(format);
  return SendControl(SRB_SET_DATA_FORMAT, [&](HW_STREAM_REQUEST_BLOCK& srb) {
           srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
         }).status;
}

NTSTATUS Stream::Property(const GUID& set, ULONG id, ULONG flags, const void* instance,
                          ULONG instanceBytes, void* data, ULONG dataBytes, ULONG* returned) {
  const HW_STREAM_INFORMATION* info =
      device_.StreamInfoBuffer().empty() ? nullptr : &device_.StreamInfo(Number());
  return PropertyRequest(
      device_.cls_.sim(), info != nullptr ? info->StreamPropertiesArray : nullptr,
      info != nullptr ? info->NumStreamPropArrayEntries : 0, set, id, flags, instance,
      instanceBytes, data, dataBytes, returned,
      [this](bool isSet, PSTREAM_PROPERTY_DESCRIPTOR descriptor) {
        return SendControl(isSet ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY,
                           [&](HW_STREAM_REQUEST_BLOCK& srb) {
                             srb.CommandData.PropertyInfo = descriptor;
                           });
      });
}

std::shared_ptr<Read> Stream::SubmitRead(ULONG bufferBytes) {
  auto read = std::make_shared<Read>();
  const size_t headerBytes = sizeof(KSSTREAM_HEADER) + object_.StreamHeaderMediaSpecific;
  read->header.assign((headerBytes + 7) / 8, 0);
  read->data.assign(bufferBytes, 0);
  PKSSTREAM_HEADER header = read->StreamHeader();
  header->Size = ULONG(headerBytes);
  header->FrameExtent = bufferBytes;
  header->DataUsed = 0;
  header->Data = read->data.empty() ? nullptr : read->data.data();
  if (object_.StreamHeaderMediaSpecific >= sizeof(ULONG)) {
    // The media-specific header begins with its own size (KS_FRAME_INFO.ExtendedHeaderSize).
    *static_cast<ULONG*>(read->MediaSpecific()) = object_.StreamHeaderMediaSpecific;
  }
  read->request =
      device_.cls_.NewRequest(Request::Kind::kStreamData, device_, this, SRB_READ_DATA);
  PHW_STREAM_REQUEST_BLOCK srb = read->request->srb();
  srb->CommandData.DataBufferArray = header;
  srb->NumberOfBuffers = 1;
  srb->NumberOfBytesToTransfer = bufferBytes;
  reads_.push_back(read);
  if (!open_ || object_.ReceiveDataPacket == nullptr) {
    srb->Status = STATUS_INVALID_DEVICE_REQUEST;
    read->request->completed = true;
    return read;
  }
  device_.cls_.RequestIssued(read->request);
  object_.ReceiveDataPacket(srb);
  return read;
}

bool Stream::Cancel(const std::shared_ptr<Read>& read) {
  if (!read->request->outstanding) return false;
  if (device_.init_.HwCancelPacket == nullptr) return false;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  device_.init_.HwCancelPacket(read->request->srb());
  KeLowerIrql(old);
  return true;
}

NTSTATUS Stream::Close() {
  if (!open_) return STATUS_INVALID_DEVICE_REQUEST;
  Device::Result result = device_.SendDeviceRequest(
      SRB_CLOSE_STREAM, [this](HW_STREAM_REQUEST_BLOCK& srb) { srb.StreamObject = Object(); });
  if (!NT_SUCCESS(result.status)) return result.status;
  open_ = false;
  for (auto& read : reads_) {
    if (read->request->outstanding) {
      device_.cls_.sim().VerifierFailure(
          "srb-outstanding-at-close",
          DescribeRequest(*read->request, read->request->srb()) +
              " was still outstanding when its stream closed");
    }
  }
  ReleaseDriverMemory(extension_);
  object_.HwStreamExtension = nullptr;
  return result.status;
}

}  // namespace lumo::streamclass
