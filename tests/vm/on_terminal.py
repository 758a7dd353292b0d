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
import select
import subprocess
import sys
import time

PROMPT = b"[y/n] "
TIME_LIMIT = 600


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    answers = [a for a in sys.argv[1].split(",") if a]
    master, slave = pty.openpty()
    process = subprocess.Popen(sys.argv[2:], stdin=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    transcript = b""
    asked = 0
    deadline = time.monotonic() + TIME_LIMIT
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                data = os.read(master, 4096)
            except OSError:  # the program closed its side
                data = b""
            if not data and process.poll() is not None:
                break
            transcript += data
            while transcript.count(PROMPT) > asked:
                answer = answers[asked] if asked < len(answers) else "n"
                os.write(master, answer.encode() + b"\n")
                asked += 1
        elif process.poll() is not None:
            break
    else:
        process.kill()
        transcript += b"\n[on_terminal: no end within %d s]\n" % TIME_LIMIT
    os.close(master)
    sys.stderr.buffer.write(transcript)
    return process.wait()


if __name__ == "__main__":
    sys.exit(main())
