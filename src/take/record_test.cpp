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
    int32_t frames = -1;
    EXPECT_EQ(QUANTIZE(c.period, c.rate, c.duration, &frames), c.frames >= 0);
    EXPECT_EQ(frames, c.frames)
        << c.period << " " << c.rate << " " << c.duration;
  }
}

// A take must fit a 32-bit frame count and the header's 32-bit sizes.
TEST(TakeFrames, RefusesTakesTooLongForOneFile) {
  const struct {
    const char* format;
    float duration;
    Layout layout;
    int32_t frames;  // -1: refused
  } cases[] = {
      {"1644", 48700, Layout::kMono, -1},  // past 2^31 frames
      {"1644", 48600, Layout::kMono, 2143260672},
      {"2496", 7457, Layout::kStereo, -1},  // past 2^32 bytes of data
      {"2496", 7457, Layout::kDualMono, 715874304},
      {"2496", 7456, Layout::kStereo, 715776000},
  };
  for (const auto& c : cases) {
    TakeRequest request;
    for (const RecordingFormat& format : kFormats) {
      if (format.code == c.format) request.format = format;
    }
    request.duration = c.duration;
    request.layout = c.layout;
    EXPECT_EQ(TakeFrames(request, 4096).value_or(-1), c.frames)
        << c.format << " " << c.duration;
  }
}

}  // namespace
