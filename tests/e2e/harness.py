"""Runs the real zelk binary in a folder of its own, whose .asoundrc defines
the capture devices, and predicts what it writes."""
import ctypes
import os
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

ZELK, TESTDEV, FAILCALL = (os.environ['ZELK_' + name] for name in ('BINARY', 'TESTDEV', 'FAILCALL'))
SANITIZED = os.environ.get('ZELK_SANITIZE') == '1'
EMULATOR = os.environ.get('ZELK_EMULATOR')  # a cross build's
PERIOD = 4096
# By channel argument: the files of a take into a.wav (b.wav), their channels.
FILES = {'1': [('a.wav', (0,))], 's': [('a.wav', (0, 1))],
         '2': [('a.wav', (0,)), ('b.wav', (1,))]}
NOBODY = 65534


class Result:
    def __init__(self, out, err, code):
        self.out, self.err, self.code = out, err, code

    def __repr__(self):
        return 'exit %r\nstdout %r\nstderr %r' % (self.code, self.out[-2000:], self.err[-2000:])


def header(rate, width, channels, frames):
    """The 44 bytes of a PCM WAV file of `frames` frames."""
    block = width * channels
    return (b'RIFF' + struct.pack('<I', frames * block + 36) + b'WAVEfmt ' +
            struct.pack('<IHHIIHH', 16, 1, channels, rate, rate * block, block, 8 * width) +
            b'data' + struct.pack('<I', frames * block))


def ramp(first, count, width, channels=(0,)):
    """The test device's frames [first, first + count) of the given input
    channels, interleaved; silence where `first` is None."""
    if first is None:
        return bytes(count * width * len(channels))
    return b''.join(((2 * f + c) * 40503 % (1 << 8 * width)).to_bytes(width, 'little')
                    for f in range(first, first + count) for c in channels)


def read_wav(path):
    """(channels, rate, samples) as libsndfile reads the file, the samples
    scaled to 32 bits as it gives them."""
    info = (ctypes.c_int64 * 4)()  # frames, then rate, channels, format...
    lib = ctypes.CDLL('libsndfile.so.1')
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_read_int.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    lib.sf_close.argtypes = [ctypes.c_void_p]
    handle = lib.sf_open(path.encode(), 0x10, info)
    rate, channels = struct.unpack('<ii', bytes(info)[8:16])
    samples = (ctypes.c_int * (info[0] * channels))()
    lib.sf_read_int(handle, samples, len(samples))
    lib.sf_close(handle)
    return channels, rate, list(samples)


class Case(unittest.TestCase):
    maxDiff = 4000

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='zelk-')
        os.chmod(self.dir, 0o777)  # for the runs as an unprivileged user
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.devices('')

    def devices(self, text):
        self.write('.asoundrc', 'pcm_type.zelktest { lib "%s" }\n%s\n' % (TESTDEV, text))

    def feed(self, data):
        """The device `feed` captures `data`, raw, then silence."""
        self.write('.raw', data)
        self.devices('pcm.feed { type file slave.pcm null file "/dev/null" infile "%s" '
                     'format raw }' % self.path('.raw'))

    def clean(self):
        for name in set(os.listdir(self.dir)) - {'.asoundrc', '.raw', '.zelk'}:
            os.remove(self.path(name))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), 'wb' if isinstance(data, bytes) else 'w') as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), 'rb') as f:
            return f.read()

    def start(self, *args, env=(), user=None, limits=(), ignore=(),
              stdout=subprocess.PIPE, close=()):
        def child():  # every signal at its default action, unless ignored here
            for number in ignore:
                signal.signal(number, signal.SIG_IGN)
            for fd in close:
                os.close(fd)
            for name, value in dict(limits).items():
                resource.setrlimit(getattr(resource, 'RLIMIT_' + name), (value, value))
            if user is not None:
                os.setgid(user)
                os.setuid(user)
        program = ZELK
        if user is not None:  # the build folder may be closed to that user
            program = shutil.copy(program, self.path('.zelk'))
        command = [EMULATOR] * bool(EMULATOR) + [program] + list(args)
        process = subprocess.Popen(command, cwd=self.dir, stdin=subprocess.PIPE,
                                   env=dict(os.environ, HOME=self.dir, LANG='C', **dict(env)),
                                   stdout=stdout, stderr=subprocess.PIPE, preexec_fn=child)
        self.addCleanup(process.kill)  # a run that hangs must not outlive its test
        return process

    def finish(self, process, stdin='', timeout=60):
        out, err = process.communicate(stdin.encode(), timeout=timeout)
        return Result((out or b'').decode('latin-1'), err.decode('latin-1'), process.returncode)

    def zelk(self, *args, stdin='', timeout=60, **options):
        return self.finish(self.start(*args, **options), stdin, timeout)

    def wait_for_status_lines(self, process, count):
        seen = b''
        while seen.count(b'\rrem') < count:
            chunk = os.read(process.stdout.fileno(), 4096)
            self.assertTrue(chunk, seen)
            seen += chunk

    def assertTake(self, name, rate, width, channels, data):
        """The file holds a header for `data`, then `data`, and libsndfile
        reads the same."""
        got = self.read(name)
        want = header(rate, width, channels, len(data) // (width * channels)) + data
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        self.assertEqual((len(got), got[at:at + 12]), (len(want), want[at:at + 12]), 'at %d' % at)
        self.assertEqual(read_wav(self.path(name)), (channels, rate, [
            int.from_bytes(data[i:i + width], 'little', signed=True) << (32 - 8 * width)
            for i in range(0, len(data), width)]))


def failing(call):
    """The environment in which `call` fails as failcall.c makes it."""
    return {'LD_PRELOAD': FAILCALL, 'ZELK_FAIL': call, 'ASAN_OPTIONS': 'verify_asan_link_order=0'}


def seconds_since_2012():
    return int(time.time()) - 1349885340
