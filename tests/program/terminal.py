"""Talking to a program over a pseudo-terminal as a person would: each
question "[y/n] " it prints is answered with the next planned answer, and a
question nobody planned is answered n. A planned answer may instead be a
function, called with the process while the question waits unanswered: what
it returns ("y" or "n") is then the answer, and None leaves the question
unanswered."""

import os
import select
import time

PROMPT = b"[y/n] "


def converse(process, master, answers, time_limit, during=None):
    """Reads the terminal's side `master` until `process` ends, answering its
    questions; `during(process)` is called while it runs. Returns the
    transcript, how many questions were asked, and whether the process ended
    within `time_limit` seconds (if not, it is left running)."""
    transcript = b""
    asked = 0
    deadline = time.monotonic() + time_limit
    while time.monotonic() <= deadline:
        if during is not None and process.poll() is None:
            during(process)
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                data = os.read(master, 4096)
            except OSError:  # the program closed its side
                data = b""
            if not data and process.poll() is not None:
                return transcript, asked, True
            transcript += data
            while transcript.count(PROMPT) > asked:
                answer = answers[asked] if asked < len(answers) else "n"
                if callable(answer):
                    answer = answer(process)
                if answer is not None:
                    os.write(master, answer.encode() + b"\n")
                asked += 1
        elif process.poll() is not None:
            return transcript, asked, True
    return transcript, asked, False
