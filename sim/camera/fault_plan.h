// A seeded plan of device faults. Each rule names one kind of fault and says when it fires:
// after a number of opportunities have passed, at most a number of times, only inside a window
// of virtual time, and with an integer chance per opportunity drawn from the plan's own
// generator. An opportunity is one occasion on which the fault could happen: one packet sent
// on the video pipe (packet faults), one control request of the host (control faults), one
// completed transfer (transfer faults), one bus operation (port faults). Opportunities are
// counted per kind, whether or not a rule fires.
//
// The same seed and the same sequence of opportunities give the same faults. Integer chances
// only (per mille); no floating point in the seeded path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "usbbus/device_model.h"

namespace lumo::sim {

enum class FaultKind : uint8_t {
  kPacketError,             // one video packet with an error status
  kPacketShort,             // one video packet shorter than its 16-byte header
  kTransferFail,            // a whole transfer fails
  kTransferAllPacketsFail,  // every packet of an isochronous transfer fails
  kControlStall,            // a control request is answered with STALL
  kControlNoAnswer,         // a control request never completes
  kPortDisable,             // the port is disabled until reset
  kUnplug,                  // the device leaves the bus
  kCount
};

struct FaultRule {
  FaultKind kind;
  uint64_t skipFirst = 0;  // opportunities of this kind that pass before the rule may fire
  uint64_t maxHits = std::numeric_limits<uint64_t>::max();
  uint32_t perMille = 1000;  // chance per opportunity once armed
  usb::BusTime windowStart = 0;
  usb::BusTime windowEnd = std::numeric_limits<usb::BusTime>::max();  // exclusive
};

class FaultPlan {
 public:
  explicit FaultPlan(uint64_t seed = 1) : state_(seed) {}

  void Add(const FaultRule& rule) { rules_.push_back({rule, 0}); }
  void Clear() { rules_.clear(); }
  bool Empty() const { return rules_.empty(); }

  // Counts one opportunity of `kind` at `now` and reports whether a rule fires for it.
  bool Fire(FaultKind kind, usb::BusTime now);

  uint64_t Opportunities(FaultKind kind) const { return opportunities_[Index(kind)]; }
  uint64_t Hits(FaultKind kind) const { return hits_[Index(kind)]; }

 private:
  struct Armed {
    FaultRule rule;
    uint64_t hits;
  };
  static size_t Index(FaultKind kind) { return static_cast<size_t>(kind); }
  uint32_t NextPerMille();

  uint64_t state_;
  std::vector<Armed> rules_;
  uint64_t opportunities_[static_cast<size_t>(FaultKind::kCount)] = {};
  uint64_t hits_[static_cast<size_t>(FaultKind::kCount)] = {};
};

}  // namespace lumo::sim
