// The 48-bit linear congruential generator of drand48, started from its standard state
// 0x1234ABCD330E. glibc's drand48 without a seed starts from 0 instead, which gives other
// positions; the scatter layouts draw from one generator of ours per process, never seeded,
// so every run of the program places its slides the same way.
#pragma once

#include <cstdint>

namespace zuvo {

class Rand48 {
 public:
  static constexpr uint64_t kMultiplier = 0x5DEECE66DULL;
  static constexpr uint64_t kIncrement = 0xB;
  static constexpr uint64_t kStandardState = 0x1234ABCD330EULL;

  explicit Rand48(uint64_t state = kStandardState) : state_(state & kMask) {}

  // Uniform in [0, 1): the new 48-bit state over 2^48.
  double next();
  uint64_t state() const { return state_; }
  uint64_t draws() const { return draws_; }

  // The process's generator, shared by every scatter layout (main thread only).
  static Rand48& shared();

 private:
  static constexpr uint64_t kMask = (uint64_t(1) << 48) - 1;
  uint64_t state_;
  uint64_t draws_ = 0;
};

}  // namespace zuvo
