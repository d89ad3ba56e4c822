// The sensor's two-wire slave and its register file.
#include "two_wire_sensor.h"

#include "registers.h"

namespace lumo::sim {

TwoWireSensor::TwoWireSensor() { ResetRegisters(); }

void TwoWireSensor::ResetRegisters() {
  registers_.fill(0);
  for (const SensorResetValue& entry : kSensorResetValues) registers_[entry.reg] = entry.value;
  ++version_;
}

void TwoWireSensor::SetPowered(bool powered) {
  if (powered == powered_) return;
  powered_ = powered;
  // Losing power abandons any transaction; the registers keep their contents.
  state_ = State::kIdle;
  driveLow_ = false;
}

void TwoWireSensor::OnLines(bool clock, bool data) {
  const bool oldClock = clock_;
  const bool oldData = data_;
  clock_ = clock;
  data_ = data;
  if (!powered_) return;
  if (clock && oldClock && data != oldData) {
    if (!data) {
      // Start (or repeated start): a new address byte follows.
      ++counters_.starts;
      state_ = State::kReceive;
      phase_ = Phase::kAddress;
      shift_ = 0;
      bits_ = 0;
      driveLow_ = false;
    } else {
      ++counters_.stops;
      state_ = State::kIdle;
      driveLow_ = false;
    }
    return;
  }
  if (clock && !oldClock) OnRisingClock(data);
  if (!clock && oldClock) OnFallingClock();
}

void TwoWireSensor::OnRisingClock(bool data) {
  switch (state_) {
    case State::kReceive:
      if (bits_ < 8) {
        shift_ = static_cast<uint8_t>((shift_ << 1) | (data ? 1 : 0));
        ++bits_;
      }
      break;
    case State::kTransmit:
      ++bits_;
      break;
    case State::kMasterAck:
      masterAcked_ = !data;
      break;
    default:
      break;
  }
}

void TwoWireSensor::OnFallingClock() {
  switch (state_) {
    case State::kReceive:
      if (bits_ == 8) ByteReceived();
      break;
    case State::kAck:
      driveLow_ = false;
      if (reading_) {
        state_ = State::kTransmit;
        shift_ = registers_[pointer_];
        bits_ = 0;
        driveLow_ = (shift_ & 0x80) == 0;
      } else {
        state_ = State::kReceive;
        shift_ = 0;
        bits_ = 0;
      }
      break;
    case State::kTransmit:
      if (bits_ < 8) {
        driveLow_ = ((shift_ << bits_) & 0x80) == 0;
      } else {
        ++counters_.bytesRead;
        driveLow_ = false;
        state_ = State::kMasterAck;
        masterAcked_ = false;
      }
      break;
    case State::kMasterAck:
      if (masterAcked_) {
        ++pointer_;
        state_ = State::kTransmit;
        shift_ = registers_[pointer_];
        bits_ = 0;
        driveLow_ = (shift_ & 0x80) == 0;
      } else {
        state_ = State::kIdle;  // the master ends the read; a stop or start follows
      }
      break;
    case State::kIdle:
      break;
  }
}

void TwoWireSensor::ByteReceived() {
  const uint8_t byte = shift_;
  switch (phase_) {
    case Phase::kAddress:
      if ((byte & 0xFE) != kBusAddress) {
        ++counters_.addressMisses;
        state_ = State::kIdle;
        return;
      }
      ++counters_.addressMatches;
      reading_ = (byte & 0x01) != 0;
      phase_ = Phase::kRegister;
      break;
    case Phase::kRegister:
      pointer_ = byte;
      phase_ = Phase::kData;
      break;
    case Phase::kData:
      registers_[pointer_] = byte;
      ++pointer_;
      ++version_;
      ++counters_.bytesWritten;
      break;
  }
  state_ = State::kAck;
  driveLow_ = true;
}

}  // namespace lumo::sim
