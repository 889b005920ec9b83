#include "scanner/ImageBrowser/Layouts/Rand48.h"

#include <cmath>

namespace zuvo {

double Rand48::next() {
  state_ = (kMultiplier * state_ + kIncrement) & kMask;
  ++draws_;
  return std::ldexp(double(state_), -48);  // exact: 48 bits fit a double's mantissa
}

Rand48& Rand48::shared() {
  static Rand48 generator;
  return generator;
}

}  // namespace zuvo
