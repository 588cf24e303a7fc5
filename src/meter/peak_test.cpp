#include "meter/peak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

// Every version this CPU runs against max |v|: blocks of every length through
// several vector steps and their tails, random samples below half scale and
// one spike in turn at every place: an extreme or a random sample.
TEST(PeakScanners, FindTheSpikeAnywhereInRandomBlocks) {
  for (int bytes : {2, 3}) {
    const int32_t min = bytes == 2 ? -32768 : -8388608;
    for (int32_t count = 1; count < 160; ++count) {
      for (int32_t at = 0; at < count; ++at) {
        std::mt19937 rng(count);  // the same background for every spike
        auto random = [&](int bits) { return int32_t(rng()) >> bits; };
        std::vector<uint8_t> block;
        int32_t expected = 0;
        for (int32_t i = 0; i < count; ++i) {
          int32_t v = random(34 - 8 * bytes);
          if (i == at)
            v = std::array{min, -min - 1, random(32 - 8 * bytes)}[i % 3];
          expected = std::max(expected, std::abs(v));
          for (int b = 0; b < bytes; ++b) block.push_back(v >> 8 * b);
        }
        for (const PeakScanner& s : PeakScanners()) {
          ASSERT_EQ((bytes == 2 ? s.scan16 : s.scan24)(block.data(), count),
                    expected)
              << s.name << " at " << at << "/" << count;
        }
      }
    }
  }
}
