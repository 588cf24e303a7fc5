#include "record/writer.h"

#include <new>

#include "record/capture.h"
#include "record/doorbell.h"
#include "wav/wav.h"

namespace {

OutputFailure WriteFrames(Writer& writer, const PeriodRing::Slot& slot) {
  const ChannelMode& mode = writer.mode;
  const uint8_t* pair = slot.pair;
  const size_t half = writer.half;
  const size_t bytes = static_cast<size_t>(slot.frames) * mode.blockAlign;
  if (mode.stereo == 1) {
    uint8_t* interleaved = writer.interleaved.get();
    Interleave(slot.frames, static_cast<int32_t>(mode.blockAlign / 2),
               {pair, half}, {pair + half, half}, {interleaved, 2 * half});
    return WriteOutput(writer.outputs->files[0], interleaved, bytes);
  }
  for (int c = 0; c < 2; ++c) {
    if (mode.channelOn[c] != 1) continue;
    const OutputFailure failure =
        WriteOutput(writer.outputs->files[c], pair + c * half, bytes);
    if (failure) return failure;
  }
  return {};
}

}  // namespace

bool ReserveWriter(Writer& writer, size_t pairBytes) {
  writer.half = pairBytes / 2;
  if (writer.mode.stereo != 1) return true;
  writer.interleaved.reset(new (std::nothrow) uint8_t[pairBytes]);
  return writer.interleaved != nullptr;
}

void RunWriter(Writer& writer) {
  PeriodRing::Slot slot;
  while (!writer.failure && writer.ring->Next(&slot)) {
    writer.writingSinceNs.store(MonotonicNs());
    writer.failure = WriteFrames(writer, slot);
    writer.writingSinceNs.store(0);
    writer.ring->Release();
  }
  writer.finished.store(true);
  Wake(writer.wakeFd);
}
