#include "meter/meter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

template <typename F>
std::string Stdout(F body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

void Put(std::vector<uint8_t>& buffer, size_t index, int32_t value,
         uint32_t b) {
  for (uint32_t i = 0; i < b; ++i) {
    buffer[index * b + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// Decodes the obvious way, independently of the scanner's tricks.
int32_t Magnitude(const uint8_t* s, uint32_t b) {
  int32_t v = 0;
  for (uint32_t i = 0; i < b; ++i) v |= s[i] << (8 * i);
  if (v >= (1 << (8 * b - 1))) v -= 1 << (8 * b);
  return v < 0 ? -v : v;
}

// Each value lands at a different place in a buffer of 1 to 19 samples of
// magnitude 1, so vector blocks, unrolled steps and tails all see it; the
// warnings printed must number the clipping buffers.
void Sweep(const std::vector<int32_t>& values, uint32_t b) {
  const int32_t clip = b == 2 ? 32766 : 8388606;
  int clips = 0;
  std::string out = Stdout([&] {
    for (size_t k = 0; k < values.size(); ++k) {
      const size_t length = 1 + k % 19;
      std::vector<uint8_t> buffer(length * b);
      for (size_t i = 0; i < length; ++i) Put(buffer, i, i % 2 ? 1 : -1, b);
      Put(buffer, (k * 7) % length, values[k], b);
      int32_t expected = 0;
      for (size_t i = 0; i < length; ++i) {
        expected = std::max(expected, Magnitude(&buffer[i * b], b));
      }
      clips += expected > clip;
      const size_t ci = k % 2;
      PeakPair take{}, period{};
      CheckPeak(static_cast<int32_t>(ci), static_cast<int32_t>(length), b, take,
                buffer, period);
      ASSERT_EQ(take[ci], expected) << values[k];
      ASSERT_EQ(period[ci], expected) << values[k];
      ASSERT_EQ(take[1 - ci] + period[1 - ci], 0);
    }
  });
  int warnings = 0;
  for (size_t at = 0; (at = out.find("Peaking!", at)) != out.npos; ++at) {
    ++warnings;
  }
  EXPECT_EQ(warnings, clips);
}

TEST(CheckPeak, EverySixteenBitValue) {
  std::vector<int32_t> values;
  for (int32_t v = -32768; v <= 32767; ++v) values.push_back(v);
  Sweep(values, 2);
}

TEST(CheckPeak, TwentyFourBitSweepAndBoundaries) {
  std::vector<int32_t> values = {0,       1,        -1,      127,     128,
                                 -128,    -129,     255,     256,     32767,
                                 32768,   -32768,   -32769,  8388606, -8388606,
                                 8388607, -8388607, -8388608};
  for (int32_t v = -8388608; v <= 8388607; v += 251) values.push_back(v);
  Sweep(values, 3);
}

TEST(CheckPeak, WarningsAndUpdates) {
  std::vector<uint8_t> buffer(4 * 2);
  Put(buffer, 1, -80, 2);
  Put(buffer, 2, -32768, 2);
  Put(buffer, 3, 32767, 2);
  PeakPair take{100, 7}, period{50, 9};
  // Only `frameCount` samples count, and none when it is not positive.
  EXPECT_EQ(Stdout([&] {
              for (int32_t n : {2, 0, -4})
                CheckPeak(0, n, 2, take, buffer, period);
            }),
            "");
  EXPECT_EQ(take, (PeakPair{100, 7}));
  EXPECT_EQ(period, (PeakPair{80, 9}));
  auto call = [&] { CheckPeak(1, 4, 2, take, buffer, period); };
  EXPECT_EQ(Stdout(call), "\nInput Channel 2 is Peaking!\n");
  EXPECT_EQ(Stdout(call), "\nInput Channel 2 is Peaking!\n");
  EXPECT_EQ(take, (PeakPair{100, 32768}));
}

TEST(PrintPeakReport, LinesAndFigures) {
  const struct {
    PeakPair peak;
    std::array<int32_t, 2> on;
    int32_t stereo;
    uint32_t b;
    const char *one, *two;  // figures, nullptr where no line is due
  } cases[] = {
      {{16384, 1}, {1, 0}, 0, 2, "-6.02", nullptr},
      {{4194304, 1}, {1, 1}, 0, 3, "-6.02", "-138.47"},
      {{1, 32768}, {1, 0}, 1, 2, "-90.31", "-0.00"},
      {{32767, 0}, {0, 1}, 0, 2, nullptr, "-inf"},
      // -70.2650023 in double: only rounding to float first gives -70.26.
      {{2573, 0}, {1, 0}, 0, 3, "-70.26", nullptr},
  };
  for (const auto& c : cases) {
    std::string expected = "\n\nInput Channel Peaks:\n";
    if (c.one) expected += std::string("\tchannel 1: ") + c.one + " dBFS\n";
    if (c.two) expected += std::string("\tchannel 2: ") + c.two + " dBFS\n";
    EXPECT_EQ(Stdout([&] { PrintPeakReport(c.peak, c.on, c.stereo, c.b); }),
              expected);
  }
}

TEST(UpdateClock, SecondsRemaining) {
  EXPECT_EQ(Stdout([] { UpdateClock(96000, -48000, 96000); }),
            "\rrem = 0.50 sec");
}

std::string Line(int bars, const char* figures) {
  return "\t -45 dB [" + std::string(bars, '|') + std::string(24 - bars, ' ') +
         "] " + figures + " dB   ";
}

TEST(StereoMeter, TwoChannelBallistics) {
  const struct {
    PeakPair period, held;
    int bars;
    const char* figures;
    bool clock = false;  // UpdateClock first, as the capture loop does
  } rows[] = {
      {{0, 0}, {0, 0}, 0, "-144.0 / -144.0"},
      {{16384, 8192}, {0, 0}, 20, "-144.0 / -144.0"},
      {{16384, 8192}, {16384, 8192}, 20, "-6.0 / -12.0"},
      {{8192, 4096}, {16384, 8192}, 14, "-6.0 / -12.0", true},
      {{32767, 32767}, {16384, 8192}, 24, "-6.0 / -12.0"},
      {{32767, 32767}, {32767, 32767}, 18, "-0.0 / -0.0"},
      {{0, 0}, {32767, 32767}, 12, "-0.0 / -0.0"},
  };
  int first = 1;
  for (const auto& r : rows) {
    EXPECT_EQ(Stdout([&] {
                if (r.clock) UpdateClock(436904, 0, 44100);
                StereoMeter(r.period, 45, &first, 11.25f, 2, 2, r.held);
              }),
              (r.clock ? "\rrem = 9.91 sec" : "") + Line(r.bars, r.figures))
        << "bars " << r.bars;
    EXPECT_EQ(first, 0);
  }
  first = 2;  // any flag but 1 keeps the state: the bar falls on from 12
  EXPECT_EQ(Stdout([&] {
              StereoMeter({0, 0}, 45, &first, 11.25f, 2, 2, {0, 0});
            }),
            Line(6, "-0.0 / -0.0"));
  EXPECT_EQ(first, 2);
}

TEST(StereoMeter, SteadyFullScaleDecaysOnOneChannel) {
  int first = 1;
  for (int bars : {24, 18, 12, 6, 0, 0}) {
    EXPECT_EQ(Stdout([&] {
                StereoMeter({32768, 99999}, 45, &first, 11.25f, 2, 1, {0, 5});
              }),
              Line(bars, "-144.0"));
  }
}

}  // namespace
