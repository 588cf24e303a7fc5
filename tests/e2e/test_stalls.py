"""Takes around which something stops: a console or a disk that takes
nothing for seconds, a device whose read never returns, a take asked twice
to end. Capture goes on, and the files hold exactly what the device gave."""
import fcntl
import os
import re
import signal
import subprocess
import threading
import time
import unittest

from harness import Case, EMULATOR, PERIOD, ramp

P = PERIOD
FRAMES = 71 * P  # 3 s at 96000 Hz, in whole periods


class StallCase(Case):
    def setUp(self):
        super().setUp()
        self.devices('pcm.dev { type zelktest paced true }')

    def assertWhole(self, out, code=0):
        """A paced 24/96 stereo take of 3 s: complete, nothing lost."""
        self.assertEqual(code, 0, out[-500:])
        self.assertNotIn('RX', out)
        self.assertNotIn('Overruns', out)
        self.assertTrue(out.startswith('Recording in Stereo\n'), out[:100])
        self.assertTrue(out.endswith('dBFS\nDone\n'), out[-200:])
        self.assertTake('a.wav', 96000, 3, 2, ramp(0, FRAMES, 3, (0, 1)))

class Stalls(StallCase):
    def test_an_unread_pipe_holds_up_nothing_and_the_files_are_done_first(self):
        reader, writer = os.pipe()
        fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, 4096)
        process = self.start('2496', '3', 'dev', 's', 'a.wav', stdout=writer)
        os.close(writer)
        # Nobody reads: the files are complete and closed all the same.
        deadline = time.monotonic() + 30
        while not os.path.exists(self.path('a.wav')) or \
                os.path.getsize(self.path('a.wav')) < 44 + 6 * FRAMES:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.1)
        time.sleep(0.5)
        self.assertIsNone(process.poll())  # still waiting for its console
        with os.fdopen(reader, 'rb') as console:  # until the process ends
            self.assertWhole(console.read().decode(), self.finish(process).code)

    def test_the_first_of_two_signals_decides_and_the_files_hold_what_came(self):
        # Sent together, the lower number is delivered first; apart, the
        # first sent.
        for first, second, gap in [(signal.SIGINT, signal.SIGTERM, 0),
                                   (signal.SIGTERM, signal.SIGINT, 0.02),
                                   (signal.SIGUSR1, signal.SIGHUP, 0.02)] + \
                                  [(signal.SIGHUP, signal.SIGUSR1, 0)] * 5:
            with self.subTest(first=first, second=second):
                self.clean()
                process = self.start('2496', '3', 'dev', 's', 'a.wav')
                self.wait_for_status_lines(process, 3)
                # From a shell, as a user or a script would send them.
                subprocess.run(['sh', '-c', 'kill -%d %d; %s kill -%d %d' % (
                    first, process.pid, 'sleep %s;' % gap if gap else '', second,
                    process.pid)], check=True)
                self.assertEqual(self.finish(process).code, -first)
                frames = (len(self.read('a.wav')) - 44) // 6
                self.assertGreaterEqual(frames, 3 * P)
                self.assertTake('a.wav', 96000, 3, 2, ramp(0, frames, 3, (0, 1)))


class LongStalls(StallCase):
    """The stalls that take ten seconds or more, beside the others."""

    def test_a_disk_that_stalls_longer_than_the_memory_says_what_was_lost(self):
        # Into a FIFO whose reader stops for 13 s, as a frozen file system
        # would: 3 s past the memory.
        os.mkfifo(self.path('a.wav'))
        process = self.start('2496', '15', 'dev', 's', 'a.wav')
        data = []

        def read():
            with open(self.path('a.wav'), 'rb') as fifo:
                data.append(fifo.read(100000))
                time.sleep(13)
                data.append(fifo.read())
        thread = threading.Thread(target=read)
        thread.start()
        r = self.finish(process, stdin='o')
        thread.join(30)
        self.assertEqual((r.code, r.out.count('\nRX\n')), (0, 1), r)
        said = re.fullmatch(r'zelk: (\d+\.\d\d) s of the take were not captured\n', r.err)
        self.assertTrue(said, r)
        # Each frame of the device's content says which it is (channel 1's
        # sample is 2f x 40503); channel 2's is odd, so never 0 but in silence.
        wav = b''.join(data)[44:]
        inverse = pow(40503, -1, 1 << 23)
        index = [(int.from_bytes(wav[i:i + 3], 'little') >> 1) * inverse % (1 << 23)
                 for i in range(0, len(wav), 6) if wav[i + 3:i + 6] != bytes(3)]
        missing = sum((b - a - 1) % (1 << 23) for a, b in zip(index, index[1:]))
        self.assertAlmostEqual(float(said.group(1)), missing / 96000, delta=P / 96000 + 0.01)

    def test_a_device_whose_read_never_returns_ends_the_take(self):
        self.devices('pcm.dev { type zelktest events "2:hang" }')
        r = self.zelk('1644', '1', 'dev', '2', 'a.wav', 'b.wav')
        self.assertEqual((r.err, r.code), ('\nunable to read from pcm record device: '
                                           'Resource temporarily unavailable\n', 1))
        self.assertTake('a.wav', 44100, 2, 1, ramp(0, 2 * P, 2, (0,)))
        self.assertTake('b.wav', 44100, 2, 1, ramp(0, 2 * P, 2, (1,)))

    def test_a_device_that_only_says_try_again_ends_the_take(self):
        self.devices('pcm.dev { type zelktest events "1:short,1:stall" }')
        r = self.zelk('1644', '0.3', 'dev', '1', 'a.wav')
        self.assertEqual((r.err, r.code), ('\nunable to read from pcm record device: '
                                           'Resource temporarily unavailable\n', 1))
        self.assertNotIn('RX', r.out)
        # What it gave before, the half period too, is kept.
        self.assertTake('a.wav', 44100, 2, 1, ramp(0, P + P // 2, 2))



class BusyMachine(StallCase):  # alone: its loops starve whatever runs beside it
    @unittest.skipUnless(os.geteuid() == 0, 'only root may run busy loops at nice -20')
    @unittest.skipIf(EMULATOR, 'an emulated take is slower than the machine it runs on')
    def test_a_busy_machine_costs_no_audio(self):
        busy = [subprocess.Popen(['nice', '-n', '-20', 'sh', '-c', 'while :; do :; done'])
                for _ in range(os.cpu_count() or 2)]
        for loop in busy:
            self.addCleanup(loop.wait)
            self.addCleanup(loop.kill)
        process = self.start('2496', '3', 'dev', 's', 'a.wav')
        # The capture thread alone runs first-in first-out, above them all.
        deadline = time.monotonic() + 10
        while True:
            policies = []
            for task in os.listdir('/proc/%d/task' % process.pid):
                with open('/proc/%d/task/%s/stat' % (process.pid, task)) as f:
                    policies.append(int(f.read().rsplit(')', 1)[1].split()[38]))
            if policies.count(1) == 1 or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        # (a sanitizer may run a thread of its own)
        self.assertEqual((policies.count(1), len(policies) >= 4), (1, True), policies)
        # The take's capture is over by then; what is left, ordinary threads
        # may finish without the loops.
        time.sleep(3.5)
        for loop in busy:
            loop.kill()
        self.assertWhole(self.finish(process).out)


if __name__ == '__main__':
    unittest.main()
