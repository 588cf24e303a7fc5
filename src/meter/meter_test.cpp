#include "meter/meter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace {

// What `body` writes into a fresh line.
template <typename F>
std::string Text(F body) {
  Line line;
  body(line);
  return std::string(line.View());
}

TEST(CheckPeak, WarnsOncePerCallAndOnlyRaises) {
  // 0, -80, -32768, 32767
  const std::vector<uint8_t> buffer = {0, 0, 0xb0, 0xff, 0, 0x80, 0xff, 0x7f};
  PeakPair take{100, 7}, period{50, 9};
  // Only `frameCount` samples count, and none when it is not positive.
  for (int32_t n : {2, 0, -4})
    EXPECT_FALSE(CheckPeak(0, n, 2, take, buffer, period));
  EXPECT_EQ(take, (PeakPair{100, 7}));
  EXPECT_EQ(period, (PeakPair{80, 9}));
  EXPECT_TRUE(CheckPeak(1, 4, 2, take, buffer, period));
  EXPECT_TRUE(CheckPeak(1, 4, 2, take, buffer, period));
  EXPECT_EQ(take, (PeakPair{100, 32768}));
  EXPECT_EQ(Text([](Line& l) { ClipWarning(l, 1); }),
            "\nInput Channel 2 is Peaking!\n");
}

// Full scale and the step below it clip; the step below that does not.
TEST(CheckPeak, ClipsAtTheTopTwoMagnitudes) {
  for (const auto& [b, value, clips] : {std::tuple{2u, 32766, false},
                                        {2u, -32767, true},
                                        {3u, 8388606, false},
                                        {3u, -8388607, true},
                                        {3u, 8388607, true}}) {
    std::vector<uint8_t> sample(b);
    for (uint32_t i = 0; i < b; ++i)
      sample[i] = static_cast<uint8_t>(value >> 8 * i);
    PeakPair take{}, period{};
    EXPECT_EQ(CheckPeak(0, 1, b, take, sample, period), clips) << value;
    EXPECT_EQ(take[0], std::abs(value));
  }
}

TEST(PrintPeakReport, LinesAndFigures) {
  const struct {
    PeakPair peak;
    Layout layout;
    uint32_t b;
    const char *one, *two;  // figures, nullptr where no line is due
  } cases[] = {
      {{16384, 1}, Layout::kMono, 2, "-6.02", nullptr},
      {{4194304, 1}, Layout::kDualMono, 3, "-6.02", "-138.47"},
      {{8388608, 8388607}, Layout::kStereo, 3, "-0.00", "-0.00"},
      {{1, 32768}, Layout::kStereo, 2, "-90.31", "-0.00"},
      {{32767, 0}, Layout::kDualMono, 2, "-0.00", "-inf"},
      // -70.2650023 in double: only rounding to float first gives -70.26.
      {{2573, 0}, Layout::kMono, 3, "-70.26", nullptr},
  };
  for (const auto& c : cases) {
    std::string expected = "\n\nInput Channel Peaks:\n";
    if (c.one) expected += std::string("\tchannel 1: ") + c.one + " dBFS\n";
    if (c.two) expected += std::string("\tchannel 2: ") + c.two + " dBFS\n";
    EXPECT_EQ(Text([&](Line& l) { PeakReport(l, c.peak, c.layout, c.b); }),
              expected);
  }
}

std::string MeterText(int bars, const char* figures) {
  return "\t -45 dB [" + std::string(bars, '|') + std::string(24 - bars, ' ') +
         "] " + figures + " dB   ";
}

TEST(StereoMeter, RisesAtOnceFallsSixColumnsAndHoldsFigures) {
  const struct {
    int flag;  // set before the call; 0 leaves it
    PeakPair period, held;
    int meterType, bars;
    const char* figures;
  } rows[] = {
      {1, {0, 0}, {0, 0}, 2, 0, "-144.0 / -144.0"},
      {0, {16384, 8192}, {0, 0}, 2, 20, "-144.0 / -144.0"},
      {0, {16384, 8192}, {16384, 8192}, 2, 20, "-6.0 / -12.0"},
      {0, {8192, 4096}, {16384, 8192}, 2, 14, "-6.0 / -12.0"},
      {0, {32767, 32767}, {16384, 8192}, 2, 24, "-6.0 / -12.0"},
      {0, {32767, 32767}, {32767, 32767}, 2, 18, "-0.0 / -0.0"},
      {0, {0, 0}, {32767, 32767}, 2, 12, "-0.0 / -0.0"},
      {2, {0, 0}, {0, 0}, 2, 6, "-0.0 / -0.0"},  // only 1 resets
      {1, {32768, 9}, {0, 9}, 1, 24, "-144.0"},
      {0, {32768, 9}, {0, 9}, 1, 18, "-144.0"},
      {0, {32768, 9}, {0, 9}, 1, 12, "-144.0"},
      {0, {32768, 9}, {0, 9}, 1, 6, "-144.0"},
      {0, {32768, 9}, {0, 9}, 1, 0, "-144.0"},
  };
  int first = 0;
  for (const auto& r : rows) {
    if (r.flag != 0) first = r.flag;
    EXPECT_EQ(Text([&](Line& l) {
                StereoMeter(l, r.period, 45, &first, 11.25f, 2, r.meterType,
                            r.held);
              }),
              MeterText(r.bars, r.figures))
        << "bars " << r.bars;
    EXPECT_EQ(first, r.flag == 2 ? 2 : 0);
  }
  EXPECT_EQ(Text([&](Line& l) {
              UpdateClock(l, 436904, 0, 44100);
              StereoMeter(l, {0, 0}, 45, &first, 11.25f, 2, 1, {});
            }),
            "\rrem = 9.91 sec" + MeterText(0, "-144.0"));
}

}  // namespace
