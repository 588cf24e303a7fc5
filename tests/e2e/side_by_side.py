"""Runs the cases of the class MODULE.CLASS side by side, each in a process
of its own: most wait on a paced device or a stall, so the class lasts as
long as its longest case. Their reports follow in order."""
import subprocess
import sys
import unittest

from harness import EMULATOR, SANITIZED

command = [sys.executable, '-m', 'unittest', '-v']
name = sys.argv[1]
# A sanitized or emulated take costs several times the CPU: side by side on
# a small machine they would fall behind a paced device. One after another.
if SANITIZED or EMULATOR:
    sys.exit(subprocess.run(command + [name]).returncode)
cases = [case.id() for case in unittest.defaultTestLoader.loadTestsFromName(name)]
runs = [subprocess.Popen(command + [case], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT) for case in cases]
failed = False
for run in runs:
    sys.stdout.buffer.write(run.communicate()[0])
    sys.stdout.flush()
    failed = failed or run.returncode != 0
sys.exit(int(failed))
