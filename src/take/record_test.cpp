#include "take/record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(Quantize, RoundsUpToWholePeriodsThatFitIn32Bits) {
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    int32_t period;
    uint32_t rate;
    float duration;
    int32_t frames;  // -1: refused
  } cases[] = {
      {4096, 44100, 60.0f, 2646016},  // 646 periods
      {4096, 4096, 10.0f, 40960},     // an exact multiple stays
      {4096, 4096, std::nextafter(10.0f, 11.0f), 45056},
      {4096, 4096, std::nextafter(10.0f, 9.0f), 40960},
      {4410, 44100, 1.0f, 44100},
      {4096, 96000, 22369.55f, 2147479552},  // the last whole period that fits
      {4096, 96000, 22369.7f, -1},
      {4096, 44100, inf, -1},
      {4096, 44100, 0.0f, 0},
      {4096, 44100, 0.001f, 4096},  // at least one period
      {4096, 44100, std::nanf(""), 0},
  };
  for (const auto& c : cases) {
    float duration = c.duration;
    int32_t frames = -1;
    EXPECT_EQ(QUANTIZE(c.period, c.rate, &duration, &frames), c.frames >= 0);
    EXPECT_EQ(frames, c.frames) << c.period << " " << c.rate << " " << duration;
  }
}

}  // namespace
