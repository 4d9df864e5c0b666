"""The set-up's nothing-to-do path: with every package and third-party file in
place, scripts/setup.sh runs no apt or npm command and needs no root.

apt, sudo, dpkg-deb and npm are replaced by stubs that record their call and fail,
and the script runs as an unprivileged user when the test runs as root."""
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SETUP = ROOT / "scripts" / "setup.sh"
STUBBED = ("apt-get", "apt-cache", "apt", "sudo", "dpkg-deb", "npm")
AXE_CORE = ROOT / ".deps" / "npm" / "node_modules" / "axe-core" / "package.json"


def unprivileged(cmd):
    """`cmd` run as nobody when we are root and nobody can read the tree."""
    if os.geteuid() != 0:
        return cmd
    drop = [shutil.which("setpriv") or "setpriv", "--reuid=nobody", "--regid=nogroup",
            "--clear-groups", "--"]
    readable = subprocess.run(drop + ["test", "-r", str(SETUP)], capture_output=True)
    return drop + cmd if readable.returncode == 0 else cmd


class NothingToDoTest(unittest.TestCase):
    @unittest.skipUnless(AXE_CORE.is_file(), "npm could not fetch axe-core here, so the set-up "
                         "still has something to do")
    def test_runs_no_apt_and_needs_no_root(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.chmod(tmp, 0o755)
            stubs = pathlib.Path(tmp, "bin")
            stubs.mkdir()
            calls = pathlib.Path(tmp, "calls.log")
            calls.touch()
            calls.chmod(0o666)
            for name in STUBBED:
                stub = stubs / name
                stub.write_text(f'#!/bin/sh\necho "{name} $*" >> "{calls}"\nexit 1\n')
                stub.chmod(0o755)
            env = dict(os.environ, PATH=f"{stubs}:{os.environ['PATH']}")
            result = subprocess.run(unprivileged([str(SETUP)]), env=env,
                                    capture_output=True, text=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertEqual(calls.read_text(), "", "apt, sudo, dpkg-deb or npm was called")
            self.assertIn("setup: done", result.stdout)


if __name__ == "__main__":
    unittest.main()
