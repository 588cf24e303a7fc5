#include "meter/meter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "meter/level_meter.h"

namespace {

// What `body` writes into a fresh line.
template <typename F>
std::string Text(F body) {
  Line line;
  body(line);
  return std::string(line.View());
}

// One sample of `value`, little-endian.
std::vector<uint8_t> Sample(int32_t value, uint32_t bytes) {
  std::vector<uint8_t> sample(bytes);
  for (uint32_t i = 0; i < bytes; ++i) {
    sample[i] = static_cast<uint8_t>(value >> 8 * i);
  }
  return sample;
}

// The whole status line: the clock as printf gives it (the meter formats it
// another way), then the bar and the held figures.
std::string StatusLine(int32_t frames, uint32_t rate, int bars,
                       const char* figures) {
  char clock[64];
  std::snprintf(clock, sizeof clock, "\rrem = %.2f sec",
                static_cast<double>(frames) / rate);
  return clock + std::string("\t -45 dB [") + std::string(bars, '|') +
         std::string(24 - bars, ' ') + "] " + figures + " dB   ";
}

// A take fed one period per row, each channel's block a single sample, in
// the capture loop's order. The bar falls 11.25 dB (6 columns) a period.
TEST(LevelMeter, DrawsEachPeriodsStatusLine) {
  struct Row {
    PeakPair samples;
    int bars;
    const char* figures;
  };
  const struct {
    const char* what;
    struct {
      uint32_t rate, bytes;
      int32_t channels;
    } meter;
    PeakPair takePeak;
    std::vector<Row> rows;
  } cases[] = {
      // The bar rises at once to the mean of the peaks and falls by the
      // decay; the figures are the held peaks.
      {"two channels",
       {44100, 2, 2},
       {32768, 32767},
       {{{184, -185}, 0, "-144.0 / -144.0"},  // -45.01 dB: the mean is cut
        {{16384, -8192}, 20, "-45.0 / -45.0"},
        {{8192, 4096}, 14, "-6.0 / -12.0"},
        {{-32768, 32767}, 24, "-6.0 / -12.0"},
        {{0, 0}, 18, "-0.0 / -0.0"},
        {{0, 0}, 12, "-0.0 / -0.0"},
        {{0, 0}, 6, "-0.0 / -0.0"},
        {{0, 0}, 0, "-0.0 / -0.0"}}},
      // Full scale is 2^23; channel 2 is not metered.
      {"24-bit mono",
       {48000, 3, 1},
       {8388608, 0},
       {{{32768, 9}, 0, "-144.0"},
        {{4194304, 9}, 21, "-48.2"},
        {{-8388608, 9}, 24, "-6.0"},
        {{2097152, 9}, 18, "-0.0"}}},
      // A steady level that rounds down as a float (-8.519 dB) holds the
      // bar; one that rounds up (-6.021 dB) lets it fall.
      {"steady levels",
       {44100, 2, 1},
       {16384, 0},
       {{{12288, 0}, 20, "-144.0"},
        {{12288, 0}, 20, "-8.5"},
        {{12288, 0}, 20, "-8.5"},
        {{16384, 0}, 21, "-8.5"},
        {{16384, 0}, 15, "-6.0"},
        {{16384, 0}, 9, "-6.0"}}},
      // At 4000 Hz a held peak's window is 3 periods (12000 frames in
      // periods of 4096). A held peak of 0 keeps the figure.
      {"held peaks",
       {4000, 2, 2},
       {16384, 0},
       {{{16384, 0}, 18, "-144.0 / -144.0"},
        {{8192, 0}, 12, "-6.0 / -144.0"},
        {{8192, 0}, 15, "-6.0 / -144.0"},
        {{0, 0}, 9, "-12.0 / -144.0"},
        {{0, 0}, 3, "-12.0 / -144.0"},
        {{0, 0}, 0, "-12.0 / -144.0"},
        {{4096, 0}, 12, "-12.0 / -144.0"},
        {{0, 0}, 6, "-18.1 / -144.0"}}},
  };
  for (const auto& c : cases) {
    LevelMeter meter(c.meter.rate, c.meter.bytes, c.meter.channels);
    const auto periods = static_cast<int32_t>(c.rows.size());
    for (int32_t i = 0; i < periods; ++i) {
      const Row& row = c.rows[i];
      for (int32_t channel = 0; channel < meter.Channels(); ++channel) {
        meter.CheckPeak(channel, Sample(row.samples[channel], c.meter.bytes));
      }
      const int32_t framesLeft = (periods - i) * 997;
      EXPECT_EQ(Text([&](Line& l) { meter.Draw(l, framesLeft); }),
                StatusLine(framesLeft, c.meter.rate, row.bars, row.figures))
          << c.what << ", period " << i + 1;
      meter.Hold();
    }
    EXPECT_EQ(meter.TakePeak(), c.takePeak) << c.what;
  }
}

// The clock is formatted with integers; printf is what it must match,
// rounding boundaries included (240 / 48000 s is one).
TEST(LevelMeter, ClockReadsAsPrintfWouldIt) {
  for (uint32_t rate : {8000u, 44100u, 48000u, 192000u}) {
    for (int32_t frames : {0, 1, 239, 240, 241, 436904, 2147483647}) {
      LevelMeter meter(rate, 2, 1);
      EXPECT_EQ(Text([&](Line& l) { meter.Draw(l, frames); }),
                StatusLine(frames, rate, 0, "-144.0"))
          << frames << " at " << rate;
    }
  }
}

// Full scale and the step below it clip; the step below that does not.
TEST(LevelMeter, ClipsAtTheTopTwoMagnitudes) {
  for (const auto& [b, value, clips] : {std::tuple{2u, 32766, false},
                                        {2u, -32767, true},
                                        {3u, 8388606, false},
                                        {3u, -8388607, true},
                                        {3u, 8388607, true}}) {
    LevelMeter meter(44100, b, 2);
    EXPECT_EQ(meter.CheckPeak(1, Sample(value, b)), clips) << value;
    EXPECT_EQ(meter.TakePeak(), (PeakPair{0, std::abs(value)}));
  }
}

TEST(PrintPeakReport, LinesAndFigures) {
  const struct {
    PeakPair peak;
    Layout layout;
    uint32_t b;
    const char *one, *two;  // figures, nullptr where no line is due
  } cases[] = {
      {{4194304, 1}, Layout::kDualMono, 3, "-6.02", "-138.47"},
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

}  // namespace
