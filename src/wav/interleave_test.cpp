#include "wav/interleave.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// Every version this CPU runs against a byte-by-byte merge, every length
// through several blocks and their tails. Inputs end where the merge must
// stop reading (the sanitizer build checks); bytes past the output stay.
TEST(Interleavers, MatchTheByteByByteMerge) {
  std::mt19937 rng(10);
  for (int bytes : {2, 3}) {
    for (int32_t frames = 0; frames < 100; ++frames) {
      std::vector<uint8_t> one(frames * bytes), two(frames * bytes);
      std::vector<uint8_t> expected(2 * one.size() + 7, 0xa5);
      for (size_t i = 0; i < one.size(); ++i) {
        expected[i / bytes * 2 * bytes + i % bytes] = one[i] = rng();
        expected[i / bytes * 2 * bytes + i % bytes + bytes] = two[i] = rng();
      }
      for (const Interleaver& v : Interleavers()) {
        std::vector<uint8_t> out(expected.size(), 0xa5);
        (bytes == 2 ? v.merge16 : v.merge24)(frames, one.data(), two.data(),
                                             out.data());
        ASSERT_EQ(out, expected) << v.name << " " << bytes << " " << frames;
      }
    }
  }
}
