"""A designer server in its own process, as `python3 -m vantelor_qrcode serve`
starts it, with its own TMPDIR so the tests can see what it leaves behind."""

import json
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request


def compile_c(source, exe):
    """The command that builds a copied C program against the installed tree
    (VQR_PREFIX), with the sanitizers of the build under test."""
    prefix = os.environ["VQR_PREFIX"]
    libdir = os.path.dirname(next(os.path.join(root, name) for root, _, names in os.walk(prefix)
                                  for name in names if name == "libvantelor-qrcode.so.1"))
    return [os.environ.get("CC", "cc"), source, "-o", exe, f"-I{prefix}/include", f"-L{libdir}",
            f"-Wl,-rpath,{libdir}", "-lvantelor-qrcode",
            *shlex.split(os.environ.get("VQR_SANITIZE_FLAGS", ""))]


class DesignerProcess:
    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vqr-designer-test-")
        env = dict(os.environ, TMPDIR=self.tmp.name, PYTHONUNBUFFERED="1")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "vantelor_qrcode", "serve", "--port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        line = self.proc.stdout.readline()
        found = re.search(r"http://127\.0\.0\.1:\d+/", line)
        if not found:
            self.proc.kill()
            raise RuntimeError(f"no address printed: {line!r} {self.proc.stderr.read()}")
        self.url = found.group(0)

    def leftovers(self):
        """Everything under the server's TMPDIR."""
        return [os.path.relpath(os.path.join(root, name), self.tmp.name)
                for root, dirs, files in os.walk(self.tmp.name) for name in dirs + files]

    def request(self, path, body=None, content_type="application/json"):
        """(status, parsed JSON answer, headers) of one request."""
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        req = urllib.request.Request(self.url + path.lstrip("/"), data=body,
                                     headers={"Content-Type": content_type})
        try:
            with urllib.request.urlopen(req, timeout=60) as resp:
                return resp.status, resp.read(), resp.headers
        except urllib.error.HTTPError as err:
            return err.code, err.read(), err.headers

    def post(self, path, body, content_type="application/json"):
        status, data, _ = self.request(path, body, content_type)
        return status, json.loads(data)

    def stop(self, sig=signal.SIGTERM):
        """Sends sig (SIGTERM: as a service manager stops it); returns the exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout=30)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.tmp.cleanup()
