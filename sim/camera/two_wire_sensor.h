// The image sensor's side of the two-wire serial bus: a slave that watches the clock and data
// lines, decodes start, repeated start and stop conditions, address, register number and data
// bytes, drives the acknowledge and the bits it sends, and holds 256 8-bit registers. It
// answers only at its bus address (write form 0x68, read form 0x69); any other address is left
// unacknowledged and the slave ignores the bus until the next start condition.
//
// Protocol (as a slave sees it; all levels are those of the wired-AND lines):
// - start: data falls while the clock is high; stop: data rises while the clock is high;
// - receiving: a bit is taken on each rising clock edge; after the eighth bit the slave pulls
//   data low from the next falling edge to the falling edge after the ninth clock (acknowledge);
// - a write transaction is address(W), register number, data bytes (each stored at the register
//   pointer, which then advances); a read transaction is address(R) after a register number was
//   set: the slave shifts the register out, most significant bit first, changing data only while
//   the clock is low, then reads the master's acknowledge on the ninth clock: low means one
//   more byte (the pointer advances), high ends the transfer.
// - while powered down the slave releases the data line and ignores the bus.
#pragma once

#include <array>
#include <cstdint>

namespace lumo::sim {

class TwoWireSensor {
 public:
  static constexpr uint8_t kBusAddress = 0x68;  // write form; read form is 0x69

  TwoWireSensor();

  // Restores the documented reset values of every register.
  void ResetRegisters();

  // Feeds the new line levels (after the wired AND). Returns nothing; the slave's own drive of
  // the data line is read with PullsDataLow() and must be folded into the next levels.
  void OnLines(bool clock, bool data);
  bool PullsDataLow() const { return powered_ && driveLow_; }

  void SetPowered(bool powered);
  bool Powered() const { return powered_; }

  uint8_t Register(uint8_t number) const { return registers_[number]; }
  void SetRegister(uint8_t number, uint8_t value) { registers_[number] = value; }
  // Incremented on every register change made over the bus.
  uint64_t Version() const { return version_; }

  struct Counters {
    uint64_t starts = 0;
    uint64_t stops = 0;
    uint64_t addressMatches = 0;
    uint64_t addressMisses = 0;
    uint64_t bytesWritten = 0;  // register bytes stored
    uint64_t bytesRead = 0;     // register bytes shifted out completely
  };
  const Counters& GetCounters() const { return counters_; }

 private:
  enum class State : uint8_t {
    kIdle,          // waiting for a start condition
    kReceive,       // shifting in a byte (address, register number or data)
    kAck,           // driving the acknowledge for the byte just received
    kTransmit,      // shifting a register out
    kMasterAck,     // reading the master's acknowledge after a transmitted byte
  };
  enum class Phase : uint8_t { kAddress, kRegister, kData };

  void OnRisingClock(bool data);
  void OnFallingClock();
  void ByteReceived();

  std::array<uint8_t, 256> registers_;
  bool powered_ = true;
  bool clock_ = true;
  bool data_ = true;
  bool driveLow_ = false;
  State state_ = State::kIdle;
  Phase phase_ = Phase::kAddress;
  bool reading_ = false;
  bool masterAcked_ = false;
  uint8_t shift_ = 0;
  uint8_t bits_ = 0;
  uint8_t pointer_ = 0;
  uint64_t version_ = 0;
  Counters counters_;
};

}  // namespace lumo::sim
