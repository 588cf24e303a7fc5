#include "take/ring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t kSlotBytes = 8;
// Periods of 2 frames at 3 Hz: 15 periods of kRingSeconds and one more.
constexpr size_t kSlots = 16;

void Reserve(PeriodRing& ring) { ASSERT_TRUE(ring.Reserve(kSlotBytes, 2, 3)); }

// Publishes a period whose frames and bytes all say `n`.
void Put(PeriodRing& ring, uint64_t n) {
  uint8_t* slot = ring.Free();
  ASSERT_NE(slot, nullptr);
  std::memcpy(slot, &n, sizeof n);
  ring.Publish(static_cast<int32_t>(n), 0);
}

uint64_t Said(const PeriodRing& ring, size_t entry) {
  uint64_t n = 0;
  std::memcpy(&n, ring.Data(entry), sizeof n);
  EXPECT_EQ(static_cast<uint64_t>(ring.Frames(entry)), n);
  return n;
}

// Each batch's first entry and the periods it holds.
using Batches = std::vector<std::pair<size_t, std::vector<uint64_t>>>;

// What the writer gets in `batches` batches, each released once read.
Batches Drain(PeriodRing& ring, int batches) {
  Batches got;
  for (int b = 0; b < batches; ++b) {
    size_t first = 0;
    const size_t count = ring.Next(&first);
    got.push_back({first, {}});
    for (size_t e = first; e < first + count; ++e) {
      got.back().second.push_back(Said(ring, e));
    }
    ring.Release(count);
  }
  return got;
}

TEST(PeriodRing, HandsOverInOrderInBatchesThatStopAtTheRingsEnd) {
  PeriodRing ring;
  Reserve(ring);
  for (uint64_t n = 1; n <= 10; ++n) Put(ring, n);
  EXPECT_EQ(Drain(ring, 1), (Batches{{0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}}));
  for (uint64_t n = 11; n <= 20; ++n) Put(ring, n);
  EXPECT_EQ(Drain(ring, 2),
            (Batches{{10, {11, 12, 13, 14, 15, 16}}, {0, {17, 18, 19, 20}}}));
}

TEST(PeriodRing, FillsTheSlotsWrittenLastFirst) {
  PeriodRing ring;
  Reserve(ring);
  for (uint64_t n = 1; n <= 3; ++n) Put(ring, n);
  size_t first = 0;
  ASSERT_EQ(ring.Next(&first), 3u);
  const uint8_t* written[] = {ring.Data(0), ring.Data(1), ring.Data(2)};
  ring.Release(3);
  for (int i = 2; i >= 0; --i) {
    EXPECT_EQ(ring.Free(), written[i]) << i;
    ring.Publish(1, 0);
  }
  // Then the slots never used.
  const uint8_t* next = ring.Free();
  EXPECT_TRUE(next != written[0] && next != written[1] && next != written[2]);
}

TEST(PeriodRing, ClosedOrStoppedEndsOnceWhatWasPublishedIsWritten) {
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "closed");
    PeriodRing ring;
    Reserve(ring);
    Put(ring, 1);
    Put(ring, 2);
    stop ? ring.Stop() : ring.Close();
    EXPECT_EQ(Drain(ring, 1), (Batches{{0, {1, 2}}}));
    size_t first = 0;
    EXPECT_EQ(ring.Next(&first), 0u);
    if (stop) {
      EXPECT_EQ(ring.Free(), nullptr);
    }
  }
}

TEST(PeriodRing, StopWakesACaptureWaitingForAFullRing) {
  PeriodRing ring;
  Reserve(ring);
  for (uint64_t n = 1; n <= kSlots; ++n) Put(ring, n);
  bool ended = false;
  std::thread capture([&] { ended = ring.Free() == nullptr; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ring.Stop();
  capture.join();
  EXPECT_TRUE(ended);
}

TEST(PeriodRing, BehindOnceAQuarterWaits) {
  PeriodRing ring;
  Reserve(ring);
  for (uint64_t n = 1; n < kSlots / 4; ++n) Put(ring, n);
  EXPECT_FALSE(ring.Behind());
  Put(ring, kSlots / 4);
  EXPECT_TRUE(ring.Behind());
  size_t first = 0;
  ring.Next(&first);
  ring.Release(1);
  EXPECT_FALSE(ring.Behind());
}

// The capture thread publishes a count faster than the writer takes it, so
// that the ring fills, wraps and wakes each side many times.
TEST(PeriodRing, TwoThreadsHandOverEveryPeriodInOrder) {
  constexpr uint64_t kPeriods = 20000;
  PeriodRing ring;
  Reserve(ring);
  std::thread capture([&] {
    for (uint64_t n = 1; n <= kPeriods; ++n) {
      uint8_t* slot = ring.Free();
      std::memcpy(slot, &n, sizeof n);
      ring.Publish(static_cast<int32_t>(n), static_cast<int64_t>(n) << 20);
    }
    ring.Close();
  });
  uint64_t expected = 1;
  uint64_t wrong = 0;
  size_t first = 0;
  while (const size_t count = ring.Next(&first)) {
    for (size_t e = first; e < first + count; ++e) {
      wrong += Said(ring, e) != expected++;
    }
    ring.Release(count);
  }
  capture.join();
  EXPECT_EQ(std::pair(expected, wrong), std::pair(kPeriods + 1, uint64_t{0}));
}

}  // namespace
