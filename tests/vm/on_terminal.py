"""Runs a command with a pseudo-terminal as its standard input and standard
error, answering each question "[y/n] " with the next of ANSWERS (y or n,
separated by commas; a question past the list is answered n). Standard output
stays this process's own. The terminal's transcript goes to standard error;
the exit code is the command's. Used inside the test machine, where the
programs ask on a terminal as a person would see them.

    on_terminal.py ANSWERS COMMAND [ARG...]
"""

import os
import pty
import subprocess
import sys

# The conversation itself is the program tests' own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "program"))
from terminal import converse  # noqa: E402

TIME_LIMIT = 600


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    answers = [a for a in sys.argv[1].split(",") if a]
    master, slave = pty.openpty()
    process = subprocess.Popen(sys.argv[2:], stdin=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    transcript, _, finished = converse(process, master, answers, TIME_LIMIT)
    if not finished:
        process.kill()
        transcript += b"\n[on_terminal: no end within %d s]\n" % TIME_LIMIT
    os.close(master)
    sys.stderr.buffer.write(transcript)
    return process.wait()


if __name__ == "__main__":
    sys.exit(main())
