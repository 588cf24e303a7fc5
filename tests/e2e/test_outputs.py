"""The output files during the take: on storage at least once a second, a
file removed or cut short ends the take at once, a stream ends on a whole
frame however the take ends."""
import fcntl
import os
import shutil
import select
import signal
import subprocess
from subprocess import PIPE
import time
import unittest

from harness import Case, PERIOD, failing, header, ramp

P = PERIOD


def planned(seconds, rate):
    return -(-seconds * rate // P) * P


class DuringTake(Case):
    def setUp(self):
        super().setUp()
        self.devices('pcm.dev { type zelktest paced true }')

    def mount(self, image, folder, *options):
        os.mkdir(folder)
        if subprocess.run(['mount', '-o', ','.join(('loop',) + options), image, folder],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest('no loop device')
        self.addCleanup(subprocess.run, ['umount', '-l', folder])

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which('mkfs.ext4') and
                         shutil.which('e2fsck'), 'needs root and e2fsprogs')
    def test_a_power_loss_keeps_all_but_the_last_second(self):
        image, copy = self.path('disk'), self.path('copy')
        self.write('disk', b'')
        os.truncate(image, 32 << 20)
        subprocess.run(['mkfs.ext4', '-q', image], check=True)
        self.mount(image, self.path('m'))
        process = self.start('2496', '5', 'dev', 's', 'm/a.wav')
        self.wait_for_status_lines(process, 24)
        time.sleep(1.5)
        shutil.copyfile(image, copy)  # the disk as the power cut leaves it
        process.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(process).code, -signal.SIGINT)
        self.assertLess(subprocess.run(['e2fsck', '-fy', copy], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL).returncode, 4)
        self.mount(copy, self.path('c'), 'ro')
        got = self.read('c/a.wav')
        self.assertEqual(got[:44], header(96000, 3, 2, planned(5, 96000)))
        self.assertTrue(got[44:44 + 6 * 24 * P] == ramp(0, 24 * P, 3, (0, 1)), len(got))

    def test_a_removed_or_cut_file_ends_the_take_at_once_and_a_new_name_changes_nothing(self):
        # (change, file changed, seconds, the file's new name or the failure)
        for change, name, seconds, outcome in [
                (os.remove, 'a.wav', '60', 'Removed during the take'),
                (lambda path: os.truncate(path, 0), 'b.wav', '60', 'Cut short during the take'),
                (lambda path: os.rename(path, self.path('c.wav')), 'a.wav', '1.5', 'c.wav'),
                (lambda path: os.link(path, self.path('c.wav')), 'b.wav', '1.5', 'b.wav')]:
            with self.subTest(outcome=outcome):
                self.clean()
                process = self.start('1644', seconds, 'dev', '2', 'a.wav', 'b.wav')
                self.wait_for_status_lines(process, 5)
                change(self.path(name))
                changed = time.monotonic()
                r = self.finish(process, timeout=5)
                files = {'a.wav': 0, 'b.wav': 1}
                if outcome.endswith('.wav'):
                    self.assertEqual((r.err, r.code), ('', 0), r)
                    files[outcome] = files.pop(name)
                else:
                    self.assertLess(time.monotonic() - changed, 2)
                    self.assertEqual((r.err, r.code), ("\nCan't write %s: %s\n" % (name, outcome),
                                                       1), r)
                    del files[name]
                    # The file cut short has a hole where its header was: it is written again.
                    if os.path.exists(self.path(name)):
                        got = self.read(name)
                        self.assertEqual(got[:44], header(44100, 2, 1, (len(got) - 44) // 2))
                for kept, channel in files.items():  # mended, or whole
                    frames = (len(self.read(kept)) - 44) // 2
                    self.assertGreaterEqual(frames, 5 * P)
                    self.assertTake(kept, 44100, 2, 1, ramp(0, frames, 2, (channel,)))

    def test_a_sync_that_fails_during_the_take_fails_it(self):
        r = self.zelk('1644', '2', 'dev', '1', 'a.wav', env=failing('fdatasync'))
        self.assertEqual((r.err, r.code), ("\nCan't write a.wav: Input/output error\n", 1))
        frames = (len(self.read('a.wav')) - 44) // 2
        self.assertTrue(44100 // 2 <= frames < planned(2, 44100), frames)
        self.assertTake('a.wav', 44100, 2, 1, ramp(0, frames, 2))

    def test_a_stream_ended_while_its_reader_stalls_holds_whole_frames(self):
        for output in ('a.wav', '/dev/stdout'):
            with self.subTest(output=output):
                self.clean()
                # A reader that stops at once, on a pipe of two pages: the
                # header fills one, a write as large as a page not a frame.
                stdout = PIPE
                if output == 'a.wav':
                    os.mkfifo(self.path(output))
                    reader = os.open(self.path(output), os.O_RDONLY | os.O_NONBLOCK)
                else:
                    reader, stdout = os.pipe()
                fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 8192)
                process = self.start('2496', '10', 'dev', 's', output, stdout=stdout)
                if stdout != PIPE:
                    os.close(stdout)
                process.stdin.write(b'o\n')  # the name exists
                process.stdin.flush()
                select.select([reader], [], [], 30)  # the header: the take is on
                time.sleep(1)
                process.send_signal(signal.SIGINT)
                time.sleep(0.2)  # two at once may count as one
                process.send_signal(signal.SIGINT)
                self.assertEqual(self.finish(process).code, -signal.SIGINT)
                got = os.read(reader, 1 << 20)
                os.close(reader)
                frames, rest = divmod(len(got) - 44, 6)
                self.assertEqual((rest, got[:44]), (0, header(96000, 3, 2, planned(10, 96000))))
                self.assertTrue(frames > 0 and got[44:] == ramp(0, frames, 3, (0, 1)))

if __name__ == '__main__':
    unittest.main()
