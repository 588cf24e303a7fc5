"""The command line: refusals, accepted forms, the overwrite prompt and the
names zelk makes up."""
import hashlib
import os
import unittest

from harness import Case, PERIOD, ramp, seconds_since_2012

# The usage text, 33 lines from "\nZelk 2.02 (2f) by Tervane\n" on, as its digest.
USAGE = '75ef44a6f9a847701d20b95faf11b1bc45b6ae2cd4d633a66467cf327cbfe403'
FORMAT, DURATION = 'Improper format request\n', 'Improper duration request\n'
NAMES = 'Improper file name request\n'
ONE_NAME = '2 channels were requested, but on1y 1 filename was entered!\n'


def prompt(name):
    return "\nFile %s already exists!\nEnter 'x' to exit or 'o' to overwrite\n" % name


class Refusals(Case):
    # Which refusal the line earns is read in process (request_test.cpp,
    # record_test.cpp; Prompt tells the names' refusals): here, that the
    # binary tells one, and the last once the device's period is known.
    def test_each_refusal_is_one_line_on_standard_output(self):
        for args, out in [
                ((), USAGE), (('1644',), USAGE), (('1645', '1'), FORMAT),
                (('2496', '7457', 'null', 's', 'a.wav'), DURATION)]:
            with self.subTest(args=args):
                r = self.zelk(*args)
                if out == USAGE:
                    r.out = hashlib.sha256(r.out.encode()).hexdigest()
                self.assertEqual((r.out, r.err, r.code), (out, '', 1))
                self.assertEqual(os.listdir(self.dir), ['.asoundrc'])


class Accepted(Case):
    def test_arguments_choose_format_length_mode_and_files(self):
        self.devices('pcm.!default { type zelktest }')
        for args, rate, width, channels, periods, files in [
                (('1644', '6s', 'null', '1x', 'a.wav'), 44100, 2, 1, 65, 'a'),
                (('2448', '0.5', 'null', ' 2', 'a.wav', 'b.wav', 'c.wav'), 48000, 3, 1, 6, 'ab'),
                (('1688', '0.1', 'null', '+2', 'a.wav', 'b.wav'), 88200, 2, 1, 3, 'ab'),
                (('1696', '0.01', 'null', '02', 'a.wav', 'b.wav'), 96000, 2, 1, 1, 'ab'),
                (('1644', '0.01', 'd', '1', 'a.wav', 'b.wav'), 44100, 2, 1, 1, 'a')]:
            with self.subTest(args=args):
                self.clean()
                self.assertEqual(self.zelk(*args).code, 0)
                names = [name + '.wav' for name in files]
                self.assertEqual(sorted(os.listdir(self.dir)), ['.asoundrc'] + names)
                for name in names:
                    self.assertTake(name, rate, width, channels, ramp(
                        None if args[2] == 'null' else 0, periods * PERIOD, width, range(channels)))


class Prompt(Case):
    def test_existing_files_are_asked_about_in_order(self):
        both = prompt('a.wav') + prompt('b.wav')
        for mode, names, stdin, out, code, kept in [
                ('1', 'ab', 'y X oooo o\n', prompt('a.wav') + 'Recording\n', 0, ['b.wav']),
                ('1', 'ab', 'x\n', prompt('a.wav'), 1, ['a.wav', 'b.wav']),
                ('1', 'ab', '', prompt('a.wav'), 1, ['a.wav', 'b.wav']),
                ('2', 'ab', 'o\nx\n', both, 1, ['a.wav', 'b.wav']),
                ('2', 'ab', 'x\n', prompt('a.wav'), 1, ['a.wav', 'b.wav']),
                ('2', 'ab', 'o o', both + 'Recording\n', 0, []),
                ('2', 'a', 'o', prompt('a.wav') + ONE_NAME, 1, ['a.wav', 'b.wav']),
                ('2', 'ah', 'o o', prompt('a.wav') + prompt('h.wav') + NAMES, 1, ['a.wav']),
                ('s', 'ab', 'o', prompt('a.wav') + 'Recording in Stereo\n', 0, ['b.wav'])]:
            with self.subTest(mode=mode, names=names, stdin=stdin):
                self.clean()
                self.write('a.wav', 'keep')
                self.write('b.wav', 'keep')
                os.link(self.path('a.wav'), self.path('h.wav'))  # one file, two names
                r = self.zelk('1644', '0.01', 'null', mode, *[n + '.wav' for n in names],
                              stdin=stdin)
                self.assertEqual((r.out[:len(out)], r.code), (out, code), r)
                if code == 1:
                    self.assertEqual(r.out, out)
                for name in kept:
                    self.assertEqual(self.read(name), b'keep', name)


class GeneratedNames(Case):
    def test_generated_names_never_replace_a_file(self):
        now = seconds_since_2012()
        taken = ['rec_chan_1_%d.wav' % n for n in range(now, now + 4)]
        taken.append('rec_chan_2_%d.wav' % (now + 4))
        for name in taken:
            self.write(name, 'keep')
        link = 'rec_chan_1_%d.wav' % (now + 5)
        os.symlink('elsewhere.wav', self.path(link))
        r = self.zelk('1644', '0.01', 'null', '2')
        self.assertEqual(r.code, 0, r)
        for name in taken:
            self.assertEqual(self.read(name), b'keep')
        made = sorted(set(os.listdir(self.dir)) - set(taken) - {link, '.asoundrc'})
        self.assertEqual(len(made), 2, made)
        number = int(made[0].split('_')[3][:-4])
        self.assertGreater(number, now + 5)
        self.assertEqual(made, ['rec_chan_1_%d.wav' % number, 'rec_chan_2_%d.wav' % number])
        self.assertEqual(len(self.read(made[0])), 44 + 2 * PERIOD)
        # Stereo: one file, for channel 1, of two channels.
        self.assertEqual(self.zelk('2496', '0.01', 'null', 's').code, 0)
        stereo = set(os.listdir(self.dir)) - set(taken) - set(made) - {link, '.asoundrc'}
        self.assertEqual(len(stereo), 1, stereo)
        name = stereo.pop()
        self.assertTrue(name.startswith('rec_chan_1_'), name)
        self.assertTake(name, 96000, 3, 2, bytes(6 * PERIOD))


if __name__ == '__main__':
    unittest.main()
