"""Shared set-up of the end-to-end tests: where the installed tree and the
helper programs are (from the environment CTest gives), and how to run them."""

import os
import subprocess
import tempfile
import unittest

PREFIX = os.environ.get("VQR_PREFIX", "")
VQR = os.path.join(PREFIX, "bin", "vqr")
READER = os.environ.get("VQR_ZXING_READ", "")
SANITIZE_FLAGS = os.environ.get("VQR_SANITIZE_FLAGS", "")


def run(argv, stdin=b"", env=None, cwd=None, timeout=120):
    """Runs argv; returns (exit code, stdout bytes, stderr text)."""
    proc = subprocess.run(argv, input=stdin, capture_output=True, env=env, cwd=cwd,
                          timeout=timeout, check=False)
    return proc.returncode, proc.stdout, proc.stderr.decode("utf-8", "replace")


def zxing(path, crop=None, save=None):
    """Text the independent reader finds in an image, or None."""
    argv = [READER]
    if crop:
        argv += ["--crop", ",".join(str(v) for v in crop)]
    if save:
        argv += ["--save-crop", save]
    code, out, _ = run(argv + [path])
    return out.decode("utf-8") if code == 0 else None


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="vqr-usage-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)
