"""How takes end other than complete: a signal, a lost console, a refused
start, a device that reports frames it never delivered; and where the
console goes when it is not a terminal."""
import os
import signal
import time
import unittest

from harness import Case, EMULATOR, FILES, NOBODY, PERIOD, failing, header, ramp
from test_command_line import prompt

P = PERIOD


class Signals(Case):
    def test_a_signal_leaves_headers_that_state_what_the_files_hold(self):
        self.devices('pcm.dev { type zelktest paced true }')
        modes = [('1644', 44100, 2, '1'), ('2448', 48000, 3, '2'), ('2496', 96000, 3, 's')]
        # Every signal that ends a process by default and can be caught.
        for n, number in enumerate([signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                                    signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGPWR,
                                    signal.SIGXCPU, signal.SIGVTALRM, signal.SIGPROF] +
                                   # qemu keeps some real-time signals for itself
                                   [signal.SIGRTMIN + 3] * (not EMULATOR)):
            code, rate, width, mode = modes[n % 3]
            with self.subTest(signal=number):
                self.clean()
                process = self.start(code, '5', 'dev', mode, 'a.wav', 'b.wav',
                                     limits={'CORE': 0})
                self.wait_for_status_lines(process, 3)
                process.send_signal(number)
                self.assertEqual(self.finish(process).code, -number)
                for name, channels in FILES[mode]:
                    frames = (len(self.read(name)) - 44) // (width * len(channels))
                    self.assertGreaterEqual(frames, 3 * P)
                    self.assertTake(name, rate, width, len(channels),
                                    ramp(0, frames, width, channels))

    def test_an_ignored_hangup_or_a_lost_console_changes_nothing(self):
        self.devices('pcm.dev { type zelktest paced true }')
        process = self.start('1644', '0.5', 'dev', '1', 'a.wav', ignore=[signal.SIGHUP])
        self.wait_for_status_lines(process, 1)
        process.send_signal(signal.SIGHUP)
        process.stdout.close()  # as `| head -c 10` does
        self.assertEqual((process.wait(10), process.stderr.read()), (0, b''))
        self.assertTake('a.wav', 44100, 2, 1, ramp(0, 6 * P, 2))


class RefusedStarts(Case):
    def test_a_file_in_another_take_is_refused_and_left_alone(self):
        self.devices('pcm.dev { type zelktest paced true }')
        first = self.start('1644', '1', 'dev', '1', 'same.wav')
        self.wait_for_status_lines(first, 1)
        r = self.zelk('1644', '1', 'dev', '1', 'same.wav', stdin='o')
        self.assertEqual((r.out, r.code), (prompt('same.wav') +
                                           "Can't open same.wav for recording\n", 1))
        self.assertEqual(self.finish(first).code, 0)
        self.assertTake('same.wav', 44100, 2, 1, ramp(0, 11 * P, 2))

    def test_a_refused_start_leaves_the_folder_as_it_found_it(self):
        root = os.geteuid() == 0  # not so in a package build
        for names, stdin, out, err, user in [
                (('keep.wav', '/nonexistent/b.wav'), 'o',
                 prompt('keep.wav') + "Can't open /nonexistent/b.wav for recording\n",
                 'zelk: /nonexistent/b.wav: No such file or directory\n', None),
                (('new.wav', '/dev/full'), 'o',
                 prompt('/dev/full'), "Can't write /dev/full: No space left on device\n", None),
                (('link.wav', 'a.wav'), '', 'Improper file name request\n', '', None),
                (('a.wav', 'link.wav'), '', 'Improper file name request\n', '', None),
                (('wo.wav', 'b.wav'), 'x', prompt('wo.wav'), '', NOBODY)]:
            with self.subTest(names=names):
                if user is not None and not root:
                    self.skipTest('only root can run zelk as another user')
                self.clean()
                self.write('keep.wav', 'keep')
                self.write('wo.wav', 'keep')
                if root:  # write-only to the user who runs zelk
                    os.chown(self.path('wo.wav'), NOBODY, NOBODY)
                    os.chmod(self.path('wo.wav'), 0o200)
                os.symlink('a.wav', self.path('link.wav'))
                before = sorted(set(os.listdir(self.dir)) - {'.zelk'})
                r = self.zelk('1644', '0.1', 'null', '2', *names, stdin=stdin, user=user)
                self.assertEqual((r.out, r.err, r.code), (out, err, 1))
                self.assertEqual(sorted(set(os.listdir(self.dir)) - {'.zelk'}), before)
                self.assertEqual(self.read('keep.wav'), b'keep')
                self.assertEqual(self.read('wo.wav'), b'keep')


class ShortOfResources(Case):
    @unittest.skipIf(EMULATOR, "the limits would count the emulator's own threads and files")
    def test_a_start_short_of_threads_or_descriptors_leaves_no_file(self):
        self.devices('pcm.dev { type zelktest paced true }')
        root = os.geteuid() == 0
        # The paced test device holds one descriptor; `null`, which the
        # other user can reach wherever the build is, none.
        for device, limits, user, out, err in [
                ('dev', {'NOFILE': 4}, None, '',
                 "Can't start the recording threads: Too many open files\n"),
                ('dev', {'NOFILE': 5}, None, "Can't open a.wav for recording\n",
                 'zelk: a.wav: Too many open files\n'),
                # Threads count against a user's processes.
                ('null', {'NPROC': 2}, NOBODY, '',
                 "Can't start the recording threads: Resource temporarily unavailable\n")]:
            with self.subTest(limits=limits):
                if user is not None and not root:
                    self.skipTest('only root can run zelk as another user')
                self.clean()
                started = time.monotonic()
                r = self.zelk('2496', '5', device, 's', 'a.wav', limits=limits, user=user)
                self.assertLess(time.monotonic() - started, 5)  # not the stall rule's 10
                self.assertEqual((r.out, r.err, r.code), (out, err, 1))
                self.assertEqual(sorted(set(os.listdir(self.dir)) - {'.zelk'}), ['.asoundrc'])


class Endings(Case):
    def test_a_file_system_without_locks_records_unlocked(self):
        r = self.zelk('1644', '0.1', 'null', '1', 'a.wav', env=failing('flock'))
        self.assertEqual((r.err, r.code), ('', 0))
        self.assertTake('a.wav', 44100, 2, 1, bytes(4 * P))

    def test_a_signal_while_an_output_waits_for_its_reader_leaves_the_folder(self):
        self.devices('pcm.dev { type zelktest paced true }')
        os.mkfifo(self.path('f'))
        process = self.start('1644', '1', 'dev', '2', 'a.wav', 'f')
        process.stdin.write(b'o\n')
        process.stdin.flush()
        while not os.path.exists(self.path('a.wav')):
            time.sleep(0.05)
        time.sleep(0.2)
        process.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(process).code, -signal.SIGINT)
        self.assertEqual(sorted(os.listdir(self.dir)), ['.asoundrc', 'f'])


class Console(Case):
    def test_closed_standard_streams_never_reach_a_file(self):
        self.devices('pcm.dev { type zelktest events "2:eio" }')
        for closed, device, code in [((0, 1), 'null', 0), ((1,), 'dev', 1), ((2,), 'dev', 1)]:
            with self.subTest(closed=closed):
                self.clean()
                process = self.start('1644', '0.3', device, '1', 'a.wav', close=closed)
                process.wait(30)
                self.assertEqual(process.returncode, code)
                self.assertTake('a.wav', 44100, 2, 1,
                                bytes(8 * P) if code == 0 else ramp(0, 2 * P, 2))

    def test_a_take_to_standard_output_is_the_whole_stream(self):
        self.devices('pcm.dev { type zelktest }')
        for mode, code, rate, width, channels in [('1', '1648', 48000, 2, (0,)),
                                                  ('s', '2444', 44100, 3, (0, 1))]:
            with self.subTest(mode=mode):
                r = self.zelk(code, '0.2', 'dev', mode, '/dev/stdout', stdin='o')
                frames = 3 * P
                self.assertEqual(r.out.encode('latin-1'), header(rate, width, len(channels), frames)
                                 + ramp(0, frames, width, channels))
                self.assertTrue(r.err.startswith(prompt('/dev/stdout') + 'Recording'), r)
                self.assertTrue(r.err.endswith('dBFS\nDone\n'), r)
                self.assertEqual(r.code, 0)


if __name__ == '__main__':
    unittest.main()
