/* zelktest: a capture device for the end-to-end tests (an ALSA external I/O
 * plugin) whose content is known and whose faults come when asked:
 *   pcm.dev { type zelktest
 *             paced true       # in real time, as a sound card: its
 *                              # poll descriptor wakes a reader once
 *                              # avail_min frames wait, avail is the
 *                              # truth, and a reader a buffer behind
 *                              # overruns and loses what it missed
 *                              # (unpaced: always readable, instant)
 *             format "S16_LE"  # the only format (default S16_LE, S24_3LE)
 *             rate 8000        # the only rate
 *             period 4410      # the only period, in frames (with format)
 *             access "interleaved"  # RW_INTERLEAVED only, as a sound
 *                                   # server's plugin offers (default:
 *                                   # interleaved and non-interleaved)
 *             events "3:xrun,5:short" }
 * Sample bytes of frame f, channel c: the low bytes of (2f + c) * 40503,
 * little-endian; f counts frames since the device opened, lost ones too.
 * Event K fires at the first read at or past frame K * period:
 *   xrun, suspend  the read fails and the rest of that period is lost; the
 *                  stream then needs a prepare (there is no resume)
 *   short          the read returns half of what it asked for
 *   eagain         that read fails -EAGAIN; nothing is lost
 *   eio, stall     this and every later read fail, -EIO or -EAGAIN
 *   hang           that read never returns */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <stdint.h>
#include <sys/timerfd.h>

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
             {"hang", 0, 0, SND_PCM_STATE_RUNNING}};
enum { HANG = 6 };
enum { EVENTS = 8 };

struct dev {
  snd_pcm_ioplug_t io;
  /* The poll descriptor: unpaced, a pipe kept readable, as a read is
   * always worth trying; paced, a timer that expires once avail_min
   * frames wait, or at once when the stream stops on its own. */
  int fd[2];
  int paced, interleaved, sticky, cut, running, events,
      kind[EVENTS]; /* kind -1: fired */
  unsigned long period[EVENTS];
  snd_pcm_uframes_t availMin;
  uint64_t frame, handed; /* content position; frames read since prepare */
  uint64_t startFrame, startNs;
};

static uint64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

/* Frames a paced stream has captured since it started. They arrive a
 * millisecond at a time, as from a USB card: a reader that has caught up
 * finds none and waits in poll, rather than taking them one by one. */
static uint64_t captured(const struct dev* d) {
  if (!d->running) return d->handed;
  return (now_ns() - d->startNs) / 1000000u * d->io.rate / 1000u;
}

#define NEVER UINT64_MAX

/* The paced descriptor becomes readable once `frames` are captured: at
 * once for 0, never for NEVER; what it said before is forgotten. */
static void arm(struct dev* d, uint64_t frames) {
  uint64_t ns = frames == NEVER ? 0 : 1, ticks;
  if (frames && frames != NEVER)
    ns = d->startNs + (frames * 1000u + d->io.rate - 1) / d->io.rate * 1000000u;
  const struct itimerspec t = {
      {0, 0}, {(time_t)(ns / 1000000000u), (long)(ns % 1000000000u)}};
  (void)!read(d->fd[0], &ticks, sizeof ticks);
  timerfd_settime(d->fd[0], TFD_TIMER_ABSTIME, &t, NULL);
}

/* The stream stops by itself (an overrun, a suspend); a poll sees it. */
static int halt(struct dev* d, snd_pcm_state_t state, int error) {
  snd_pcm_ioplug_set_state(&d->io, state);
  d->running = 0;
  if (d->paced) arm(d, 0);
  return error;
}

static snd_pcm_sframes_t dev_pointer(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  if (!d->paced)
    return (snd_pcm_sframes_t)((d->handed + io->period_size) % io->buffer_size);
  const uint64_t at = captured(d);
  if (at - d->handed >= io->buffer_size) {
    /* A full buffer stops a sound card: the frames nobody read are lost,
     * and so are those until the stream starts again. */
    d->frame = d->startFrame + at;
    return halt(d, SND_PCM_STATE_XRUN, -EPIPE);
  }
  return (snd_pcm_sframes_t)(at % io->buffer_size);
}

static int dev_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd,
                            unsigned int nfds, unsigned short* revents) {
  struct dev* d = io->private_data;
  *revents = nfds ? pfd->revents : 0;
  if (!d->paced || !(*revents & POLLIN)) return 0;
  if (io->state == SND_PCM_STATE_RUNNING) {
    /* Reads leave the descriptor as it was, which saves them two system
     * calls each: it is set again here when it woke the reader too soon. */
    if (captured(d) - d->handed < d->availMin) {
      arm(d, d->handed + d->availMin);
      *revents = 0;
    }
  } else if (io->state != SND_PCM_STATE_PREPARED) {
    *revents |= POLLERR; /* as the kernel says of a stopped stream */
  }
  return 0;
}

static int dev_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  struct dev* d = io->private_data;
  snd_pcm_uframes_t frames = 0;
  snd_pcm_sw_params_get_avail_min(params, &frames);
  d->availMin = frames ? frames : 1;
  return 0;
}

static int dev_start(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  d->startNs = now_ns();
  d->startFrame = d->frame;
  d->running = !d->sticky;
  if (d->paced && d->running) arm(d, d->availMin);
  return d->sticky;
}

static int dev_stop(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  d->running = 0;
  if (d->paced) arm(d, NEVER);
  return 0;
}

static int dev_prepare(snd_pcm_ioplug_t* io) {
  struct dev* d = io->private_data;
  d->handed = d->cut = 0;
  if (!d->availMin) d->availMin = io->period_size;
  dev_stop(io);
  return d->sticky;
}

/* Fires the first event due: its error, or 0 with *size cut for "short". */
static int fire(struct dev* d, snd_pcm_uframes_t* size) {
  const uint64_t p = d->io.period_size;
  for (int i = 0; i < d->events; i++) {
    const int k = d->kind[i];
    if (k < 0 || d->frame < d->period[i] * p) continue;
    d->kind[i] = -1;
    while (k == HANG) pause();
    if (kinds[k].sticky) d->sticky = kinds[k].error;
    if (kinds[k].state != SND_PCM_STATE_RUNNING) {
      d->frame = (d->frame / p + 1) * p;
      halt(d, kinds[k].state, 0);
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
  close(d->fd[0]);
  if (d->fd[1] >= 0) close(d->fd[1]);
  return free(d), 0;
}

static const snd_pcm_ioplug_callback_t callbacks = {
    .start = dev_start,
    .stop = dev_stop,
    .pointer = dev_pointer,
    .transfer = dev_transfer,
    .close = dev_close,
    .prepare = dev_prepare,
    .sw_params = dev_sw_params,
    .poll_revents = dev_poll_revents};

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
  int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS,
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
  const char *format = NULL, *events = "", *access = "";
  long rate = 0, period = 0;
  int err = 0;
  struct dev* d = calloc(1, sizeof *d);
  if (!d) return -ENOMEM;
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
    if (err < 0) return err;
  }
  d->interleaved = !strcmp(access, "interleaved");
  if (*access && !d->interleaved) return -EINVAL;
  d->fd[0] = d->fd[1] = -1;
  if (d->paced)
    d->fd[0] = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
  else if (pipe(d->fd) < 0 || write(d->fd[1], "", 1) != 1)
    return -EIO;
  if (d->fd[0] < 0) return -EIO;
  d->io = (snd_pcm_ioplug_t){.version = SND_PCM_IOPLUG_VERSION,
                             .name = "zelk test capture device",
                             .callback = &callbacks,
                             .private_data = d,
                             .poll_fd = d->fd[0],
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
