// The simulated camera's USB function: descriptors, requests, bridge registers, the two-wire
// bus pins, the auxiliary port and the isochronous video stream.
#include "camera.h"

#include <usb100.h>

#include <algorithm>
#include <cstring>

namespace lumo::sim {
namespace {

constexpr uint16_t kVendorId = 0x1209;   // pid.codes test vendor
constexpr uint16_t kProductId = 0x0001;  // pid.codes test product
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kVideoInterface = 0;
constexpr uint8_t kLanguageIndex = 0, kManufacturerIndex = 1, kProductIndex = 2;
constexpr const char* kManufacturer = "Lumo";
constexpr const char* kProduct = "Lumo USB 2.0 Camera";

// The endpoints of one alternate setting, in pipe order: events (interrupt), video
// (isochronous), still (bulk). wMaxPacketSize codes high-bandwidth transactions in bits 11-12.
struct AlternateEndpoints {
  uint16_t events;
  uint16_t video;
  uint16_t still;
};
constexpr uint16_t HighBandwidth(uint16_t bytes, uint16_t transactions) {
  return static_cast<uint16_t>(bytes | ((transactions - 1) << 11));
}
// Alternate setting 0 uses no periodic bandwidth; 1 carries status packets only (the 16-byte
// header); 2 to 4 carry video. The events endpoint's packet size at alternate setting 1 is
// byte 60 of the configuration descriptor set: 2 at full speed, 8 at high speed.
constexpr AlternateEndpoints kHighSpeedAlternates[] = {
    {0, 0, 512},
    {8, 16, 512},
    {8, 1024, 512},
    {8, HighBandwidth(1024, 2), 512},
    {8, HighBandwidth(1024, 3), 512},
};
constexpr AlternateEndpoints kFullSpeedAlternates[] = {
    {0, 0, 64},
    {2, 16, 64},
    {2, 1023, 64},
};

template <class T>
void Append(std::vector<uint8_t>& out, const T& record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

uint32_t DecodePacketSize(uint16_t wMaxPacketSize) {
  return USB_ENDPOINT_MAX_PACKET_SIZE(wMaxPacketSize) *
         (1 + USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(wMaxPacketSize));
}

usb::ControlResult Ack(uint32_t length = 0) { return {usb::ControlStatus::kAck, length}; }
usb::ControlResult Stall() { return {usb::ControlStatus::kStall, 0}; }

uint32_t CopyOut(uint8_t* data, uint16_t wLength, const uint8_t* source, size_t size) {
  const uint32_t length = static_cast<uint32_t>(std::min<size_t>(wLength, size));
  if (length) std::memcpy(data, source, length);
  return length;
}

}  // namespace

Camera::Camera(CameraOptions options)
    : options_(options), faults_(options.seed), bridge_(65536, 0) {
  for (const BridgeResetValue& entry : kBridgeResetValues) bridge_[entry.reg] = entry.value;
  aux_.fill(0);
  aux_[kAuxIdRegister] = kAuxIdValue;
  BuildDescriptors();
  UpdateSensorPower();
  UpdateBusLines();
}

void Camera::BuildDescriptors() {
  const bool high = options_.speed == usb::Speed::kHigh;
  USB_DEVICE_DESCRIPTOR device = {};
  device.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
  device.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  device.bcdUSB = 0x0200;
  device.bDeviceClass = 0xEF;     // miscellaneous: functions described by association
  device.bDeviceSubClass = 0x02;  // common class
  device.bDeviceProtocol = 0x01;  // interface association
  device.bMaxPacketSize0 = 64;
  device.idVendor = kVendorId;
  device.idProduct = kProductId;
  device.bcdDevice = 0x0100;
  device.iManufacturer = kManufacturerIndex;
  device.iProduct = kProductIndex;
  device.iSerialNumber = 0;
  device.bNumConfigurations = 1;
  deviceDescriptor_.clear();
  Append(deviceDescriptor_, device);

  const AlternateEndpoints* alternates = high ? kHighSpeedAlternates : kFullSpeedAlternates;
  alternateCount_ = high ? std::size(kHighSpeedAlternates) : std::size(kFullSpeedAlternates);

  std::vector<uint8_t>& set = configuration_;
  set.clear();
  USB_CONFIGURATION_DESCRIPTOR config = {};
  config.bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  config.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  config.bNumInterfaces = 1;
  config.bConfigurationValue = kConfigurationValue;
  config.bmAttributes = USB_CONFIG_BUS_POWERED;
  config.MaxPower = 250;  // 500 mA in 2-mA units
  Append(set, config);
  // Interface association (8 bytes): the video function is interface 0 alone.
  const uint8_t association[8] = {8, 0x0B, kVideoInterface, 1, 0xFF, 0x00, 0x00, 0};
  set.insert(set.end(), association, association + sizeof(association));
  for (uint8_t alt = 0; alt < alternateCount_; ++alt) {
    USB_INTERFACE_DESCRIPTOR interface = {};
    interface.bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
    interface.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    interface.bInterfaceNumber = kVideoInterface;
    interface.bAlternateSetting = alt;
    interface.bNumEndpoints = 3;
    interface.bInterfaceClass = 0xFF;  // vendor specific
    Append(set, interface);
    const USB_ENDPOINT_DESCRIPTOR endpoints[3] = {
        {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, kEndpointEvents,
         USB_ENDPOINT_TYPE_INTERRUPT, alternates[alt].events,
         static_cast<UCHAR>(high ? 4 : 8)},  // every 1 ms (2^(4-1) microframes) or 8 ms
        {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, kEndpointVideo,
         USB_ENDPOINT_TYPE_ISOCHRONOUS, alternates[alt].video, 1},  // every (micro)frame
        {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, kEndpointStill,
         USB_ENDPOINT_TYPE_BULK, alternates[alt].still, 0},
    };
    for (const USB_ENDPOINT_DESCRIPTOR& endpoint : endpoints) Append(set, endpoint);
  }
  const uint16_t total = static_cast<uint16_t>(set.size());
  std::memcpy(set.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), &total, 2);
}

uint32_t Camera::PacketSize(uint8_t endpointAddress, uint8_t alternateSetting) const {
  if (alternateSetting >= alternateCount_) return 0;
  const AlternateEndpoints& alt = options_.speed == usb::Speed::kHigh
                                      ? kHighSpeedAlternates[alternateSetting]
                                      : kFullSpeedAlternates[alternateSetting];
  switch (endpointAddress) {
    case kEndpointEvents: return DecodePacketSize(alt.events);
    case kEndpointVideo: return DecodePacketSize(alt.video);
    case kEndpointStill: return DecodePacketSize(alt.still);
    default: return 0;
  }
}

// ---- Control requests ----------------------------------------------------------------------

usb::ControlResult Camera::Control(usb::BusTime now, const usb::SetupPacket& setup,
                                   uint8_t* data) {
  ++controlRequests_;
  const uint8_t type = (setup.bmRequestType >> 5) & 0x03;
  usb::ControlResult result = Stall();
  if (type == BMREQUEST_STANDARD) {
    result = Standard(now, setup, data);
  } else if (type == BMREQUEST_VENDOR) {
    if (setup.bmRequestType == kRequestTypeVendorOut && setup.bRequest == kVendorWriteRegister &&
        setup.wLength == 0) {
      ++vendorWrites_;
      WriteBridge(setup.wIndex, setup.wValue, now);
      result = Ack();
    } else if (setup.bmRequestType == kRequestTypeVendorIn &&
               setup.bRequest == kVendorReadRegister && setup.wLength >= 1) {
      ++vendorReads_;
      const uint16_t value = ReadBridge(setup.wIndex, now);
      const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
      result = Ack(CopyOut(data, setup.wLength, bytes, sizeof(bytes)));
    }
  }
  UpdateVideoEnable(now);
  return result;
}

usb::ControlResult Camera::Standard(usb::BusTime now, const usb::SetupPacket& setup,
                                    uint8_t* data) {
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const uint8_t recipient = setup.bmRequestType & 0x1F;
  switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
      if (!in) return Stall();
      const uint8_t descriptorType = setup.wValue >> 8, index = setup.wValue & 0xFF;
      if (descriptorType == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
        return Ack(
            CopyOut(data, setup.wLength, deviceDescriptor_.data(), deviceDescriptor_.size()));
      }
      if (descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        return Ack(CopyOut(data, setup.wLength, configuration_.data(), configuration_.size()));
      }
      if (descriptorType == USB_STRING_DESCRIPTOR_TYPE) {
        uint8_t string[64] = {0, USB_STRING_DESCRIPTOR_TYPE};
        size_t length = 2;
        if (index == kLanguageIndex) {
          string[2] = 0x09;  // English (United States)
          string[3] = 0x04;
          length = 4;
        } else if (index == kManufacturerIndex || index == kProductIndex) {
          for (const char* c = index == kManufacturerIndex ? kManufacturer : kProduct; *c; ++c) {
            string[length++] = static_cast<uint8_t>(*c);
            string[length++] = 0;
          }
        } else {
          return Stall();
        }
        string[0] = static_cast<uint8_t>(length);
        return Ack(CopyOut(data, setup.wLength, string, length));
      }
      return Stall();
    }
    case USB_REQUEST_SET_ADDRESS:
      return Ack();
    case USB_REQUEST_SET_CONFIGURATION:
      if (setup.wValue != 0 && setup.wValue != kConfigurationValue) return Stall();
      configuration_value_ = static_cast<uint8_t>(setup.wValue);
      alternateSetting_ = 0;
      return Ack();
    case USB_REQUEST_GET_CONFIGURATION:
      if (!in || setup.wLength < 1) return Stall();
      data[0] = configuration_value_;
      return Ack(1);
    case USB_REQUEST_SET_INTERFACE:
      if (recipient != BMREQUEST_TO_INTERFACE || configuration_value_ == 0 ||
          setup.wIndex != kVideoInterface || setup.wValue >= alternateCount_) {
        return Stall();
      }
      alternateSetting_ = static_cast<uint8_t>(setup.wValue);
      return Ack();
    case USB_REQUEST_GET_INTERFACE:
      if (!in || setup.wLength < 1 || configuration_value_ == 0 ||
          setup.wIndex != kVideoInterface) {
        return Stall();
      }
      data[0] = alternateSetting_;
      return Ack(1);
    case USB_REQUEST_GET_STATUS: {
      if (!in) return Stall();
      const uint8_t status[2] = {0, 0};
      return Ack(CopyOut(data, setup.wLength, status, 2));
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
      return Ack();
    default:
      return Stall();
  }
}

// ---- Bridge registers ----------------------------------------------------------------------

uint16_t Camera::ReadBridge(uint16_t reg, usb::BusTime now) {
  switch (reg) {
    case kRegAuxStatus: {
      const bool running = (bridge_[kRegAuxControl] & 0x0001) != 0;
      const bool busy = now < auxBusyUntil_;
      uint16_t status = 0;
      if (busy) status |= kAuxBusy;
      if (auxError_) status |= kAuxError;
      if (running && !busy) status |= kAuxReady;
      return status;
    }
    case kRegAuxReadData:
      return auxReadData_;
    case kRegGpioBIn: {
      const uint16_t dir = bridge_[kRegGpioBDir], out = bridge_[kRegGpioBOut];
      uint16_t levels = out & dir;
      const bool clock = (dir & kPinScl) ? (out & kPinScl) != 0 : true;
      const bool bridgeData = (dir & kPinSda) ? (out & kPinSda) != 0 : true;
      const bool data = bridgeData && !sensor_.PullsDataLow();
      levels = static_cast<uint16_t>((levels & ~(kPinScl | kPinSda)) | (clock ? kPinScl : 0) |
                                     (data ? kPinSda : 0));
      return levels;
    }
    case kRegGpioAIn:
      return bridge_[kRegGpioAOut] & bridge_[kRegGpioADir];
    default:
      return bridge_[reg];
  }
}

void Camera::WriteBridge(uint16_t reg, uint16_t value, usb::BusTime now) {
  switch (reg) {
    case kRegAuxStatus:
    case kRegAuxReadData:
    case kRegGpioAIn:
    case kRegGpioBIn:
      return;  // read-only
    default:
      break;
  }
  bridge_[reg] = value;
  switch (reg) {
    case kRegGpioBDir:
    case kRegGpioBOut:
      UpdateBusLines();
      break;
    case kRegGpioADir:
    case kRegGpioAOut:
      UpdateSensorPower();
      break;
    case kRegAuxWriteData:
    case kRegAuxReadAddr: {
      const bool running = (bridge_[kRegAuxControl] & 0x0001) != 0;
      const uint16_t address = reg == kRegAuxWriteData ? bridge_[kRegAuxWriteAddr] : value;
      auxError_ = !running || address >= kAuxRegisterCount || now < auxBusyUntil_;
      if (!auxError_) {
        if (reg == kRegAuxWriteData) {
          if (address != kAuxIdRegister) aux_[address] = value;
        } else {
          auxReadData_ = aux_[address];
        }
        auxBusyUntil_ = now + kAuxOperationTime;
      }
      break;
    }
    default:
      break;
  }
}

void Camera::UpdateBusLines() {
  // The data line is the wired AND of the bridge (when it drives it) and the sensor; a line
  // nobody drives low is pulled up. The sensor changes its own drive only while the clock is
  // low, so feeding the settled level back cannot look like a start or stop.
  for (int pass = 0; pass < 2; ++pass) {
    const uint16_t dir = bridge_[kRegGpioBDir], out = bridge_[kRegGpioBOut];
    const bool clock = (dir & kPinScl) ? (out & kPinScl) != 0 : true;
    const bool bridgeData = (dir & kPinSda) ? (out & kPinSda) != 0 : true;
    sensor_.OnLines(clock, bridgeData && !sensor_.PullsDataLow());
  }
}

void Camera::UpdateSensorPower() {
  // The sensor's power-down pin is pulled high (powered down) until the bridge drives it low.
  const uint16_t dir = bridge_[kRegGpioADir], out = bridge_[kRegGpioAOut];
  const bool powerDown = (dir & kPinSensorPowerDown) ? (out & kPinSensorPowerDown) != 0 : true;
  sensor_.SetPowered(!powerDown);
}

// ---- Video ---------------------------------------------------------------------------------

void Camera::CaptureSize(uint32_t* width, uint32_t* height) const {
  const uint16_t xs = bridge_[kRegWindowXStart], xe = bridge_[kRegWindowXEnd];
  const uint16_t ys = bridge_[kRegWindowYStart], ye = bridge_[kRegWindowYEnd];
  uint32_t w = xe > xs ? std::min<uint32_t>((xe - xs) / 2, kSensorWidth) : 0;
  uint32_t h = ye > ys ? std::min<uint32_t>(ye - ys, kSensorHeight) : 0;
  const uint16_t capture = bridge_[kRegCapture];
  // The scaler's factors are output/input x 4096; a partial pixel is still sent.
  if (capture & kCaptureHScale) w = std::min<uint32_t>((w * bridge_[kRegHScale] + 4095) / 4096, w);
  if (capture & kCaptureVScale) h = std::min<uint32_t>((h * bridge_[kRegVScale] + 4095) / 4096, h);
  w &= ~1u;  // whole pixel pairs
  if (w < kStampBits || h < kStampRows) w = h = 0;
  *width = w;
  *height = h;
}

PictureSettings Camera::CurrentPicture() const {
  PictureSettings p;
  p.brightness = static_cast<int8_t>(sensor_.Register(kSensorBrightness));
  p.contrast = static_cast<int8_t>(sensor_.Register(kSensorContrast));
  p.saturation = static_cast<int8_t>(sensor_.Register(kSensorSaturation));
  p.gamma = sensor_.Register(kSensorGamma);
  const uint8_t options = sensor_.Register(kSensorOptions);
  p.mirror = (options & kOptionMirror) != 0;
  p.flip = (options & kOptionNotFlipped) == 0;
  p.lowLight = (options & kOptionLowLight) != 0;
  p.flickerLocked = (sensor_.Register(kSensorLighting) & kLighting60Hz) != 0;
  p.testPattern = (bridge_[kRegControl] & kControlTestPattern) != 0;
  return p;
}

bool Camera::VideoEnabled() const {
  uint32_t width, height;
  CaptureSize(&width, &height);
  return configuration_value_ != 0 && VideoPacketSize() > kPacketHeaderSize &&
         sensor_.Powered() && (bridge_[kRegControl] & kControlEnableMask) == kControlEnableMask &&
         (bridge_[kRegFifoControl] & 0x0001) && (bridge_[kRegSensorClock] & 0x0001) &&
         (bridge_[kRegCapture] & kCaptureEnableMask) == kCaptureEnableMask && width != 0;
}

usb::BusTime Camera::IntervalTime(uint64_t interval) const {
  return static_cast<usb::BusTime>(interval) * usb::IntervalDuration(options_.speed);
}

uint64_t Camera::FirstIntervalAtOrAfter(usb::BusTime time) const {
  const usb::BusTime d = usb::IntervalDuration(options_.speed);
  return time <= 0 ? 0 : static_cast<uint64_t>((time + d - 1) / d);
}

uint64_t Camera::SlotStartInterval(uint64_t slot) const {
  return FirstIntervalAtOrAfter(static_cast<usb::BusTime>(slot * 10'000'000 / kFramesPerSecond));
}

void Camera::UpdateVideoEnable(usb::BusTime now) {
  const bool enabled = VideoEnabled();
  if (enabled == videoWasEnabled_) return;
  videoWasEnabled_ = enabled;
  // A frame being sent is cut off when video stops; when it starts again the next frame
  // begins on a slot from now on.
  frameActive_ = false;
  cachedRow_ = -1;
  if (enabled) nextFreeInterval_ = std::max(nextFreeInterval_, FirstIntervalAtOrAfter(now));
}

void Camera::PortReset(usb::BusTime now) {
  frameActive_ = false;
  cachedRow_ = -1;
  nextFreeInterval_ = std::max(nextFreeInterval_, FirstIntervalAtOrAfter(now));
}

void Camera::StartFrame(uint64_t interval, uint32_t packetSize) {
  FrameTruth truth{};
  CaptureSize(&truth.params.width, &truth.params.height);
  truth.params.sequence = nextSequence_++;
  truth.params.time = IntervalTime(interval);
  truth.params.picture = CurrentPicture();
  truth.firstInterval = interval;
  truth.imageBytes = truth.params.width * truth.params.height * 2;
  currentPayloadPerPacket_ = packetSize - kPacketHeaderSize;
  truth.packets = (truth.imageBytes + currentPayloadPerPacket_ - 1) / currentPayloadPerPacket_;
  current_ = truth;
  frameActive_ = true;
  // The renderer is prepared when the frame's first byte is asked for: frames that pass while
  // no transfer is queued cost nothing.
  rendererReady_ = false;
  cachedRow_ = -1;
  frameLog_.push_back(truth);
  while (frameLog_.size() > options_.frameLogCapacity) frameLog_.pop_front();
}

void Camera::AdvanceVideo(uint64_t interval, uint32_t packetSize) {
  for (;;) {
    if (frameActive_) {
      if (interval < current_.firstInterval + current_.packets) return;
      frameActive_ = false;
      nextFreeInterval_ = current_.firstInterval + current_.packets;
    }
    if (!VideoEnabled()) return;
    // The first slot that begins at or after the end of the previous frame.
    const usb::BusTime freeTime = IntervalTime(nextFreeInterval_);
    uint64_t slot = static_cast<uint64_t>(freeTime * kFramesPerSecond / 10'000'000);
    while (SlotStartInterval(slot) < nextFreeInterval_) ++slot;
    const uint64_t start = SlotStartInterval(slot);
    if (start > interval) return;
    StartFrame(start, packetSize);
  }
}

uint8_t Camera::StatusByteAt(usb::BusTime time) {
  // Packets are asked for in time order, so changes already reached can be folded in.
  while (!buttonChanges_.empty() && buttonChanges_.front().first <= time) {
    buttonPressed_ = buttonChanges_.front().second;
    buttonChanges_.pop_front();
  }
  return buttonPressed_ ? kStatusPressed : kStatusIdle;
}

void Camera::WriteHeader(uint8_t* out, uint8_t type, usb::BusTime time) {
  std::memset(out, 0, kPacketHeaderSize);
  if (type != kPacketTypeStatus) {
    const uint32_t sequence = current_.params.sequence;
    const uint64_t time = static_cast<uint64_t>(current_.params.time);
    for (int i = 0; i < 4; ++i) out[kHeaderOffsetSequence + i] = uint8_t(sequence >> (8 * i));
    for (int i = 0; i < 8; ++i) out[kHeaderOffsetTime + i] = uint8_t(time >> (8 * i));
    out[kHeaderOffsetFrameNumber] = static_cast<uint8_t>((sequence & 0x7F) << 1);
  }
  out[kHeaderOffsetType] = type;
  out[kHeaderOffsetStatus] = StatusByteAt(time);
}

void Camera::FillPayload(uint32_t offset, uint32_t length, uint8_t* out) {
  if (!rendererReady_) {
    renderer_.Begin(current_.params);
    rowCache_.resize(renderer_.RowBytes());
    rendererReady_ = true;
  }
  const uint32_t rowBytes = renderer_.RowBytes();
  while (length) {
    const uint32_t row = offset / rowBytes, within = offset % rowBytes;
    if (cachedRow_ != row) {
      renderer_.RenderRow(row, rowCache_.data());
      cachedRow_ = row;
    }
    const uint32_t chunk = std::min(length, rowBytes - within);
    std::memcpy(out, rowCache_.data() + within, chunk);
    out += chunk;
    offset += chunk;
    length -= chunk;
  }
}

usb::PacketResult Camera::InPacket(uint8_t endpointAddress, uint64_t interval, uint8_t* buffer,
                                   uint32_t capacity) {
  if (endpointAddress != kEndpointVideo) return {0, false};  // pipes 0 and 2 never send
  const uint32_t packetSize = VideoPacketSize();
  if (packetSize < kPacketHeaderSize) return {0, false};
  AdvanceVideo(interval, packetSize);
  const usb::BusTime now = IntervalTime(interval);
  const bool video = frameActive_ && interval >= current_.firstInterval;
  uint32_t index = 0, offset = 0, payload = 0;
  if (video) {
    index = static_cast<uint32_t>(interval - current_.firstInterval);
    offset = index * currentPayloadPerPacket_;
    payload = std::min(currentPayloadPerPacket_, current_.imageBytes - offset);
  }
  const uint32_t length = kPacketHeaderSize + payload;
  // A host slot smaller than the packet the camera sends overflows: the host keeps what fits
  // and marks the packet in error, as a controller does on babble.
  uint8_t* out = buffer;
  if (length > capacity) {
    overflowPacket_.resize(packetSize);
    out = overflowPacket_.data();
  }
  if (video) {
    WriteHeader(out, index == 0 ? kPacketTypeFrameStart : kPacketTypeContinuation, now);
    FillPayload(offset, payload, out + kPacketHeaderSize);
  } else {
    WriteHeader(out, kPacketTypeStatus, now);
  }
  usb::PacketResult result{length, false};
  if (out != buffer) {
    std::memcpy(buffer, out, capacity);
    result = {capacity, true};
  }
  if (faults_.Fire(FaultKind::kPacketError, now)) result.error = true;
  if (faults_.Fire(FaultKind::kPacketShort, now)) {
    result.length = std::min<uint32_t>(result.length, 8);
  }
  return result;
}

usb::Fault Camera::CheckFault(usb::FaultPoint point, uint8_t endpointAddress, usb::BusTime now) {
  if (faults_.Empty()) return usb::Fault::kNone;
  // Both kinds of a point count the opportunity; the more severe one wins when both fire.
  switch (point) {
    case usb::FaultPoint::kControl: {
      const bool noAnswer = faults_.Fire(FaultKind::kControlNoAnswer, now);
      const bool stall = faults_.Fire(FaultKind::kControlStall, now);
      if (noAnswer) return usb::Fault::kControlNoAnswer;
      if (stall) return usb::Fault::kControlStall;
      break;
    }
    case usb::FaultPoint::kTransfer: {
      const bool fail = faults_.Fire(FaultKind::kTransferFail, now);
      const bool allPackets = faults_.Fire(FaultKind::kTransferAllPacketsFail, now);
      if (fail) return usb::Fault::kTransferFail;
      if (allPackets) return usb::Fault::kTransferAllPacketsFail;
      break;
    }
    case usb::FaultPoint::kPort: {
      const bool unplug = faults_.Fire(FaultKind::kUnplug, now);
      const bool disable = faults_.Fire(FaultKind::kPortDisable, now);
      if (unplug) return usb::Fault::kUnplug;
      if (disable) return usb::Fault::kPortDisable;
      break;
    }
  }
  return usb::Fault::kNone;
}

}  // namespace lumo::sim
