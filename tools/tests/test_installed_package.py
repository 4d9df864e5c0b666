"""The library from the outside: a C program built against the installed tree
with pkg-config and with CMake's find_package, and one that embeds the source
tree with add_subdirectory; each is run and its output read back."""

import os
import shlex
import unittest

from usage_env import PREFIX, READER, SANITIZE_FLAGS, TempDirTest, run, zxing

HERE = os.path.dirname(os.path.abspath(__file__))
CONSUMER = os.path.join(HERE, "consumer")
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
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

    def build_cmake_consumer(self, *options):
        build = self.path("build")
        argv = [CMAKE, "-S", CONSUMER, "-B", build, f"-DCMAKE_C_COMPILER={CC}",
                f"-DCMAKE_C_FLAGS={SANITIZE_FLAGS}", f"-DCMAKE_CXX_FLAGS={SANITIZE_FLAGS}",
                f"-DCMAKE_EXE_LINKER_FLAGS={SANITIZE_FLAGS}",
                f"-DCMAKE_SHARED_LINKER_FLAGS={SANITIZE_FLAGS}", *options]
        code, out, err = run(argv, timeout=300)
        self.assertEqual(code, 0, out.decode() + err)
        code, out, err = run([CMAKE, "--build", build, "--target", "consumer"], timeout=600)
        self.assertEqual(code, 0, out.decode() + err)
        return os.path.join(build, "consumer")

    def test_find_package_consumer(self):
        exe = self.build_cmake_consumer(f"-DCMAKE_PREFIX_PATH={PREFIX}")
        self.assertEqual(self.check_consumer(exe, "via find_package"), "decoded: via find_package\n")

    def test_add_subdirectory_consumer_needs_no_test_dependencies(self):
        # GoogleTest, Google Benchmark and zxing-cpp made unfindable: an
        # embedding project must configure and build without them.
        hidden = [f"-DCMAKE_DISABLE_FIND_PACKAGE_{name}=ON" for name in ("GTest", "benchmark", "ZXing")]
        exe = self.build_cmake_consumer(f"-DVQR_SOURCE_DIR={SOURCE_DIR}",
                                        f"-DVQR_DEPS_DIR={os.path.join(SOURCE_DIR, '.deps')}",
                                        *hidden)
        self.assertEqual(self.check_consumer(exe, "via add_subdirectory"),
                         "decoded: via add_subdirectory\n")


if __name__ == "__main__":
    unittest.main()
