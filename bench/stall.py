#!/usr/bin/env python3
"""Runs a recorder on the paced test device while its output stops for a
while, and prints what that cost: "OVERRUNS LOST_SECONDS WALL_SECONDS".

  stall.py disk    READ STOP AUDIO LOG -- COMMAND...
  stall.py console READ STOP AUDIO LOG -- COMMAND...
  stall.py busy    LOOPS 0    AUDIO LOG -- COMMAND...

disk: AUDIO is a FIFO the command records into; this reads it for READ
seconds, stops reading for STOP seconds (a stalled disk), then reads the
rest. The command's stdout and stderr go to the file LOG.

busy: nothing stops; LOOPS busy loops run at nice -20 (root only) while
the command records into the regular file AUDIO, its output in LOG.

console: the command's stdout and stderr go to a pipe of one page (4096
bytes) that this reads for READ seconds, then fills and leaves unread for
STOP seconds (a console that stops taking output), then reads to the end;
LOG keeps what was read. AUDIO is the regular file the command records into,
read once the command has ended.

The audio must be a 24-bit stereo WAV from the test device, whose sample of
frame f, channel 0, is the low 24 bits of 2f * 40503, f counting every frame
the device produced, lost ones too. So each frame that reached the file says
which device frame it is: the frames lost are the device frames between the
first and the last that reached the file, less those that did (frames of
silence are not ones that did). That is the measure, in seconds at RATE
(96000), whatever a program writes in place of a loss: arecord nothing,
zelk silence for the rest of the period it was reading. Either way the
take ends about that much later than planned, which WALL_SECONDS shows.

OVERRUNS is the number of "overrun!!!" lines (arecord) plus the N of
"Record Overruns = N" (zelk) in the command's output."""
import fcntl
import os
import re
import select
import subprocess
import sys
import threading
import time

RATE = 96000
FRAME = 6  # two 24-bit samples
MOD = 1 << 23  # a frame's index is known modulo 2^23 (87 s at 96 kHz)
INVERSE = pow(40503, -1, MOD)
F_SETPIPE_SZ = 1031


def data_chunk(wav):
    at = 12
    while at + 8 <= len(wav):
        size = int.from_bytes(wav[at + 4:at + 8], "little")
        if wav[at:at + 4] == b"data":
            return wav[at + 8:]
        at += 8 + size + (size & 1)
    sys.exit("stall.py: no data chunk in the audio")


def index(frame):
    v = int.from_bytes(frame[:3], "little")
    return (v >> 1) * INVERSE % MOD


def lost_frames(wav):
    data = data_chunk(wav)
    data = data[:len(data) - len(data) % FRAME]
    # A real frame's channel-1 sample, (2f + 1) * 40503, is odd, so six zero
    # bytes in a row lie in a frame of silence; runs of them hold whole frames
    # but for at most five zero bytes of the real frames on either side.
    silent = data.count(bytes(FRAME))
    real = len(data) // FRAME - silent
    first = next(i for i in range(0, len(data), FRAME) if data[i + 3])
    last = next(i for i in range(len(data) - FRAME, -1, -FRAME) if data[i + 3])
    span = (index(data[last:last + FRAME]) - index(data[first:first + FRAME])) % MOD + 1
    return span - real


def read_all(fd, into):
    while chunk := os.read(fd, 1 << 16):
        into += chunk


def drain_until(fd, into, deadline):
    while (left := deadline - time.monotonic()) > 0:
        if select.select([fd], [], [], left)[0]:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return
            into += chunk


def unblock(proc, fifo):
    """Opens the FIFO for writing once the command has ended, so that the
    reader's open returns even when the command never opened it."""
    proc.wait()
    os.close(os.open(fifo, os.O_WRONLY))


def main():
    mode, read_s, stop_s, audio, log = sys.argv[1:6]
    command = sys.argv[7:]
    read_s, stop_s = float(read_s), float(stop_s)
    text = bytearray()
    start = time.monotonic()
    if mode == "busy":
        loops = [subprocess.Popen(["nice", "-n", "-20", "sh", "-c", "while :; do :; done"])
                 for _ in range(int(read_s))]
        try:
            with open(log, "wb") as out:
                subprocess.run(command, stdout=out, stderr=out, stdin=sys.stdin)
        finally:
            for loop in loops:
                loop.kill()
                loop.wait()
        with open(log, "rb") as f:
            text = f.read()
        with open(audio, "rb") as f:
            wav = f.read()
    elif mode == "disk":
        with open(log, "wb") as out:
            proc = subprocess.Popen(command, stdout=out, stderr=out)
        wav = bytearray()
        threading.Thread(target=unblock, args=(proc, audio), daemon=True).start()
        fd = os.open(audio, os.O_RDONLY)
        drain_until(fd, wav, time.monotonic() + read_s)
        time.sleep(stop_s)
        read_all(fd, wav)
        os.close(fd)
        proc.wait()
        with open(log, "rb") as f:
            text = f.read()
    else:
        r, w = os.pipe()
        fcntl.fcntl(w, F_SETPIPE_SZ, 4096)
        proc = subprocess.Popen(command, stdout=w, stderr=w)
        drain_until(r, text, time.monotonic() + read_s)
        # A file description of its own, so that the command's stays blocking.
        fill = os.open(f"/proc/self/fd/{w}", os.O_WRONLY | os.O_NONBLOCK)
        os.close(w)
        try:
            while True:  # NULs, dropped from the text below
                os.write(fill, bytes(512))
        except BlockingIOError:
            pass
        time.sleep(stop_s)
        os.close(fill)
        read_all(r, text)
        proc.wait()
        text = text.replace(b"\0", b"")
        with open(log, "wb") as f:
            f.write(text)
        with open(audio, "rb") as f:
            wav = f.read()
    wall = time.monotonic() - start
    console = text.decode("utf-8", "replace")
    overruns = console.count("overrun!!!") + sum(
        int(n) for n in re.findall(r"Record Overruns = (\d+)", console))
    print(f"{overruns} {lost_frames(wav) / RATE:.2f} {wall:.1f}")


main()
