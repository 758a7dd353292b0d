"""The Linux odflsh and the image's SHA-256: a damaged image is refused when
its digest is known (S1003431.104.sha256 beside it), the digest is told on
stderr once when it is not, and an image refused for its size says why."""

import os
import unittest

from progtest import IMAGE, ProgramCase
from progtest import notices as progtest_notices

OLD = "qbc850,rev=1.00,date=07/12/01"


def notices(run):
    return progtest_notices(run.stderr)


class ImageDigest(ProgramCase):

    def path(self, name=IMAGE):
        return os.path.join(self.work, name)

    def test_without_a_list_the_digest_is_told_once(self):
        os.remove(self.path(IMAGE + ".sha256"))
        run = self.run_odflsh([OLD, OLD], terminal=False, args=["--yes"])
        self.assertEqual(run.rc, 0, run.stderr)
        for line in run.state:
            self.assert_flashed(line)
        told = [line for line in notices(run) if "SHA-256" in line]
        self.assertEqual(told, ["odflsh: %s has SHA-256 %s; no %s.sha256 lies beside it to check "
                                "that against." % (IMAGE, self.image_sha256, IMAGE)])
        # The console is the Windows program's, which says nothing of it.
        self.assertEqual(run.stdout, self.run_sim([OLD, OLD], ["y", "y"]).stdout)

    def test_one_changed_byte_is_never_sent(self):
        with open(self.path(), "r+b") as f:
            f.seek(1000000)
            byte = f.read(1)
            f.seek(1000000)
            f.write(bytes([byte[0] ^ 1]))
        run = self.run_odflsh([OLD], terminal=False, args=["--yes"])
        self.assertEqual(run.rc, 1)
        self.assertEqual(run.commands("3B"), [])
        self.assert_untouched(run.state[0])
        self.assertIn(("but %s.sha256 gives %s." % (IMAGE, self.image_sha256)).encode(), run.stdout)
        self.assertIn(b"Failed to load binary file.", run.stdout)
        self.assertEqual(run.stdout, self.run_sim([OLD], []).stdout)

    def test_an_image_refused_for_its_size_says_why(self):
        os.remove(self.path(IMAGE + ".sha256"))
        cases = [
            ("cut short", 1000000, "it is 1000000 bytes, not the 1880576 bytes its definition gives"),
            ("too short for its header", 100,
             "it is 100 bytes, too few to hold the image header (340 bytes)"),
        ]
        with open(self.path(), "rb") as f:
            whole = f.read()
        for name, size, why in cases:
            with self.subTest(name):
                with open(self.path(), "wb") as f:
                    f.write(whole[:size])
                run = self.run_odflsh([OLD], terminal=False, args=["--yes"])
                self.assertEqual(run.rc, 1)
                self.assertEqual(run.commands("3B"), [])
                told = [line for line in notices(run) if "cannot be loaded" in line]
                self.assertEqual(told, ["odflsh: %s cannot be loaded: %s." % (IMAGE, why)])


if __name__ == "__main__":
    unittest.main()
