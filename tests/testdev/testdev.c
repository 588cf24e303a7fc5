/* zelktest: a scriptable ALSA capture device for the end-to-end tests.
 *
 * It behaves like a well-mannered sound card whose content, timing,
 * accepted parameters and faults are chosen from the device's entry in
 * .asoundrc, so tests can predict byte for byte what the recorder writes.
 *
 *   pcm_type.zelktest { lib "/abs/path/libasound_module_pcm_zelktest.so" }
 *   pcm.dev {
 *     type zelktest
 *     formats [ "S16_LE" "S24_3LE" ]  # accepted formats (default: these two)
 *     channels [ 2 ]                  # accepted channel counts (default: 2)
 *     rates [ 44100 48000 ]           # accepted rates (default: 4000..768000)
 *     rate 22050                      # only this rate (same as rates [ N ])
 *     access "both"                   # "interleaved" | "noninterleaved"
 *     period 4410                     # only this period size, in frames
 *     fail_commit true                # snd_pcm_hw_params fails (-EIO)
 *     infile "/abs/raw"               # content: raw interleaved frames
 *     pattern "ramp"                  # content: zelktest_ramp (pattern.h),
 *                                     # or "silence" (the default)
 *     events "3:xrun,5:short"         # faults, see below
 *     paced true                      # deliver no faster than real time
 *     resume false                    # a suspended stream cannot resume
 *     log "/abs/log"                  # one line per callback and fault
 *   }
 *
 * Lists act as sets, but alsa-lib's near-calls may settle on the next
 * listed value up rather than the closest: `rates [ 44100 96000 ]` turns a
 * request for 48000 into 96000. Period constraints are in bytes, so `period`
 * needs a single frame size: give one format (and at most one channel
 * count) with it. alsa-lib keeps times in microseconds in 32 bits, so two
 * periods must last under 71 minutes: 2^26 frames works at 44100 and up.
 *
 * Content is numbered by a content position that starts at 0 and counts
 * the frames delivered plus those an xrun or suspend threw away; prepare
 * does not move it. A raw infile holds frames with the negotiated channel
 * count and sample format, and reads past its end give silence.
 *
 * Event K fires at the first read (transfer) that starts at or after
 * content frame K * period; each fires once, in the order written:
 *   xrun      read fails -EPIPE, state XRUN; the content skips to the next
 *             period boundary (that period is lost)
 *   suspend   read fails -ESTRPIPE, state SUSPENDED; content skips likewise.
 *             snd_pcm_resume always returns 0 here (alsa-lib ignores the
 *             plugin's answer); with `resume false` the stream is left in
 *             XRUN so the next read fails -EPIPE and needs snd_pcm_prepare
 *   short     the read delivers half a period and returns that count; the
 *             next read continues the content seamlessly (a read of half a
 *             period or less is not cut, but still uses up the event)
 *   enodev    read fails -ENODEV, state DISCONNECTED; so does every later
 *             read, start and prepare
 *   eio, ebadfd  read fails -EIO / -EBADFD, and so does every later
 *             read, start and prepare
 *   eagain, eintr  one read fails -EAGAIN / -EINTR; nothing is lost
 *   eagain_forever  every read from then on fails -EAGAIN
 *
 * Unpaced, one period is always available and reads return at once. Paced,
 * the position advances a period at a time with the monotonic clock from
 * the start of the stream; a slow reader holds the clock back rather than
 * overrunning, so faults only ever come from `events`. The clock restarts
 * with the stream after each prepare, and keeps running through a suspend.
 *
 * The log gets lines like these, in order of the calls:
 *   open dev
 *   hw_params access=RW_NONINTERLEAVED format=S16_LE channels=2 rate=48000
 *     period=4096 buffer=32768              (on one line; " fail" appended
 *                                            with fail_commit)
 *   prepare | start | stop | drain | resume ok | resume refused
 *   event 2 xrun pos=8192                   (K, kind, content position)
 *   close delivered=40960                   (frames handed over in all)
 * snd_pcm_hw_params prepares by itself, so expect one prepare more than the
 * program calls. Bad options make the open fail with a message on stderr.
 *
 * Nothing here is sized by the period or buffer: ioplug without mmap
 * emulation hands the transfer callback the caller's own buffers, which
 * lets a test ask for a huge period and watch the recorder's allocation. */

#define _GNU_SOURCE /* pread, timerfd, O_CLOEXEC under strict -std */

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "pattern.h"

enum event_kind {
  EV_XRUN,
  EV_SUSPEND,
  EV_SHORT,
  EV_ENODEV,
  EV_EIO,
  EV_EBADFD,
  EV_EAGAIN,
  EV_EINTR,
  EV_EAGAIN_FOREVER,
};

static const char* const event_names[] = {
    "xrun",   "suspend", "short", "enodev",         "eio",
    "ebadfd", "eagain",  "eintr", "eagain_forever",
};

struct event {
  uint64_t period; /* fires at content frame period * period_size */
  enum event_kind kind;
  int fired;
};

enum content { CONTENT_SILENCE, CONTENT_RAMP, CONTENT_FILE };

struct zelktest {
  snd_pcm_ioplug_t io;

  /* configuration */
  unsigned int formats[8];
  unsigned int nformats;
  unsigned int channels[16];
  unsigned int nchannels;
  unsigned int rates[32];
  unsigned int nrates;
  unsigned int access[2];
  unsigned int naccess;
  unsigned long period;
  int fail_commit;
  int paced;
  int can_resume;
  enum content content;
  int infile_fd;
  int log_fd;
  struct event* events;
  size_t nevents;

  /* stream */
  int timer_fd;
  unsigned int sample_bytes;
  snd_pcm_uframes_t boundary;
  snd_pcm_uframes_t avail_min;
  struct timespec start_time;
  uint64_t pos;       /* content position */
  uint64_t appl_abs;  /* frames handed over since prepare */
  uint64_t hw_abs;    /* frames captured since prepare */
  uint64_t delivered; /* frames handed over since open */
  int sticky_error;   /* after a hard fault every read gets this */
  int eagain_forever;
  int cut_pending; /* the read after a short transfer must end */
};

static void logf_(struct zelktest* z, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

static void logf_(struct zelktest* z, const char* fmt, ...) {
  if (z->log_fd < 0) return;
  /* One write per line keeps lines whole in an O_APPEND file. */
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n > sizeof line - 2) n = sizeof line - 2;
  line[n++] = '\n';
  ssize_t ignored = write(z->log_fd, line, (size_t)n);
  (void)ignored;
}

static uint64_t timespec_ns(const struct timespec* t) {
  return (uint64_t)t->tv_sec * 1000000000u + (uint64_t)t->tv_nsec;
}

static uint64_t clock_frames(const struct zelktest* z) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ns = timespec_ns(&now) - timespec_ns(&z->start_time);
  return ns / 1000000000u * z->io.rate +
         ns % 1000000000u * z->io.rate / 1000000000u;
}

static void set_timer_ns(struct zelktest* z, uint64_t abs_ns) {
  struct itimerspec its;
  memset(&its, 0, sizeof its);
  its.it_value.tv_sec = (time_t)(abs_ns / 1000000000u);
  its.it_value.tv_nsec = (long)(abs_ns % 1000000000u);
  timerfd_settime(z->timer_fd, TFD_TIMER_ABSTIME, &its, NULL);
}

/* An absolute time long past: the timer fires at once and stays readable
 * until read. */
static void timer_ready(struct zelktest* z) { set_timer_ns(z, 1); }

static void timer_off(struct zelktest* z) {
  struct itimerspec its;
  memset(&its, 0, sizeof its);
  timerfd_settime(z->timer_fd, 0, &its, NULL);
}

/* Paced: wake the poller when avail_min frames will be there, on the period
 * boundary where the position reaches them. */
static void timer_for_next(struct zelktest* z) {
  uint64_t p = z->io.period_size;
  uint64_t due = (z->appl_abs + z->avail_min + p - 1) / p * p;
  uint64_t ns = due / z->io.rate * 1000000000u +
                (due % z->io.rate * 1000000000u + z->io.rate - 1) / z->io.rate;
  set_timer_ns(z, timespec_ns(&z->start_time) + ns);
}

static void update_hw(struct zelktest* z) {
  snd_pcm_state_t st = z->io.state;
  if (st != SND_PCM_STATE_RUNNING && st != SND_PCM_STATE_DRAINING) return;
  uint64_t target;
  if (z->paced) {
    uint64_t p = z->io.period_size;
    target = clock_frames(z) / p * p;
    if (target > z->appl_abs + z->io.buffer_size)
      target = z->appl_abs + z->io.buffer_size;
  } else {
    uint64_t p = z->io.period_size;
    if (p > z->io.buffer_size) p = z->io.buffer_size;
    target = z->appl_abs + p;
  }
  if (target > z->hw_abs) z->hw_abs = target;
}

static int zt_start(snd_pcm_ioplug_t* io) {
  struct zelktest* z = io->private_data;
  logf_(z, "start");
  if (z->sticky_error) return z->sticky_error;
  clock_gettime(CLOCK_MONOTONIC, &z->start_time);
  if (z->paced) timer_for_next(z);
  return 0;
}

static int zt_stop(snd_pcm_ioplug_t* io) {
  struct zelktest* z = io->private_data;
  logf_(z, "stop");
  if (z->paced) timer_off(z);
  return 0;
}

static snd_pcm_sframes_t zt_pointer(snd_pcm_ioplug_t* io) {
  struct zelktest* z = io->private_data;
  update_hw(z);
  return (snd_pcm_sframes_t)(z->hw_abs % z->boundary);
}

static void fill_silence(struct zelktest* z, const snd_pcm_channel_area_t* a,
                         snd_pcm_uframes_t offset, snd_pcm_uframes_t frames) {
  snd_pcm_areas_silence(a, offset, z->io.channels, frames, z->io.format);
}

static uint8_t* sample_at(const snd_pcm_channel_area_t* a,
                          snd_pcm_uframes_t frame) {
  return (uint8_t*)a->addr + (a->first + frame * a->step) / 8;
}

static void fill_ramp(struct zelktest* z, const snd_pcm_channel_area_t* a,
                      snd_pcm_uframes_t offset, snd_pcm_uframes_t frames) {
  const int bytes = (int)z->sample_bytes;
  for (unsigned int c = 0; c < z->io.channels; c++)
    for (snd_pcm_uframes_t i = 0; i < frames; i++)
      zelktest_put_le(sample_at(&a[c], offset + i),
                      zelktest_ramp(z->pos + i, (int)c, bytes), bytes);
}

static void fill_file(struct zelktest* z, const snd_pcm_channel_area_t* a,
                      snd_pcm_uframes_t offset, snd_pcm_uframes_t frames) {
  const size_t frame_bytes = (size_t)z->sample_bytes * z->io.channels;
  uint8_t chunk[16384];
  const size_t chunk_frames = sizeof chunk / frame_bytes;
  snd_pcm_uframes_t done = 0;
  while (done < frames) {
    size_t n = frames - done;
    if (n > chunk_frames) n = chunk_frames;
    size_t want = n * frame_bytes;
    size_t got = 0;
    off_t at = (off_t)((z->pos + done) * frame_bytes);
    while (got < want) {
      ssize_t r = pread(z->infile_fd, chunk + got, want - got, at + got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += (size_t)r;
    }
    memset(chunk + got, 0, want - got);
    for (size_t i = 0; i < n; i++)
      for (unsigned int c = 0; c < z->io.channels; c++)
        memcpy(sample_at(&a[c], offset + done + i),
               chunk + i * frame_bytes + c * z->sample_bytes, z->sample_bytes);
    done += n;
  }
}

static struct event* due_event(struct zelktest* z) {
  for (size_t i = 0; i < z->nevents; i++) {
    struct event* e = &z->events[i];
    if (!e->fired && z->pos >= e->period * z->io.period_size) return e;
  }
  return NULL;
}

static void skip_to_next_period(struct zelktest* z) {
  uint64_t p = z->io.period_size;
  z->pos = (z->pos / p + 1) * p;
}

static void enter_state(struct zelktest* z, snd_pcm_state_t st) {
  snd_pcm_ioplug_set_state(&z->io, st);
  /* A poller must wake to see the fault, as with a real card. */
  timer_ready(z);
}

static snd_pcm_sframes_t fire(struct zelktest* z, struct event* e,
                              snd_pcm_uframes_t* frames) {
  e->fired = 1;
  logf_(z, "event %llu %s pos=%llu", (unsigned long long)e->period,
        event_names[e->kind], (unsigned long long)z->pos);
  switch (e->kind) {
    case EV_XRUN:
      skip_to_next_period(z);
      enter_state(z, SND_PCM_STATE_XRUN);
      return -EPIPE;
    case EV_SUSPEND:
      skip_to_next_period(z);
      enter_state(z, SND_PCM_STATE_SUSPENDED);
      return -ESTRPIPE;
    case EV_ENODEV:
      z->sticky_error = -ENODEV;
      enter_state(z, SND_PCM_STATE_DISCONNECTED);
      return -ENODEV;
    case EV_EIO:
      z->sticky_error = -EIO;
      return -EIO;
    case EV_EBADFD:
      z->sticky_error = -EBADFD;
      return -EBADFD;
    case EV_EAGAIN:
      return -EAGAIN;
    case EV_EINTR:
      return -EINTR;
    case EV_EAGAIN_FOREVER:
      z->eagain_forever = 1;
      return -EAGAIN;
    case EV_SHORT: {
      snd_pcm_uframes_t half = z->io.period_size / 2;
      if (half == 0) half = 1;
      if (*frames > half) {
        *frames = half;
        z->cut_pending = 1;
      }
      return 0;
    }
  }
  return -EINVAL;
}

static snd_pcm_sframes_t zt_transfer(snd_pcm_ioplug_t* io,
                                     const snd_pcm_channel_area_t* areas,
                                     snd_pcm_uframes_t offset,
                                     snd_pcm_uframes_t size) {
  struct zelktest* z = io->private_data;
  if (z->sticky_error) return z->sticky_error;
  if (z->eagain_forever) return -EAGAIN;
  if (z->cut_pending) {
    z->cut_pending = 0;
    /* alsa-lib's read loop calls again with a non-zero offset to finish
     * the same read; an error there makes the read return the partial
     * count. A fresh read (offset 0) just carries on. */
    if (offset != 0) return -EAGAIN;
  }
  struct event* e = due_event(z);
  if (e) {
    snd_pcm_sframes_t err = fire(z, e, &size);
    if (err < 0) return err;
  }
  switch (z->content) {
    case CONTENT_SILENCE:
      fill_silence(z, areas, offset, size);
      break;
    case CONTENT_RAMP:
      fill_ramp(z, areas, offset, size);
      break;
    case CONTENT_FILE:
      fill_file(z, areas, offset, size);
      break;
  }
  z->pos += size;
  z->appl_abs += size;
  z->delivered += size;
  if (z->paced) timer_for_next(z);
  return (snd_pcm_sframes_t)size;
}

static int zt_prepare(snd_pcm_ioplug_t* io) {
  struct zelktest* z = io->private_data;
  logf_(z, "prepare");
  /* alsa-lib has already zeroed its pointers, whatever we answer. */
  z->appl_abs = 0;
  z->hw_abs = 0;
  z->cut_pending = 0;
  if (z->sticky_error) return z->sticky_error;
  if (z->paced)
    timer_off(z);
  else
    timer_ready(z);
  return 0;
}

static int zt_drain(snd_pcm_ioplug_t* io) {
  /* Capture drain stops at once, as the kernel does; returning 0 makes
   * alsa-lib drop the stream. */
  struct zelktest* z = io->private_data;
  logf_(z, "drain");
  return 0;
}

static int zt_resume(snd_pcm_ioplug_t* io) {
  struct zelktest* z = io->private_data;
  logf_(z, "resume %s", z->can_resume ? "ok" : "refused");
  if (io->state != SND_PCM_STATE_SUSPENDED) return 0;
  /* alsa-lib drops this return value, so a refused resume shows up as an
   * overrun on the next read instead. */
  enter_state(z, z->can_resume ? SND_PCM_STATE_RUNNING : SND_PCM_STATE_XRUN);
  return z->can_resume ? 0 : -ENOSYS;
}

static int zt_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* params) {
  struct zelktest* z = io->private_data;
  (void)params;
  logf_(z,
        "hw_params access=%s format=%s channels=%u rate=%u period=%lu "
        "buffer=%lu%s",
        snd_pcm_access_name(io->access), snd_pcm_format_name(io->format),
        io->channels, io->rate, (unsigned long)io->period_size,
        (unsigned long)io->buffer_size, z->fail_commit ? " fail" : "");
  if (z->fail_commit) return -EIO;
  int width = snd_pcm_format_physical_width(io->format);
  if (width <= 0 || width % 8 != 0) return -EINVAL;
  z->sample_bytes = (unsigned int)width / 8;
  /* alsa-lib's own rule, in case sw_params never reaches us. */
  snd_pcm_uframes_t b = io->buffer_size;
  while (b * 2 <= LONG_MAX - io->buffer_size) b *= 2;
  z->boundary = b;
  z->avail_min = io->period_size;
  return 0;
}

static int zt_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  struct zelktest* z = io->private_data;
  snd_pcm_uframes_t v;
  if (snd_pcm_sw_params_get_boundary(params, &v) == 0 && v > 0) z->boundary = v;
  if (snd_pcm_sw_params_get_avail_min(params, &v) == 0 && v > 0)
    z->avail_min = v;
  return 0;
}

static int zt_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd,
                           unsigned int nfds, unsigned short* revents) {
  struct zelktest* z = io->private_data;
  (void)nfds;
  *revents = 0;
  if (pfd[0].revents & (POLLERR | POLLNVAL)) {
    *revents = pfd[0].revents;
    return 0;
  }
  switch (io->state) {
    case SND_PCM_STATE_XRUN:
    case SND_PCM_STATE_SUSPENDED:
    case SND_PCM_STATE_DISCONNECTED:
      *revents = POLLERR;
      return 0;
    default:
      break;
  }
  if (!z->paced) {
    *revents = pfd[0].revents & POLLIN;
    return 0;
  }
  uint64_t expirations;
  ssize_t ignored = read(z->timer_fd, &expirations, sizeof expirations);
  (void)ignored;
  if (io->state != SND_PCM_STATE_RUNNING) {
    timer_off(z);
    return 0;
  }
  update_hw(z);
  if (z->hw_abs - z->appl_abs >= z->avail_min) {
    *revents = POLLIN;
    timer_ready(z);
  } else {
    timer_for_next(z);
  }
  return 0;
}

static void zt_free(struct zelktest* z) {
  if (z->timer_fd >= 0) close(z->timer_fd);
  if (z->infile_fd >= 0) close(z->infile_fd);
  if (z->log_fd >= 0) close(z->log_fd);
  free(z->events);
  free(z);
}

static int zt_close(snd_pcm_ioplug_t* io) {
  struct zelktest* z = io->private_data;
  logf_(z, "close delivered=%llu", (unsigned long long)z->delivered);
  zt_free(z);
  return 0;
}

static const snd_pcm_ioplug_callback_t zt_callbacks = {
    .start = zt_start,
    .stop = zt_stop,
    .pointer = zt_pointer,
    .transfer = zt_transfer,
    .close = zt_close,
    .hw_params = zt_hw_params,
    .sw_params = zt_sw_params,
    .prepare = zt_prepare,
    .drain = zt_drain,
    .resume = zt_resume,
    .poll_revents = zt_poll_revents,
};

/* ---- configuration ---- */

static int get_ulong(snd_config_t* n, unsigned long* out) {
  long l;
  long long ll;
  const char* s;
  if (snd_config_get_integer(n, &l) == 0 && l >= 0) {
    *out = (unsigned long)l;
    return 0;
  }
  if (snd_config_get_integer64(n, &ll) == 0 && ll >= 0) {
    *out = (unsigned long)ll;
    return 0;
  }
  if (snd_config_get_string(n, &s) == 0) {
    char* end;
    errno = 0;
    unsigned long v = strtoul(s, &end, 10);
    if (errno == 0 && end != s && *end == '\0') {
      *out = v;
      return 0;
    }
  }
  return -EINVAL;
}

/* Accepts a single value or a list [ a b c ]. */
static int get_uint_list(snd_config_t* n, const char* id, unsigned int* out,
                         unsigned int max, unsigned int* count) {
  *count = 0;
  if (snd_config_get_type(n) != SND_CONFIG_TYPE_COMPOUND) {
    unsigned long v;
    if (get_ulong(n, &v) < 0 || v > UINT_MAX) goto bad;
    out[(*count)++] = (unsigned int)v;
    return 0;
  }
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, n) {
    unsigned long v;
    if (*count >= max || get_ulong(snd_config_iterator_entry(i), &v) < 0 ||
        v > UINT_MAX)
      goto bad;
    out[(*count)++] = (unsigned int)v;
  }
  if (*count > 0) return 0;
bad:
  SNDERR("zelktest: bad value for %s", id);
  return -EINVAL;
}

static int get_formats(snd_config_t* n, struct zelktest* z) {
  const char* s;
  z->nformats = 0;
  if (snd_config_get_type(n) != SND_CONFIG_TYPE_COMPOUND) {
    if (snd_config_get_string(n, &s) < 0) goto bad;
    snd_pcm_format_t f = snd_pcm_format_value(s);
    if (f == SND_PCM_FORMAT_UNKNOWN) goto bad;
    z->formats[z->nformats++] = (unsigned int)f;
    return 0;
  }
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, n) {
    if (z->nformats >= sizeof z->formats / sizeof z->formats[0] ||
        snd_config_get_string(snd_config_iterator_entry(i), &s) < 0)
      goto bad;
    snd_pcm_format_t f = snd_pcm_format_value(s);
    int width = snd_pcm_format_physical_width(f);
    if (f == SND_PCM_FORMAT_UNKNOWN || width <= 0 || width % 8 != 0) goto bad;
    z->formats[z->nformats++] = (unsigned int)f;
  }
  if (z->nformats > 0) return 0;
bad:
  SNDERR("zelktest: bad value for formats");
  return -EINVAL;
}

static int parse_events(const char* s, struct zelktest* z) {
  size_t cap = 1;
  for (const char* p = s; *p; p++) cap += *p == ',';
  z->events = calloc(cap, sizeof *z->events);
  if (!z->events) return -ENOMEM;
  const char* p = s;
  while (*p) {
    char* end;
    errno = 0;
    unsigned long long k = strtoull(p, &end, 10);
    if (errno || end == p || *end != ':') goto bad;
    p = end + 1;
    size_t len = strcspn(p, ",");
    size_t kind;
    for (kind = 0; kind < sizeof event_names / sizeof event_names[0]; kind++)
      if (strlen(event_names[kind]) == len &&
          strncmp(event_names[kind], p, len) == 0)
        break;
    if (kind == sizeof event_names / sizeof event_names[0]) goto bad;
    z->events[z->nevents].period = k;
    z->events[z->nevents].kind = (enum event_kind)kind;
    z->nevents++;
    p += len;
    if (*p == ',') p++;
  }
  return 0;
bad:
  SNDERR("zelktest: bad events \"%s\"", s);
  return -EINVAL;
}

static int configure(struct zelktest* z, snd_config_t* conf) {
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id;
    const char* s;
    int err = 0;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint"))
      continue;
    if (!strcmp(id, "formats")) {
      err = get_formats(n, z);
    } else if (!strcmp(id, "channels")) {
      err = get_uint_list(n, id, z->channels, 16, &z->nchannels);
    } else if (!strcmp(id, "rates") || !strcmp(id, "rate")) {
      err = get_uint_list(n, id, z->rates, 32, &z->nrates);
    } else if (!strcmp(id, "access")) {
      if (snd_config_get_string(n, &s) < 0) s = "";
      z->naccess = 0;
      if (!strcmp(s, "interleaved") || !strcmp(s, "both"))
        z->access[z->naccess++] = SND_PCM_ACCESS_RW_INTERLEAVED;
      if (!strcmp(s, "noninterleaved") || !strcmp(s, "both"))
        z->access[z->naccess++] = SND_PCM_ACCESS_RW_NONINTERLEAVED;
      if (z->naccess == 0) {
        SNDERR("zelktest: access must be interleaved, noninterleaved or both");
        err = -EINVAL;
      }
    } else if (!strcmp(id, "period")) {
      if (get_ulong(n, &z->period) < 0 || z->period == 0) {
        SNDERR("zelktest: bad value for period");
        err = -EINVAL;
      }
    } else if (!strcmp(id, "fail_commit") || !strcmp(id, "paced") ||
               !strcmp(id, "resume")) {
      int b = snd_config_get_bool(n);
      if (b < 0) {
        SNDERR("zelktest: %s must be true or false", id);
        err = b;
      } else if (!strcmp(id, "fail_commit")) {
        z->fail_commit = b;
      } else if (!strcmp(id, "paced")) {
        z->paced = b;
      } else {
        z->can_resume = b;
      }
    } else if (!strcmp(id, "infile")) {
      if (snd_config_get_string(n, &s) < 0) {
        err = -EINVAL;
      } else if ((z->infile_fd = open(s, O_RDONLY | O_CLOEXEC)) < 0) {
        err = -errno;
        SNDERR("zelktest: cannot open infile %s", s);
      }
      z->content = CONTENT_FILE;
    } else if (!strcmp(id, "pattern")) {
      if (snd_config_get_string(n, &s) < 0 ||
          (strcmp(s, "ramp") && strcmp(s, "silence"))) {
        SNDERR("zelktest: pattern must be ramp or silence");
        err = -EINVAL;
      } else {
        z->content = strcmp(s, "ramp") ? CONTENT_SILENCE : CONTENT_RAMP;
      }
    } else if (!strcmp(id, "events")) {
      if (snd_config_get_string(n, &s) < 0)
        err = -EINVAL;
      else
        err = parse_events(s, z);
    } else if (!strcmp(id, "log")) {
      if (snd_config_get_string(n, &s) < 0) {
        err = -EINVAL;
      } else if ((z->log_fd = open(s, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                                   0644)) < 0) {
        err = -errno;
        SNDERR("zelktest: cannot open log %s", s);
      }
    } else {
      SNDERR("zelktest: unknown option %s", id);
      err = -EINVAL;
    }
    if (err < 0) return err;
  }
  return 0;
}

static int set_constraints(struct zelktest* z) {
  snd_pcm_ioplug_t* io = &z->io;
  int err;
  if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS,
                                           z->naccess, z->access)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT,
                                           z->nformats, z->formats)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_CHANNELS,
                                           z->nchannels, z->channels)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2,
                                             1024)) < 0)
    return err;
  if (z->nrates)
    err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE, z->nrates,
                                        z->rates);
  else
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 4000,
                                          768000);
  if (err < 0 || !z->period) return err;

  unsigned int frame_bytes = 0;
  for (unsigned int f = 0; f < z->nformats; f++)
    for (unsigned int c = 0; c < z->nchannels; c++) {
      unsigned int fb = (unsigned int)snd_pcm_format_physical_width(
                            (snd_pcm_format_t)z->formats[f]) /
                        8 * z->channels[c];
      if (frame_bytes && fb != frame_bytes) {
        SNDERR("zelktest: period needs a single format and channel count");
        return -EINVAL;
      }
      frame_bytes = fb;
    }
  if (z->period > UINT_MAX / frame_bytes / 2) {
    SNDERR("zelktest: period too large");
    return -EINVAL;
  }
  unsigned int bytes = (unsigned int)z->period * frame_bytes;
  return snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 1,
                                       &bytes);
}

SND_PCM_PLUGIN_DEFINE_FUNC(zelktest) {
  (void)root;
  if (stream != SND_PCM_STREAM_CAPTURE) {
    SNDERR("zelktest: capture only");
    return -EINVAL;
  }
  struct zelktest* z = calloc(1, sizeof *z);
  if (!z) return -ENOMEM;
  z->infile_fd = -1;
  z->log_fd = -1;
  z->timer_fd = -1;
  z->can_resume = 1;
  z->formats[0] = SND_PCM_FORMAT_S16_LE;
  z->formats[1] = SND_PCM_FORMAT_S24_3LE;
  z->nformats = 2;
  z->channels[0] = 2;
  z->nchannels = 1;
  z->access[0] = SND_PCM_ACCESS_RW_INTERLEAVED;
  z->access[1] = SND_PCM_ACCESS_RW_NONINTERLEAVED;
  z->naccess = 2;
  z->boundary = LONG_MAX;

  int err = configure(z, conf);
  if (err == 0) {
    z->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (z->timer_fd < 0) err = -errno;
  }
  if (err < 0) {
    zt_free(z);
    return err;
  }
  logf_(z, "open %s", name);

  z->io.version = SND_PCM_IOPLUG_VERSION;
  z->io.name = "zelk test capture device";
  z->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
  z->io.poll_fd = z->timer_fd;
  z->io.poll_events = POLLIN;
  z->io.mmap_rw = 0;
  z->io.callback = &zt_callbacks;
  z->io.private_data = z;
  err = snd_pcm_ioplug_create(&z->io, name, stream, mode);
  if (err < 0) {
    zt_free(z);
    return err;
  }
  err = set_constraints(z);
  if (err < 0) {
    snd_pcm_ioplug_delete(&z->io); /* calls zt_close */
    return err;
  }
  *pcmp = z->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(zelktest)
