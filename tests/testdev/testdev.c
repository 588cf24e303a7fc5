/* zelktest: a capture device for the end-to-end tests (an ALSA external I/O
 * plugin) whose content is known and whose faults come when asked:
 *   pcm.dev { type zelktest
 *             paced true       # in real time: a reader a buffer behind
 *                              # overruns, as on a sound card
 *             format "S16_LE"  # the only format (default S16_LE, S24_3LE)
 *             rate 8000        # the only rate
 *             period 4410      # the only period, in frames (with format)
 *             access "interleaved"  # RW_INTERLEAVED only, as a sound
 *                                   # server's plugin offers (default:
 *                                   # interleaved and non-interleaved)
 *             drain "hang"     # snd_pcm_drain never returns; a drop
 *                              # still stops at once
 *             events "3:xrun,5:short" }
 * Sample bytes of frame f, channel c: the low bytes of (2f + c) * 40503,
 * little-endian; f counts frames since the device opened, lost ones too.
 * Event K fires at the first read at or past frame K * period:
 *   xrun, suspend  the read fails and the rest of that period is lost; the
 *                  stream then needs a prepare (there is no resume)
 *   short          the read returns half of what it asked for
 *   asleep         as suspend, but a resume only ever says "try again"
 *   eagain         that read fails -EAGAIN; nothing is lost
 *   eio, stall     this and every later read fail, -EIO or -EAGAIN
 *   hang           that read never returns
 *   dead           this and every later read fail -EPIPE with the stream in
 *                  XRUN, however often it is prepared, and no frame ever
 *                  comes again: a sound server's client once its server is
 *                  gone */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <stdint.h>

static const struct {
  const char* name;
  int error, sticky;
  snd_pcm_state_t state;
} kinds[] = {{"xrun", -EPIPE, 0, SND_PCM_STATE_XRUN},
             {"suspend", -ESTRPIPE, 0, SND_PCM_STATE_SUSPENDED},
             {"short", 0, 0, SND_PCM_STATE_RUNNING},
             {"eagain", -EAGAIN, 0, SND_PCM_STATE_RUNNING},
             {"eio", -EIO, 1, SND_PCM_STATE_RUNNING},
             {"stall", -EAGAIN, 1, SND_PCM_STATE_RUNNING},
             {"asleep", -ESTRPIPE, 0, SND_PCM_STATE_SUSPENDED},
             {"hang", 0, 0, SND_PCM_STATE_RUNNING},
             {"dead", -EPIPE, 0, SND_PCM_STATE_XRUN}};
enum { ASLEEP = 6, HANG = 7, DEAD = 8 };
enum { EVENTS = 8 };

struct dev {
  snd_pcm_ioplug_t io;
  int pipe[2]; /* kept readable: a read is always worth trying */
  int paced, interleaved, hangs, sticky, cut, asleep, dead, events, kind[EVENTS]; /* kind -1: fired */
  unsigned long period[EVENTS];
  uint64_t frame, handed; /* content position; frames read since prepare */
  uint64_t startFrame, startNs;
};

static snd_pcm_sframes_t dev_pointer(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  if (d->dead) return -EPIPE; /* alsa-lib puts the stream in XRUN */
  return (snd_pcm_sframes_t)((d->handed + io->period_size) % io->buffer_size);
}

static uint64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static int dev_start(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  d->startNs = now_ns();
  d->startFrame = d->frame;
  return d->sticky;
}

static int dev_stop(snd_pcm_ioplug_t* io) { return (void)io, 0; }

/* A capture stream has nothing to drain: it stops at once, unless it is
 * to hang as a client whose server never answers. */
static int dev_drain(snd_pcm_ioplug_t* io) {
  while (((struct dev*)io->private_data)->hangs) pause();
  return 0;
}

static int dev_prepare(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  d->handed = d->cut = d->asleep = 0;
  return d->sticky;
}

static int dev_resume(snd_pcm_ioplug_t* io) {
  return ((struct dev*)io->private_data)->asleep ? -EAGAIN : 0;
}

/* Fires the first event due: its error, or 0 with *size cut for "short". */
static int fire(struct dev* d, snd_pcm_uframes_t* size) {
  const uint64_t p = d->io.period_size;
  for (int i = 0; i < d->events; i++) {
    const int k = d->kind[i];
    if (k < 0 || d->frame < d->period[i] * p) continue;
    d->kind[i] = -1;
    while (k == HANG) pause();
    d->asleep = k == ASLEEP;
    d->dead |= k == DEAD;
    if (kinds[k].sticky) d->sticky = kinds[k].error;
    if (kinds[k].state != SND_PCM_STATE_RUNNING) {
      d->frame = (d->frame / p + 1) * p;
      snd_pcm_ioplug_set_state(&d->io, kinds[k].state);
    }
    d->cut = kinds[k].error == 0 && *size > 1;
    *size -= d->cut ? *size / 2 : 0;
    return kinds[k].error;
  }
  return 0;
}

static snd_pcm_sframes_t dev_transfer(snd_pcm_ioplug_t* io,
                                      const snd_pcm_channel_area_t* areas,
                                      snd_pcm_uframes_t offset,
                                      snd_pcm_uframes_t size) {
  struct dev* d = io->private_data;
  /* alsa-lib goes on with the rest of a read that came back short; an
   * error there makes the read return what it has. */
  if (d->cut && (d->cut = 0, offset != 0)) return -EAGAIN;
  const int error = d->sticky ? d->sticky : fire(d, &size);
  if (error) return error;
  const uint64_t captured =
      d->startFrame + (now_ns() - d->startNs) * io->rate / 1000000000u;
  if (d->paced && captured > d->frame + io->buffer_size) {
    d->frame = captured;
    return snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN), -EPIPE;
  }
  const uint64_t due =
      d->startNs + (d->frame + size - d->startFrame) * 1000000000u / io->rate;
  const struct timespec t = {(time_t)(due / 1000000000u),
                             (long)(due % 1000000000u)};
  if (d->paced) clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL);
  const int width = snd_pcm_format_physical_width(io->format) / 8;
  for (unsigned int c = 0; c < io->channels; c++) {
    for (snd_pcm_uframes_t i = 0; i < size; i++) {
      uint8_t* s = (uint8_t*)areas[c].addr +
                   (areas[c].first + (offset + i) * areas[c].step) / 8;
      const uint32_t v = (uint32_t)((2 * (d->frame + i) + c) * 40503u);
      for (int b = 0; b < width; b++) s[b] = (uint8_t)(v >> 8 * b);
    }
  }
  d->frame += size;
  d->handed += size;
  return (snd_pcm_sframes_t)size;
}

static int dev_close(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  close(d->pipe[0]);
  close(d->pipe[1]);
  return free(d), 0;
}

static const snd_pcm_ioplug_callback_t callbacks = {.start = dev_start,
                                                    .stop = dev_stop,
                                                    .drain = dev_drain,
                                                    .pointer = dev_pointer,
                                                    .transfer = dev_transfer,
                                                    .close = dev_close,
                                                    .prepare = dev_prepare,
                                                    .resume = dev_resume};

static int parse_events(struct dev* d, const char* text) {
  unsigned long k;
  char name[16];
  int used, kind;
  while (sscanf(text, "%lu:%15[a-z]%n", &k, name, &used) == 2) {
    kind = (int)(sizeof kinds / sizeof kinds[0]);
    while (--kind >= 0 && strcmp(kinds[kind].name, name)) {
    }
    if (kind < 0 || d->events == EVENTS) return -EINVAL;
    d->kind[d->events] = kind;
    d->period[d->events++] = k;
    text += used + (text[used] == ',');
  }
  return *text ? -EINVAL : 0;
}

/* Periods are limited in bytes: `period` frames of two channels. */
static int constrain(snd_pcm_ioplug_t* io, int interleaved, const char* format,
                     long rate, long period) {
  static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                        SND_PCM_ACCESS_RW_NONINTERLEAVED};
  unsigned int formats[] = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE};
  if (format) formats[0] = (unsigned int)snd_pcm_format_value(format);
  const long bytes = period * snd_pcm_format_physical_width(formats[0]) / 4;
  int err =
      snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS,
                                    interleaved ? 1 : 2, access);
  if (!err)
    err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT,
                                        format ? 1 : 2, formats);
  if (!err && rate)
    err =
        snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, rate, rate);
  if (!err && period)
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                          bytes, bytes);
  return err;
}

SND_PCM_PLUGIN_DEFINE_FUNC(zelktest) {
  const char *format = NULL, *events = "", *access = "", *drain = "";
  long rate = 0, period = 0;
  int err = 0;
  struct dev* d = calloc(1, sizeof *d);
  if (!d || pipe(d->pipe) < 0 || write(d->pipe[1], "", 1) != 1) return -EIO;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id = "";
    snd_config_get_id(n, &id);
    if (!strcmp(id, "paced")) err = d->paced = snd_config_get_bool(n);
    if (!strcmp(id, "format")) err = snd_config_get_string(n, &format);
    if (!strcmp(id, "rate")) err = snd_config_get_integer(n, &rate);
    if (!strcmp(id, "period")) err = snd_config_get_integer(n, &period);
    if (!strcmp(id, "events")) err = snd_config_get_string(n, &events);
    if (!strcmp(id, "access")) err = snd_config_get_string(n, &access);
    if (!strcmp(id, "drain")) err = snd_config_get_string(n, &drain);
    if (err < 0) return err;
  }
  d->interleaved = !strcmp(access, "interleaved");
  d->hangs = !strcmp(drain, "hang");
  if ((*access && !d->interleaved) || (*drain && !d->hangs)) return -EINVAL;
  d->io = (snd_pcm_ioplug_t){.version = SND_PCM_IOPLUG_VERSION,
                             .name = "zelk test capture device",
                             .callback = &callbacks,
                             .private_data = d,
                             .poll_fd = d->pipe[0],
                             .poll_events = POLLIN};
  if ((err = parse_events(d, events)) < 0 ||
      (err = snd_pcm_ioplug_create(&d->io, name, stream, mode)) < 0)
    return err;
  if ((err = constrain(&d->io, d->interleaved, format, rate, period)) < 0) {
    snd_pcm_ioplug_delete(&d->io);
    return err;
  }
  *pcmp = d->io.pcm;
  return (void)root, 0;
}

SND_PCM_PLUGIN_SYMBOL(zelktest)
