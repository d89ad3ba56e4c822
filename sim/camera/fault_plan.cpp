// Evaluation of the seeded fault plan.
#include "fault_plan.h"

namespace lumo::sim {

uint32_t FaultPlan::NextPerMille() {
  // SplitMix64: small, fast and good enough to spread integer chances.
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint32_t>(z % 1000);
}

bool FaultPlan::Fire(FaultKind kind, usb::BusTime now) {
  const uint64_t seen = opportunities_[Index(kind)]++;
  bool fired = false;
  for (Armed& armed : rules_) {
    const FaultRule& rule = armed.rule;
    if (rule.kind != kind || seen < rule.skipFirst || armed.hits >= rule.maxHits) continue;
    if (now < rule.windowStart || now >= rule.windowEnd) continue;
    // Draw only for chances below certainty, so that count- and window-driven rules do not
    // consume the generator and stay independent of each other.
    if (rule.perMille < 1000 && NextPerMille() >= rule.perMille) continue;
    ++armed.hits;
    fired = true;
    break;
  }
  if (fired) ++hits_[Index(kind)];
  return fired;
}

}  // namespace lumo::sim
