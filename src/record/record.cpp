#include "record/record.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "meter/meter.h"
#include "record/formats.h"
#include "wav/wav.h"

namespace {

constexpr snd_pcm_uframes_t kRequestedPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRequestedBufferFrames = 32768;
constexpr float kMeterRange = 45.0f;
constexpr float kMeterDecay = 11.25f;
// A device that answers "try again" for this long is as good as gone.
constexpr double kStallSeconds = 10.0;
constexpr int kResumeTries = 100;
constexpr int32_t kTimeEpoch = 1349885340;  // 2012-10-10 16:09:00 UTC

struct OutputFile {
  FILE* file = nullptr;
  const char* name = nullptr;
};

// Everything the capture loop and its failure paths need to reach.
struct Take {
  snd_pcm_t* pcm = nullptr;
  int32_t periodFrames = 0;
  uint32_t bytesPerSample = 0;
  uint32_t blockAlign = 0;  // of an output file
  std::array<int32_t, 2> channelOn = {1, 0};
  int32_t stereo = 0;
  // Channels scanned for peaks and shown on the meter: 2 in dual-mono and
  // stereo modes.
  int32_t meterChannels = 1;
  std::array<OutputFile, 2> outputs;
};

// Bytes of one channel's period in a buffer pair.
std::size_t HalfBytes(const Take& take) {
  return static_cast<std::size_t>(take.periodFrames) * take.bytesPerSample;
}

[[noreturn]] void RefuseDuration() {
  std::puts("Improper duration request");
  std::exit(1);
}

// Best effort after a failed take: each file's header is made to state what
// the file really holds, so that players and editors read it as it is.
void MendOutputs(const Take& take) {
  for (const OutputFile& output : take.outputs) {
    if (output.file != nullptr) MendHeader(output.name, take.blockAlign);
  }
}

[[noreturn]] void FailWrite(const Take& take, const OutputFile& output) {
  const int error = errno;
  std::fflush(stdout);
  std::fprintf(stderr, "\nCan't write %s: %s\n", output.name,
               std::strerror(error));
  MendOutputs(take);
  std::exit(1);
}

void WriteAt(const Take& take, const OutputFile& output, int64_t offset,
             const uint8_t* data, std::size_t bytes) {
  errno = 0;
  // The file is open for appending, so the position only matters as a
  // check; a pipe has none to set.
  if (fseeko(output.file, offset, SEEK_SET) != 0 && errno != ESPIPE) {
    FailWrite(take, output);
  }
  if (std::fwrite(data, 1, bytes, output.file) != bytes) {
    if (errno == 0) errno = EIO;
    FailWrite(take, output);
  }
}

// ---- Device set-up --------------------------------------------------------

snd_pcm_t* OpenDevice(const char* deviceName, uint32_t sampleRate,
                      uint32_t bytesPerSample,
                      snd_pcm_uframes_t* periodFrames) {
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, deviceName, SND_PCM_STREAM_CAPTURE, 0);
  if (err < 0) {
    std::fprintf(stderr, "unable to open pcm record device: %s\n",
                 snd_strerror(err));
    std::exit(1);
  }

  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_hw_params_any(pcm, params);
  snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  const snd_pcm_format_t format = AlsaFormat(bytesPerSample);
  if (format != SND_PCM_FORMAT_UNKNOWN) {
    err = snd_pcm_hw_params_set_format(pcm, params, format);
    if (err < 0) {
      std::fprintf(stderr, "Problem setting recording format: %s\n",
                   snd_strerror(err));
      std::exit(1);
    }
  }
  snd_pcm_hw_params_set_channels(pcm, params, 2);
  unsigned int rate = sampleRate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
  snd_pcm_uframes_t period = kRequestedPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  snd_pcm_uframes_t bufferSize = kRequestedBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferSize);
  const int commit = snd_pcm_hw_params(pcm, params);

  // Read back what the device settled on; a value the parameter set cannot
  // give stays 0.
  snd_pcm_uframes_t frames = 0;
  uint32_t readPeriod = 0, readBuffer = 0, readRate = 0, readChannels = 0;
  if (snd_pcm_hw_params_get_buffer_size(params, &frames) >= 0) {
    readBuffer = static_cast<uint32_t>(frames);
  }
  if (snd_pcm_hw_params_get_period_size(params, &frames, nullptr) >= 0) {
    readPeriod = static_cast<uint32_t>(frames);
    period = frames;
  }
  unsigned int value = 0;
  if (snd_pcm_hw_params_get_channels(params, &value) >= 0) readChannels = value;
  if (snd_pcm_hw_params_get_rate(params, &value, nullptr) >= 0)
    readRate = value;
  snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED;
  const bool nonInterleaved =
      snd_pcm_hw_params_get_access(params, &access) >= 0 &&
      access == SND_PCM_ACCESS_RW_NONINTERLEAVED;

  // A device running at another rate, channel count or layout than the
  // files will say would record audio that plays back wrong.
  if (commit < 0 || readRate != sampleRate || readChannels != 2 ||
      !nonInterleaved) {
    std::puts("Could not set record hardware parameters:");
    std::puts("Returned Driver Parameters:");
    std::puts("\tBuf 1\tBuf 2\tRate\tChannels");
    std::printf("Record\t%i\t%i\t%i\t%i\n", readPeriod, readBuffer, readRate,
                readChannels);
    std::puts("-------------------------");
    std::exit(1);
  }
  *periodFrames = period;
  return pcm;
}

// ---- Output files ---------------------------------------------------------

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

[[noreturn]] void RefuseSameFile() {
  std::puts("Improper file name request");
  std::exit(1);
}

// Creates `name` only if no file has it. Returns 0, or the errno of the
// failed create.
int ClaimName(const char* name) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

// Generated names never replace a file: both channels of a take share one
// number, raised until each of their names is free.
void GenerateNames(const Take& take, NameBuffer nameList) {
  std::array<std::array<char, 48>, 2> names{};
  int64_t number = NewTime();
  for (;; ++number) {
    bool taken = false;
    std::array<bool, 2> claimed = {false, false};
    for (int c = 0; c < 2 && !taken; ++c) {
      if (take.channelOn[c] == 0) continue;
      std::snprintf(names[c].data(), names[c].size(), "rec_chan_%li_%li.wav",
                    static_cast<long>(c + 1), static_cast<long>(number));
      const int error = ClaimName(names[c].data());
      taken = error == EEXIST;
      claimed[c] = error == 0;
    }
    if (!taken) break;
    for (int c = 0; c < 2; ++c) {
      if (claimed[c]) unlink(names[c].data());
    }
  }
  nameList[0] = '\0';
  std::size_t used = 0;
  for (int c = 0; c < 2; ++c) {
    if (take.channelOn[c] == 0) continue;
    const int written =
        std::snprintf(nameList.data() + used, nameList.size() - used, "%s\n",
                      names[c].data());
    used += static_cast<std::size_t>(written);
  }
}

// Splits a copy of the name list in `nameScratch`: entry c names channel c's
// file, or is null.
std::array<const char*, 2> SplitNames(NameBuffer nameList,
                                      NameBuffer nameScratch) {
  std::memcpy(nameScratch.data(), nameList.data(), nameList.size());
  nameScratch[nameScratch.size() - 1] = '\0';
  std::array<const char*, 2> names = {nullptr, nullptr};
  char* next = nameScratch.data();
  for (int c = 0; c < 2 && *next != '\0'; ++c) {
    char* end = std::strchr(next, '\n');
    if (end == nullptr) end = next + std::strlen(next);
    const bool last = *end == '\0';
    *end = '\0';
    names[c] = next;
    if (last) break;
    next = end + 1;
  }
  return names;
}

void OpenOutputs(Take& take, uint32_t sampleRate, int32_t totalFrames,
                 int32_t autoName, NameBuffer nameList,
                 NameBuffer nameScratch) {
  if (autoName == 1) GenerateNames(take, nameList);
  const std::array<const char*, 2> names = SplitNames(nameList, nameScratch);

  // Two names of one file would append both channels into it. Where the
  // file exists already this is known before its header truncates it.
  const bool dualFiles =
      take.channelOn[1] == 1 && names[0] != nullptr && names[1] != nullptr;
  struct stat before[2];
  const bool existed = dualFiles && stat(names[0], &before[0]) == 0;
  if (existed && stat(names[1], &before[1]) == 0 &&
      SameFile(before[0], before[1])) {
    RefuseSameFile();
  }

  for (int c = 0; c < 2; ++c) {
    if (take.channelOn[c] == 0 || names[c] == nullptr) continue;
    MAKE_HEADER(names[c], sampleRate, totalFrames, take.bytesPerSample,
                take.stereo);
  }

  bool missing = false;
  for (int c = 0; c < 2; ++c) {
    if (take.channelOn[c] == 0 || names[c] == nullptr) continue;
    OutputFile& output = take.outputs[c];
    output.name = names[c];
    output.file = std::fopen(names[c], "ab");
    if (output.file == nullptr) {
      std::printf("Can't open %s for recording\n", names[c]);
      missing = true;
      continue;
    }
    // Every period goes straight to the file: a take cut short keeps all
    // that was written.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
  }
  // Recording without one of the take's files would lose its audio.
  if (missing) std::exit(1);

  if (take.outputs[0].file != nullptr && take.outputs[1].file != nullptr) {
    struct stat first, second;
    if (fstat(fileno(take.outputs[0].file), &first) == 0 &&
        fstat(fileno(take.outputs[1].file), &second) == 0 &&
        SameFile(first, second)) {
      if (!existed) unlink(names[0]);  // only our header is in it
      RefuseSameFile();
    }
  }
}

// ---- Capture loop ---------------------------------------------------------

double Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

// Brings a suspended stream back: resumed where the device can, else
// prepared afresh.
void Recover(snd_pcm_t* pcm) {
  int err = -EAGAIN;
  for (int tries = 0; err == -EAGAIN && tries < kResumeTries; ++tries) {
    err = snd_pcm_resume(pcm);
    if (err == -EAGAIN) usleep(10000);
  }
  // Some devices report a resume they could not do: trust the state.
  const snd_pcm_state_t state = snd_pcm_state(pcm);
  if (err < 0 ||
      (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED)) {
    snd_pcm_prepare(pcm);
  }
}

// Reads one period into `pair` (channel 1's half first). Returns the frames
// captured: the whole period, or after an overrun or a suspend the frames
// before it, the rest of the period zeroed. A read error that ends the take
// is returned in *error with the frames captured before it.
int32_t ReadPeriod(const Take& take, uint8_t* pair, int32_t* overrunCount,
                   int* error) {
  const std::size_t half = HalfBytes(take);
  int32_t got = 0;
  double stalledSince = -1.0;
  *error = 0;
  while (got < take.periodFrames) {
    const std::size_t offset =
        static_cast<std::size_t>(got) * take.bytesPerSample;
    void* channels[2] = {pair + offset, pair + half + offset};
    const snd_pcm_sframes_t result =
        snd_pcm_readn(take.pcm, channels, take.periodFrames - got);
    if (result > 0) {
      got += static_cast<int32_t>(result);
      stalledSince = -1.0;
      continue;
    }
    if (result == 0 || result == -EAGAIN || result == -EINTR) {
      const double now = Now();
      if (stalledSince < 0) stalledSince = now;
      if (now - stalledSince > kStallSeconds) {
        *error = -EAGAIN;
        return got;
      }
      snd_pcm_wait(take.pcm, 10);
      usleep(1000);
      continue;
    }
    if (result == -EPIPE || result == -ESTRPIPE) {
      ++*overrunCount;
      std::puts("\nRX");
      if (result == -ESTRPIPE) {
        Recover(take.pcm);
      } else {
        snd_pcm_prepare(take.pcm);
      }
      // What the device did not capture is silence, never older audio.
      std::memset(pair + offset, 0, half - offset);
      std::memset(pair + half + offset, 0, half - offset);
      return take.periodFrames;
    }
    *error = static_cast<int>(result);
    return got;
  }
  return got;
}

// Appends `frames` frames of the pair to the files at `framesDone`.
void WriteFrames(const Take& take, const uint8_t* pair, int32_t framesDone,
                 int32_t frames, uint8_t* interleaveBuffer) {
  const std::size_t half = HalfBytes(take);
  const int64_t offset =
      kHeaderBytes + static_cast<int64_t>(framesDone) * take.blockAlign;
  const std::size_t bytes = static_cast<std::size_t>(frames) * take.blockAlign;
  if (take.stereo == 1) {
    Interleave(frames, static_cast<int32_t>(take.bytesPerSample), {pair, half},
               {pair + half, half}, {interleaveBuffer, 2 * half});
    WriteAt(take, take.outputs[0], offset, interleaveBuffer, bytes);
    return;
  }
  for (int c = 0; c < 2; ++c) {
    if (take.channelOn[c] == 0) continue;
    WriteAt(take, take.outputs[c], offset, pair + c * half, bytes);
  }
}

void CheckPeaks(const Take& take, const uint8_t* pair, PeakPair& takePeak,
                PeakPair& periodPeak) {
  const std::size_t half = HalfBytes(take);
  for (int c = 0; c < take.meterChannels; ++c) {
    periodPeak[c] = 0;
    CheckPeak(c, take.periodFrames, take.bytesPerSample, takePeak,
              {pair + c * half, half}, periodPeak);
  }
}

// Makes sure the take is on storage before it is reported done.
void SyncAndClose(const Take& take) {
  for (const OutputFile& output : take.outputs) {
    if (output.file == nullptr) continue;
    errno = 0;
    // Pipes and devices such as /dev/null cannot be synced; that is no loss.
    if (fsync(fileno(output.file)) != 0 && errno != EINVAL && errno != EROFS) {
      FailWrite(take, output);
    }
  }
  for (const OutputFile& output : take.outputs) {
    if (output.file == nullptr) continue;
    if (std::fclose(output.file) != 0) FailWrite(take, output);
  }
}

}  // namespace

bool QUANTIZE(int32_t periodFrames, uint32_t rate, const float* duration,
              int32_t* totalFrames) {
  // Exact: the rate is below 2^17 and the duration has a 24-bit mantissa.
  const double x = static_cast<double>(rate) * static_cast<double>(*duration);
  if (!(x > 0.0)) {
    *totalFrames = 0;
    return true;
  }
  constexpr int64_t kMaxFrames = std::numeric_limits<int32_t>::max();
  if (periodFrames <= 0 || x > static_cast<double>(kMaxFrames)) return false;
  // The smallest whole number of periods, at least one, not below x. The
  // quotient is only a first guess: it is rounded.
  int64_t periods =
      std::max<int64_t>(1, static_cast<int64_t>(std::ceil(x / periodFrames)));
  while (periods > 1 &&
         static_cast<double>((periods - 1) * periodFrames) >= x) {
    --periods;
  }
  while (static_cast<double>(periods * periodFrames) < x) ++periods;
  const int64_t frames = periods * periodFrames;
  if (frames > kMaxFrames) return false;
  *totalFrames = static_cast<int32_t>(frames);
  return true;
}

int32_t NewTime() {
  return static_cast<int32_t>(std::time(nullptr) - kTimeEpoch);
}

void RECORD(const char* deviceName, uint32_t sampleRate, float duration,
            int32_t channelCount, uint32_t bytesPerSample, int32_t autoName,
            NameBuffer nameList, NameBuffer nameScratch, int32_t stereo) {
  Take take;
  take.bytesPerSample = bytesPerSample;
  take.stereo = stereo;
  take.channelOn = {1, channelCount == 2 ? 1 : 0};
  take.blockAlign = bytesPerSample * (stereo == 1 ? 2 : 1);
  PeakPair takePeak = {0, 0}, periodPeak = {0, 0}, heldPeak = {0, 0};
  const int32_t holdPeriods = static_cast<int32_t>((sampleRate * 3) >> 12);
  take.meterChannels = (channelCount == 2 || stereo == 1) ? 2 : 1;

  snd_pcm_uframes_t periodFrames = 0;
  take.pcm = OpenDevice(deviceName, sampleRate, bytesPerSample, &periodFrames);

  // Two buffer pairs, each a period of both channels, and in stereo mode the
  // interleaved period: the device chooses the period, so they come from the
  // heap.
  const uint64_t pairBytes =
      2ULL * bytesPerSample * static_cast<uint64_t>(periodFrames);
  std::array<std::unique_ptr<uint8_t[]>, 2> pairs;
  std::unique_ptr<uint8_t[]> interleaveBuffer;
  bool allocated = periodFrames > 0 &&
                   periodFrames <= static_cast<snd_pcm_uframes_t>(
                                       std::numeric_limits<int32_t>::max()) &&
                   pairBytes <= std::numeric_limits<std::size_t>::max() / 2;
  if (allocated) {
    for (auto& pair : pairs) pair.reset(new (std::nothrow) uint8_t[pairBytes]);
    if (stereo == 1)
      interleaveBuffer.reset(new (std::nothrow) uint8_t[pairBytes]);
    allocated = pairs[0] && pairs[1] && (stereo != 1 || interleaveBuffer);
  }
  if (!allocated) {
    std::fputs("Can't allocate recording buffers\n", stderr);
    std::exit(1);
  }
  take.periodFrames = static_cast<int32_t>(periodFrames);

  int32_t totalFrames = 0;
  if (!QUANTIZE(take.periodFrames, sampleRate, &duration, &totalFrames) ||
      static_cast<uint64_t>(totalFrames) * take.blockAlign > kMaxDataBytes) {
    RefuseDuration();
  }

  OpenOutputs(take, sampleRate, totalFrames, autoName, nameList, nameScratch);

  std::puts(stereo == 1 ? "Recording in Stereo" : "Recording");
  for (auto& pair : pairs) std::memset(pair.get(), 0, pairBytes);
  snd_pcm_prepare(take.pcm);
  int meterFirstCall = 1;
  int32_t framesDone = 0;
  int32_t overrunCount = 0;
  int32_t holdCount = 0;
  int selector = 0;

  while (framesDone < totalFrames) {
    snd_pcm_avail_update(take.pcm);
    snd_pcm_wait(take.pcm, 1);
    uint8_t* pair = pairs[selector].get();
    selector ^= 1;
    // A device that reports frames it did not deliver leaves silence, never
    // the audio of two periods before.
    std::memset(pair, 0, pairBytes);
    int error = 0;
    const int32_t got = ReadPeriod(take, pair, &overrunCount, &error);
    if (error != 0) {
      WriteFrames(take, pair, framesDone, got, interleaveBuffer.get());
      std::fflush(stdout);
      std::fprintf(stderr, "\nunable to read from pcm record device: %s\n",
                   snd_strerror(error));
      MendOutputs(take);
      std::exit(1);
    }

    CheckPeaks(take, pair, takePeak, periodPeak);
    WriteFrames(take, pair, framesDone, take.periodFrames,
                interleaveBuffer.get());
    framesDone += take.periodFrames;

    DrawStatusLine(totalFrames, -framesDone, sampleRate, periodPeak,
                   kMeterRange, &meterFirstCall, kMeterDecay,
                   static_cast<int32_t>(bytesPerSample), take.meterChannels,
                   heldPeak);

    ++holdCount;
    for (int c = 0; c < take.meterChannels; ++c) {
      if (periodPeak[c] > heldPeak[c]) heldPeak[c] = periodPeak[c];
    }
    if (holdCount > holdPeriods) {
      for (int c = 0; c < take.meterChannels; ++c) {
        heldPeak[c] = periodPeak[c];
      }
      holdCount = 0;
    }
  }

  PrintPeakReport(takePeak, take.channelOn, stereo, bytesPerSample);
  if (overrunCount != 0) {
    std::printf("\nRecord Overruns = %i\n", overrunCount);
  }
  SyncAndClose(take);
  std::puts("Done");
  snd_pcm_drain(take.pcm);
  snd_pcm_close(take.pcm);
}
