"""Takes through a real sound server: a headless PipeWire of the class's own,
reached through ALSA's `default` and `pipewire` devices and through its
PulseAudio server (`pulse`), with a loopback whose source carries known
tones; and a server that dies mid-take."""
import math
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

from harness import Case, EMULATOR, FILES, header, read_wav

# The loopback's source: 1 kHz on the left at -6 dBFS, 3 kHz on the right at
# -12 dBFS. 48 frames hold whole cycles of both, so the file loops seamlessly.
TONES = ((1000, -6.0), (3000, -12.0))
LOOP = 'media.class=Audio/%s node.name=zelk-%s node.description=zelk-%s audio.position=[FL FR]'
DAEMONS = ('pipewire', 'wireplumber', 'pipewire-pulse')
MONITORS_LUA = ('alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n'
                'libcamera_monitor.enabled = false\n')
MONITORS_CONF = ('wireplumber.profiles = { main = { monitor.alsa = disabled '
                 'monitor.alsa-midi = disabled monitor.bluez = disabled '
                 'monitor.bluez.seat-monitoring = disabled monitor.v4l2 = disabled '
                 'monitor.libcamera = disabled } }\n')


class Server:
    """A private session bus, PipeWire, WirePlumber and PipeWire's PulseAudio
    server in one process group, in a runtime folder of their own, as root
    without rtkit, a user session or standard input."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='zelk-server-')
        self.env = {'XDG_RUNTIME_DIR': self.dir, 'XDG_CONFIG_HOME': self.dir + '/config',
                    'DBUS_SESSION_BUS_ADDRESS': 'unix:path=%s/bus' % self.dir}
        self.processes, self.group = {}, 0
        try:
            self.start()
        except BaseException:
            self.stop()
            raise

    def start(self):
        # No devices of the machine's, no seats: the tests' own source alone,
        # also where there is no sound card, logind or Bluetooth (a build
        # root). The session manager's settings, in its two formats.
        for name, text in [('main.lua.d/60-zelk.lua', MONITORS_LUA),
                           ('bluetooth.lua.d/60-zelk.lua', 'bluez_monitor.enabled = false\n'),
                           ('wireplumber.conf.d/60-zelk.conf', MONITORS_CONF)]:
            path = os.path.join(self.env['XDG_CONFIG_HOME'], 'wireplumber', name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'w') as f:
                f.write(text)
        self.run('dbus-daemon', '--session', '--nofork', '--address',
                 self.env['DBUS_SESSION_BUS_ADDRESS'])
        self.poll(lambda: os.path.exists(os.path.join(self.dir, 'bus')))
        for daemon in DAEMONS:
            self.run(daemon)
        self.run('pw-loopback', '--capture-props', LOOP % (('Sink',) + ('sink',) * 2),
                 '--playback-props', LOOP % (('Source',) + ('source',) * 2))
        cycle = b''.join(struct.pack('<hh', *(round(32767 * 10 ** (level / 20) *
                                                    math.sin(2 * math.pi * f * n / 48000))
                                              for f, level in TONES)) for n in range(48))
        with open(os.path.join(self.dir, 'tones.wav'), 'wb') as f:
            f.write(header(48000, 2, 2, 48 * 60000) + cycle * 60000)  # a minute
        self.poll(lambda: 'zelk-source' in self.ctl('list', 'short', 'sources'))
        self.ctl('set-default-source', 'zelk-source')
        self.run('pw-play', '--target', 'zelk-sink', os.path.join(self.dir, 'tones.wav'))
        self.poll(lambda: 'RUNNING' in self.ctl('list', 'short', 'sinks'))

    def run(self, *command):
        def child():
            os.setpgid(0, self.group)
        env = dict(os.environ, HOME=self.dir, XDG_STATE_HOME=self.dir + '/state', LANG='C', **self.env)
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=child)
        self.group = self.group or process.pid
        self.processes[command[0]] = process

    def ctl(self, *args):
        r = subprocess.run(('pactl',) + args, env=dict(os.environ, **self.env), timeout=5,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        return r.stdout.decode()

    def poll(self, ready, seconds=15):
        deadline = time.monotonic() + seconds
        while not ready():
            for name, process in self.processes.items():
                if process.poll() is not None:
                    raise RuntimeError('%s ended with %s' % (name, process.returncode))
            if time.monotonic() > deadline:
                raise RuntimeError('the sound server was not ready in %d s' % seconds)
            time.sleep(0.1)

    def kill(self, *names):
        for name in names:
            self.processes[name].kill()

    def stop(self):
        if self.group:
            os.killpg(self.group, signal.SIGKILL)
        for process in self.processes.values():
            process.wait()
        shutil.rmtree(self.dir, True)


def tone(samples, channels, channel, skip):
    """(cycles a frame, peak in dBFS) of one channel of libsndfile's 32-bit
    samples, from frame `skip` on. The cycle is the median distance between
    rising zero crossings: a server short of time may leave a gap in the
    stream, which changes no cycle but the one it falls in."""
    wave = samples[channel + skip * channels::channels]
    rising = [i for i, (a, b) in enumerate(zip(wave, wave[1:])) if a < 0 <= b]
    cycles = sorted(b - a for a, b in zip(rising, rising[1:]))
    return 1 / cycles[len(cycles) // 2], 20 * math.log10(max(map(abs, wave)) / 2 ** 31)


@unittest.skipUnless(shutil.which('pipewire') and shutil.which('pactl'),
                     'PipeWire is not installed (scripts/setup.sh installs it)')
@unittest.skipIf(EMULATOR, "the servers' ALSA plugins are this machine's architecture only")
@unittest.skipIf(os.environ.get('ZELK_TSAN') == '1', 'ThreadSanitizer cannot see into the '
                 "servers' client libraries, which lock with threads of their own")
class ServerCase(Case):
    @classmethod
    def setUpClass(cls):
        for name in ('PULSE_SERVER', 'PULSE_RUNTIME_PATH', 'PIPEWIRE_REMOTE',
                     'PIPEWIRE_RUNTIME_DIR', 'PIPEWIRE_NODE'):  # a desktop's own server
            os.environ.pop(name, None)
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def start(self, *args, **options):
        return super().start(*args, env=self.server.env, **options)

    def read_until(self, process, text, seconds):
        """Standard output up to `text`, which must come within `seconds`."""
        seen, deadline = b'', time.monotonic() + seconds
        while text not in seen:
            ready = select.select([process.stdout], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(process.stdout.fileno(), 4096) if ready[0] else b''
            self.assertTrue(chunk, seen[-500:])
            seen += chunk
        return seen.decode('latin-1')


class Servers(ServerCase):
    def test_takes_hold_each_tone_in_its_channel_at_its_level(self):
        for device in ('default', 'pipewire', 'pulse'):
            for code, rate, width, mode in [('1648', 48000, 2, 's'), ('2448', 48000, 3, '2'),
                                            ('1644', 44100, 2, '1')]:
                with self.subTest(device=device, code=code, mode=mode):
                    self.clean()
                    r = self.zelk(code, '0.6', device, mode, 'a.wav', 'b.wav', timeout=15)
                    self.assertEqual(r.code, 0, r)
                    self.assertTrue(r.out.endswith('Done\n'), r)
                    periods = r.out.count('\rrem')
                    reported = [float(line.split(': ')[1].split()[0])
                                for line in r.out.splitlines() if line.startswith('\tchannel')]
                    for name, inputs in FILES[mode]:
                        data = self.read(name)
                        frames = (len(data) - 44) // (width * len(inputs))
                        self.assertEqual(data[:44], header(rate, width, len(inputs), frames))
                        # the take: 0.6 s rounded up to whole periods
                        self.assertEqual(frames % periods, 0)
                        self.assertLess(frames - frames // periods, 0.6 * rate)
                        self.assertGreaterEqual(frames, 0.6 * rate)
                        channels, _, samples = read_wav(self.path(name))
                        for n, channel in enumerate(inputs):
                            frequency, level = TONES[channel]
                            got = tone(samples, channels, n, rate // 10)
                            self.assertAlmostEqual(got[0] * rate, frequency, delta=frequency / 20)
                            self.assertAlmostEqual(got[1], level, delta=0.5)
                            self.assertAlmostEqual(reported[channel], level, delta=0.5)

    def test_plug_pulse_ends_once_done(self):
        process = self.start('1648', '0.3', 'plug:pulse', '1', 'a.wav')
        self.read_until(process, b'Done\n', 15)
        self.assertEqual(self.finish(process, timeout=1).code, 0)


class ServerLost(ServerCase):
    def test_a_server_killed_mid_take_fails_it_and_keeps_what_came(self):
        process = self.start('1648', '10', 'pipewire', '1', 'a.wav')
        self.read_until(process, b'\rrem = 7.9', 10)  # 2 s in
        self.server.kill('pipewire', 'pipewire-pulse')
        killed = time.monotonic()
        r = self.finish(process, timeout=15)
        self.assertLess(time.monotonic() - killed, 5)
        self.assertEqual(r.code, 1, r)
        self.assertTrue((r.err.splitlines() or [''])[-1].startswith(
            'unable to read from pcm record device: '), r)
        data = self.read('a.wav')
        self.assertEqual(data[:44], header(48000, 2, 1, (len(data) - 44) // 2))
        _, _, samples = read_wav(self.path('a.wav'))
        last = max(i for i, sample in enumerate(samples) if sample)
        self.assertGreater(last, 48000)
        self.assertLessEqual(len(samples) - 1 - last, 48000)


if __name__ == '__main__':
    unittest.main()
