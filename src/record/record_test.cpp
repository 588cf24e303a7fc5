#include "record/record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

#include "record/formats.h"

namespace {

int32_t Quantize(int32_t periodFrames, uint32_t rate, float duration) {
  int32_t total = -1;
  EXPECT_TRUE(QUANTIZE(periodFrames, rate, &duration, &total));
  return total;
}

TEST(Quantize, RoundsUpToWholePeriods) {
  struct Case {
    int32_t period;
    uint32_t rate;
    float duration;
    int32_t expected;
  };
  const Case cases[] = {
      {4096, 44100, 60.0f, 2646016},      // 646 periods
      {4096, 4096, 10.0f, 40960},         // an exact multiple stays
      {4096, 44100, 0.001f, 4096},        // at least one period
      {4410, 44100, 1.0f, 44100},         // a period the device forced
      {4096, 44100, 0.5f, 24576},         // 22050 frames
      {4096, 96000, 3729.0f, 357986304},  // past 2^31 bytes of stereo 24-bit
      {1, 48000, 1.0f, 48000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Quantize(c.period, c.rate, c.duration), c.expected)
        << c.period << " " << c.rate << " " << c.duration;
  }
}

TEST(Quantize, AnythingAboveAMultipleTakesOneMorePeriod) {
  // 40960 + a fraction of a frame: the float just above 10 seconds.
  const float justAbove = std::nextafter(10.0f, 11.0f);
  EXPECT_EQ(Quantize(4096, 4096, justAbove), 45056);
  const float justBelow = std::nextafter(10.0f, 9.0f);
  EXPECT_EQ(Quantize(4096, 4096, justBelow), 40960);
}

TEST(Quantize, NoTimeGivesNoFrames) {
  for (float duration : {0.0f, -0.0f, -5.0f, std::nanf("")}) {
    EXPECT_EQ(Quantize(4096, 44100, duration), 0) << duration;
  }
}

TEST(Quantize, RefusesTotalsBeyond32Bits) {
  int32_t total = 7;
  float duration = 50000.0f;  // 2.2e9 frames at 44100 Hz
  EXPECT_FALSE(QUANTIZE(4096, 44100, &duration, &total));
  EXPECT_EQ(total, 7);
  duration = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(QUANTIZE(4096, 44100, &duration, &total));
  // The largest whole number of periods that fits is still given.
  const int32_t maxPeriods = std::numeric_limits<int32_t>::max() / 4096;
  duration = static_cast<float>(maxPeriods) * 4096.0f / 96000.0f;
  ASSERT_TRUE(QUANTIZE(4096, 96000, &duration, &total));
  EXPECT_LE(total, maxPeriods * 4096);
  EXPECT_EQ(total % 4096, 0);
  // Just past it the next period would not fit.
  duration = (static_cast<float>(maxPeriods) * 4096.0f + 8192.0f) / 96000.0f;
  EXPECT_FALSE(QUANTIZE(4096, 96000, &duration, &total));
}

TEST(NewTime, CountsFromOctober2012) {
  const long expected = static_cast<long>(std::time(nullptr)) - 1349885340L;
  const long got = NewTime();
  EXPECT_GE(got, expected);
  EXPECT_LE(got, expected + 1);
}

TEST(Formats, CodesMapToRateAndSampleSize) {
  struct Case {
    const char* code;
    uint32_t rate;
    uint32_t bytes;
    snd_pcm_format_t alsa;
  };
  const Case cases[] = {
      {"1644", 44100, 2, SND_PCM_FORMAT_S16_LE},
      {"1648", 48000, 2, SND_PCM_FORMAT_S16_LE},
      {"2444", 44100, 3, SND_PCM_FORMAT_S24_3LE},
      {"2448", 48000, 3, SND_PCM_FORMAT_S24_3LE},
      {"1688", 88200, 2, SND_PCM_FORMAT_S16_LE},
      {"1696", 96000, 2, SND_PCM_FORMAT_S16_LE},
      {"2488", 88200, 3, SND_PCM_FORMAT_S24_3LE},
      {"2496", 96000, 3, SND_PCM_FORMAT_S24_3LE},
  };
  for (const Case& c : cases) {
    const RecordingFormat* format = FindFormat(c.code);
    ASSERT_NE(format, nullptr) << c.code;
    EXPECT_EQ(format->sampleRate, c.rate);
    EXPECT_EQ(format->bytesPerSample, c.bytes);
    EXPECT_EQ(format->alsaFormat, c.alsa);
    EXPECT_EQ(AlsaFormat(c.bytes), c.alsa);
  }
  for (const char* code : {"1644 ", "01644", "1644x", "", "16", "1600"}) {
    EXPECT_EQ(FindFormat(code), nullptr) << '"' << code << '"';
  }
  EXPECT_EQ(AlsaFormat(4), SND_PCM_FORMAT_UNKNOWN);
}

}  // namespace
