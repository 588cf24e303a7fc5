#include "take/ring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Reserve(8, 2, 3): 2-frame periods at 3 Hz; kRingSeconds take 15: 16 slots.

// Publishes a period whose frames and first bytes both say `n`.
void Put(PeriodRing& ring, uint64_t n) {
  uint8_t* slot = ring.Free();
  ASSERT_NE(slot, nullptr);
  std::memcpy(slot, &n, sizeof n);
  ring.Publish(static_cast<int32_t>(n), static_cast<int64_t>(n) << 20);
}

// The periods of the next batch, released once read: the first entry, then
// what each says (-1 where its bytes and frames disagree).
std::vector<int64_t> Take(PeriodRing& ring) {
  size_t first = 0;
  const size_t count = ring.Next(&first);
  std::vector<int64_t> got = {static_cast<int64_t>(first)};
  for (size_t e = first; e < first + count; ++e) {
    uint64_t n = 0;
    std::memcpy(&n, ring.Data(e), sizeof n);
    got.push_back(n == static_cast<uint64_t>(ring.Frames(e)) ? int64_t(n) : -1);
  }
  ring.Release(count);
  return got;
}

TEST(PeriodRing, HandsOverInOrderInBatchesCutAtTheRingsEnd) {
  PeriodRing ring;
  ASSERT_TRUE(ring.Reserve(8, 2, 3));
  for (uint64_t n = 1; n <= 10; ++n) Put(ring, n);
  EXPECT_EQ(Take(ring),
            (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  for (uint64_t n = 11; n <= 20; ++n) Put(ring, n);
  EXPECT_EQ(Take(ring), (std::vector<int64_t>{10, 11, 12, 13, 14, 15, 16}));
  EXPECT_EQ(Take(ring), (std::vector<int64_t>{0, 17, 18, 19, 20}));
}

TEST(PeriodRing, ClosedOrStoppedEndsOnceWhatWasPublishedIsWritten) {
  for (const bool stop : {false, true}) {
    PeriodRing ring;
    ASSERT_TRUE(ring.Reserve(8, 2, 3));
    Put(ring, 1);
    Put(ring, 2);
    stop ? ring.Stop() : ring.Close();
    EXPECT_EQ(Take(ring), (std::vector<int64_t>{0, 1, 2})) << stop;
    EXPECT_EQ(Take(ring).size(), 1u) << stop;  // nothing, and no wait
    EXPECT_EQ(ring.Free() == nullptr, stop);
  }
}

// The capture thread publishes faster than the writer takes, so that the
// ring fills, wraps and wakes each side many times.
TEST(PeriodRing, TwoThreadsHandOverEveryPeriodInOrder) {
  constexpr uint64_t kPeriods = 20000;
  PeriodRing ring;
  ASSERT_TRUE(ring.Reserve(8, 2, 3));
  std::thread capture([&] {
    for (uint64_t n = 1; n <= kPeriods; ++n) Put(ring, n);
    ring.Close();
  });
  int64_t expected = 1, wrong = 0;
  for (std::vector<int64_t> got; (got = Take(ring)).size() > 1;) {
    for (size_t i = 1; i < got.size(); ++i) wrong += got[i] != expected++;
  }
  capture.join();
  EXPECT_EQ(std::pair(expected, wrong),
            std::pair(int64_t{kPeriods} + 1, int64_t{0}));
}

}  // namespace
