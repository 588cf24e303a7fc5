// The level meter of a take: what the status line shows of each period's
// peaks, and the peaks it holds.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "meter/line.h"
#include "meter/meter.h"

// The levels of a take as the capture thread sees them, a period at a
// time: each metered channel's peak, the status line's meter, the held
// peaks it shows, and the take's peaks. Each period, in this order: CheckPeak
// every metered channel, Draw the status line, Hold.
class LevelMeter {
 public:
  // The bar spans kRangeDb below full scale in kBarColumns columns; with no
  // higher level it falls kDecayDb a period. Floats, as the bar's
  // arithmetic needs (see StereoMeter).
  static constexpr float kRangeDb = 45.0f;
  static constexpr float kDecayDb = 11.25f;
  static constexpr int kBarColumns = 24;

  // A stand-in until the take's meter is made: one 16-bit channel.
  LevelMeter() = default;
  // `channels` (1 or 2) channels of `bytesPerSample`-byte samples (2 or 3)
  // at `sampleRate`.
  LevelMeter(uint32_t sampleRate, uint32_t bytesPerSample, int32_t channels);

  int32_t Channels() const { return channels_; }

  // This period's peak of channel `channel` (below Channels()): the largest
  // magnitude among the samples `block` holds, which raises the take's peak
  // too. Returns true when a sample clips: the caller shows ClipWarning
  // once for the block.
  bool CheckPeak(int32_t channel, std::span<const uint8_t> block);

  // The status line of the period, `framesLeft` frames before the end of
  // the take: "\rrem = %.2f sec", the range label, the bar and the held
  // peaks. Begins `line` afresh.
  void Draw(Line& line, int32_t framesLeft);

  // Takes the period's peaks into the held ones, which the next line shows.
  void Hold();

  const PeakPair& TakePeak() const { return takePeak_; }

 private:
  // Below any 24-bit signal, so the first real level rises from it.
  static constexpr float kFloorDb = -144.0f;

  // The status line's first field, "\rrem = %.2f sec", begins the line.
  void UpdateClock(Line& line, int32_t framesLeft);
  // Then the range label, the bar and the held peaks.
  void StereoMeter(Line& line);
  double MeterLevelDb() const;
  void AppendBar(Line& line);
  void AppendHeldPeaks(Line& line);

  uint32_t sampleRate_ = 0;
  uint32_t bytesPerSample_ = 2;
  int32_t channels_ = 1;
  int32_t holdPeriods_ = 0;  // a held peak spans holdPeriods_ + 1 periods

  PeakPair periodPeak_ = {0, 0};
  PeakPair takePeak_ = {0, 0};
  PeakPair heldPeak_ = {0, 0};
  int32_t holdCount_ = 0;  // periods held since the window began

  double barDb_ = kFloorDb;  // the level the bar shows
  float lastDb_ = kFloorDb;  // the previous period's level
  std::array<float, 2> heldDb_ = {kFloorDb, kFloorDb};  // the figures shown
  CachedText label_;
  std::array<CachedText, 2> heldText_;
};
