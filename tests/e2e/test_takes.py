"""Whole takes: what lands in the files in every mode, the console output,
the refusals of device set-up, and takes that meet a failing device or
disk."""
import os
import re
import struct
import subprocess
import time
import unittest

from harness import Case, FILES, PERIOD, SANITIZED, failing, ramp


class Takes(Case):
    def test_files_hold_exactly_what_the_device_gave(self):
        for code, rate, width, mode, period, frames in [
                ('1644', 44100, 2, '1', 4096, 6 * PERIOD),
                ('2444', 44100, 3, '1', 4410, 5 * 4410),  # an exact multiple
                ('1648', 48000, 2, '2', 4096, 6 * PERIOD),
                ('2496', 96000, 3, '2', 4096, 12 * PERIOD),
                ('1688', 88200, 2, 's', 4096, 11 * PERIOD),
                ('2488', 88200, 3, 's', 4096, 11 * PERIOD)]:
            outs = []
            # Interleaved reads only, as a sound server's plugin offers, or both kinds.
            for access in ('', 'access "interleaved"'):
                with self.subTest(code=code, mode=mode, access=access):
                    self.clean()
                    self.devices('pcm.dev { type zelktest format "%s" period %d %s }'
                                 % ('S16_LE' if width == 2 else 'S24_3LE', period, access))
                    r = self.zelk(code, '0.5', 'dev', mode, 'a.wav', 'b.wav')
                    self.assertEqual((r.err, r.code), ('', 0), r)
                    self.assertTrue(r.out.startswith('Recording in Stereo\n' if mode == 's'
                                                     else 'Recording\n'), r)
                    self.assertEqual(r.out.count('\rrem'), frames // period)
                    self.assertTrue(r.out.endswith('dBFS\nDone\n'), r)
                    self.assertEqual(r.out.count('\tchannel'), 1 if mode == '1' else 2)
                    for name, channels in FILES[mode]:
                        self.assertTake(name, rate, width, len(channels),
                                        ramp(0, frames, width, channels))
                    self.assertEqual(os.path.exists(self.path('b.wav')), mode == '2')
                    outs.append(r.out)
            self.assertEqual(outs[1], outs[0])


def line(rem, bars, figures):
    return '\rrem = %s sec\t -45 dB [%s] %s dB   ' % (rem, ('|' * bars).ljust(24), figures)


class StatusLine(Case):
    def feed_peaks(self, periods):
        """A device whose periods have the given (channel 1, channel 2)
        peaks, 16-bit, as one sample each."""
        raw = bytearray(4 * PERIOD * len(periods))
        for n, peaks in enumerate(periods):
            struct.pack_into('<hh', raw, 4 * (PERIOD * n + 100), *peaks)
        self.feed(bytes(raw))

    def test_status_lines_warnings_and_peak_report(self):
        self.feed_peaks([(16384, -8192), (0, 0), (-32768, 0)])
        r = self.zelk('1644', '0.2', 'feed', 's', 'a.wav')
        self.assertEqual(r.out, 'Recording in Stereo\n' +
                         line('0.19', 20, '-144.0 / -144.0') + line('0.09', 14, '-6.0 / -12.0') +
                         '\nInput Channel 1 is Peaking!\n' + line('0.00', 21, '-6.0 / -12.0') +
                         '\n\nInput Channel Peaks:\n\tchannel 1: -0.00 dBFS\n'
                         '\tchannel 2: -12.04 dBFS\nDone\n')


class DeviceSetup(Case):
    def test_refused_devices_end_the_run_before_any_file(self):
        self.devices('pcm.s16 { type zelktest format "S16_LE" }\n'
                     'pcm.slow { type zelktest rate 8000 }\n'
                     'pcm.huge { type zelktest format "S16_LE" period 67108864 }')
        report = ('Could not set record hardware parameters:\nReturned Driver Parameters:\n'
                  '\tBuf 1\tBuf 2\tRate\tChannels\nRecord\t4096\t32768\t8000\t2\n'
                  '-------------------------\n')
        slow = 'zelk: the device refused the rate 44100 Hz; it offers 8000 Hz\n'
        for device, out, err in [
                ('nodev', '', 'unable to open pcm record device: No such file or directory\n'),
                ('s16', '', 'Problem setting recording format: Invalid argument\n'),
                ('slow', report, slow),
                # The sanitizer's shadow memory does not fit an address-space limit.
                ('huge', '', "Can't allocate recording buffers\n")][:-1 if SANITIZED else None]:
            with self.subTest(device=device):
                r = self.zelk('2444' if device == 's16' else '1644', '1', device, '1', 'a.wav',
                              limits={'AS': 1 << 28} if device == 'huge' else {})
                self.assertEqual((r.out, r.code), (out, 1))
                self.assertTrue(('\n' + r.err).endswith('\n' + err) and (err or not r.err), r)
                self.assertEqual(os.listdir(self.dir), ['.asoundrc'])


P = PERIOD
READ_FAILED = '\nunable to read from pcm record device: %s\n'


def content(segments, width, channels):
    """Device content: (first frame, count) runs, first None for silence."""
    return b''.join(ramp(first, count, width, channels) for first, count in segments)


class FaultCase(Case):
    def check(self, code, mode, events, segments, overruns=0, err='', options={}):
        rate, width = {'1644': (44100, 2), '1648': (48000, 2), '2444': (44100, 3),
                       '2448': (48000, 3)}[code]
        self.clean()
        self.devices('pcm.dev { type zelktest events "%s" }' % events)
        r = self.zelk(code, '0.3', 'dev', mode, 'a.wav', 'b.wav', **options)
        # After overruns, how much was lost comes first on standard error.
        lost = re.match(r'zelk: \d+\.\d\d s of the take were not captured\n', r.err)
        self.assertEqual(bool(lost), overruns > 0, r)
        self.assertEqual((r.code, r.err[lost.end() if lost else 0:]), (1 if err else 0, err), r)
        self.assertEqual(r.out.count('\nRX\n'), overruns, r)
        self.assertEqual('\nRecord Overruns = %d\n' % overruns in r.out, overruns > 0, r)
        self.assertEqual(r.out.endswith('Done\n'), not err, r)
        for (name, channels), runs in zip(FILES[mode], segments):
            self.assertTake(name, rate, width, len(channels), content(runs, width, channels))


class DeviceFaults(FaultCase):
    def test_lost_frames_are_silence_and_the_take_keeps_its_length(self):
        for code, mode, events, runs, overruns in [
                ('1644', '1', '1:xrun,2:suspend', [(0, P), (None, 2 * P), (3 * P, P)], 2),
                ('2448', 's', '1:short,1:xrun',
                 [(0, P + P // 2), (None, P // 2), (2 * P, 2 * P)], 1),
                ('1648', '2', '1:short,2:eagain', [(0, 4 * P)], 0)]:
            with self.subTest(events=events):
                self.check(code, mode, events, [runs, runs], overruns)

    def test_a_failed_device_ends_the_take_with_what_it_gave(self):
        self.check('2444', '2', '2:eio', [[(0, 2 * P)]] * 2,
                   err=READ_FAILED % 'Input/output error')


class DiskFaults(FaultCase):
    def test_a_full_disk_ends_the_take_with_whole_frames(self):
        self.check('1644', '2', '', [[(0, 5 * P // 2)], [(0, 2 * P)]],
                   err="\nCan't write a.wav: File too large\n",
                   options={'limits': {'FSIZE': 44 + 5 * P}})

    def test_a_failed_sync_is_a_failed_take(self):
        self.check('1644', '1', '', [[(0, 4 * P)]], err="\nCan't write a.wav: Input/output error\n",
                   options={'env': failing('fsync')})

