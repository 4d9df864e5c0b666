"""The installed tree from the outside: a C program built with pkg-config and
one built with CMake's find_package, each run and its output read back."""

import os
import shlex
import unittest

from usage_env import PREFIX, READER, SANITIZE_FLAGS, TempDirTest, run, zxing

HERE = os.path.dirname(os.path.abspath(__file__))
CONSUMER = os.path.join(HERE, "consumer")
CC = os.environ.get("CC", "cc")
CMAKE = os.environ.get("CMAKE", "cmake")


class InstalledPackage(TempDirTest):
    def env(self):
        env = dict(os.environ)
        libdirs = [d for d in ("lib", "lib64") if os.path.isdir(os.path.join(PREFIX, d))]
        pcdirs = []
        for d in libdirs:
            for root, dirs, _ in os.walk(os.path.join(PREFIX, d)):
                if os.path.basename(root) == "pkgconfig":
                    pcdirs.append(root)
        env["PKG_CONFIG_PATH"] = os.pathsep.join(pcdirs)
        return env

    def check_consumer(self, exe, text):
        out_png = self.path(os.path.basename(exe) + ".png")
        code, out, err = run([exe, out_png, text])
        self.assertEqual(code, 0, err)
        self.assertEqual(zxing(out_png), text, "independent reader")
        return out.decode("utf-8")

    def test_pkg_config_consumer(self):
        env = self.env()
        code, flags, err = run(["pkg-config", "--cflags", "--libs", "vantelor-qrcode"], env=env)
        self.assertEqual(code, 0, err)
        code, libdir, err = run(["pkg-config", "--variable=libdir", "vantelor-qrcode"], env=env)
        self.assertEqual(code, 0, err)
        self.assertTrue(os.path.isfile(os.path.join(libdir.decode().strip(),
                                                    "libvantelor-qrcode.so.1")))
        exe = self.path("pc-consumer")
        argv = [CC, os.path.join(CONSUMER, "consumer.c"), "-o", exe,
                *shlex.split(flags.decode()), f"-Wl,-rpath,{libdir.decode().strip()}",
                *shlex.split(SANITIZE_FLAGS)]
        code, _, err = run(argv, env=env)
        self.assertEqual(code, 0, f"{' '.join(argv)}\n{err}")
        self.assertEqual(self.check_consumer(exe, "via pkg-config"), "decoded: via pkg-config\n")

    def test_find_package_consumer(self):
        build = self.path("build")
        argv = [CMAKE, "-S", CONSUMER, "-B", build, f"-DCMAKE_PREFIX_PATH={PREFIX}",
                f"-DCMAKE_C_COMPILER={CC}", f"-DCMAKE_C_FLAGS={SANITIZE_FLAGS}",
                f"-DCMAKE_EXE_LINKER_FLAGS={SANITIZE_FLAGS}"]
        code, _, err = run(argv)
        self.assertEqual(code, 0, err)
        code, out, err = run([CMAKE, "--build", build])
        self.assertEqual(code, 0, out.decode() + err)
        exe = os.path.join(build, "consumer")
        self.assertEqual(self.check_consumer(exe, "via find_package"), "decoded: via find_package\n")


if __name__ == "__main__":
    unittest.main()
