"""The installed vqr tool, run as a user would: exit codes, what goes to
stdout and stderr, and that what it writes reads back."""

import json
import os
import re
import resource
import shutil
import signal
import subprocess
import struct
import time
import unittest
import zlib

from usage_env import VQR, TempDirTest, run, zxing

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
COMMANDS = ["encode", "decode", "check", "wifi", "vcard", "email", "sms", "geo", "event",
            "batch", "version"]


def write_black_png(path, side):
    """A solid black greyscale PNG of side x side pixels."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    rows = b"".join(b"\0" + bytes(side) for _ in range(side))
    with open(path, "wb") as f:
        f.write(PNG_MAGIC + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def limit_file_size():
    """In the child: files may not grow past 512 bytes (every code written
    here is larger). The shell's `ulimit -f` does the same."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))


def temporaries(folder):
    return [n for n in os.listdir(folder) if n.startswith((".qr-", ".vqr-"))]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == PNG_MAGIC
    return struct.unpack(">II", head[16:24])


class CliTest(TempDirTest):
    def vqr(self, *args, stdin=b""):
        return run([VQR, *args], stdin=stdin)

    def assertQuietSuccess(self, result):
        code, out, err = result
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out, b"")

    def assertFails(self, result, code, message):
        got, out, err = result
        self.assertEqual(got, code, err)
        self.assertEqual(out, b"")
        self.assertIn(message, err)


class HelpAndUsage(CliTest):
    def test_help_on_every_command(self):
        for cmd in COMMANDS:
            with self.subTest(cmd=cmd):
                code, out, err = self.vqr(cmd, "--help")
                self.assertEqual((code, err), (0, ""))
                self.assertTrue(out.startswith(f"Usage: vqr {cmd}".encode()), out[:60])
        code, out, _ = self.vqr("--help")
        self.assertEqual(code, 0)
        for cmd in COMMANDS:
            self.assertIn(f"  {cmd} ".encode(), out)
        code, out, _ = self.vqr("--version")
        self.assertEqual((code, out), (0, b"vqr 1.0.0\n"))

    def test_usage_errors_exit_2(self):
        out = self.path("x.png")
        cases = [
            ((), "Usage: vqr COMMAND"),
            (("frobnicate",), "unknown command 'frobnicate'"),
            (("encode", "hello"), "an output file is required"),
            (("encode", "-o", out, "a", "b"), "give the text as one argument"),
            (("encode", "--bogus", "-o", out, "a"), "'--bogus'"),
            (("encode", "-l", "X", "-o", out, "a"), "invalid value 'X'"),
            (("encode", "-s", "0", "-o", out, "a"), "invalid value '0'"),
            (("encode", "--module-style", "square", "-o", out, "a"), "invalid value 'square'"),
            (("encode", "--ring-style", "6", "-o", out, "a"), "invalid value '6'"),
            (("encode", "--module-color", "red", "-o", out, "a"), "invalid value 'red'"),
            (("encode", "--background", "#12345", "-o", out, "a"), "invalid value '#12345'"),
            (("encode", "--module-gradient", "conic:#000000:#ffffff", "-o", out, "a"),
             "invalid value 'conic:#000000:#ffffff'"),
            (("encode", "--logo-size", "0.7", "--logo", "l.png", "-o", out, "a"),
             "invalid value '0.7'"),
            (("decode",), "name at least one image file"),
            (("wifi", "-o", out), "--ssid is required"),
            (("geo", "--lat", "1", "-o", out), "--lon is required"),
            (("event", "--title", "t", "-o", out), "--start is required"),
            (("wifi", "--ssid", "x", "-o", self.path("x.svg")), "written as PNG"),
            (("batch", "in.json"), "an output directory is required"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertFails(self.vqr(*args), 2, message)
        self.assertFalse(os.path.exists(out))


class ManPage(CliTest):
    def test_man_page_names_the_options_of_every_help(self):
        """Every --option a --help text names is in the installed manual page,
        and the page names no option that no --help text names."""
        with open(os.path.join(os.path.dirname(VQR), "..", "share", "man", "man1", "vqr.1"),
                  encoding="utf-8") as f:
            page = f.read()
        self.assertTrue(page.startswith(".TH VQR 1 "))
        text = re.sub(r"\\f[BIR]", "", page).replace("\\-", "-")
        options = lambda s: set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", s))
        in_page = options(text)
        in_help = set()
        for cmd in COMMANDS:
            with self.subTest(cmd=cmd):
                code, out, _ = self.vqr(cmd, "--help")
                self.assertEqual(code, 0)
                self.assertIn(f".SS {cmd}\n", page)
                listed = options(out.decode())
                self.assertEqual(listed - in_page, set())
                in_help |= listed
        self.assertEqual(in_page - in_help, set())


class Encode(CliTest):
    def test_png_is_written_quietly_with_the_asked_geometry(self):
        out = self.path("a.png")
        self.assertQuietSuccess(self.vqr("encode", "-o", out, "A"))
        self.assertEqual(png_size(out), (290, 290))  # 21 modules + 2 x 4, x 10 pixels
        self.assertQuietSuccess(self.vqr("encode", "-s", "3", "-q", "0", "-l", "h", "-o", out, "A"))
        self.assertEqual(png_size(out), (63, 63))

    def test_png_to_stdout_and_text_from_stdin(self):
        code, png, err = self.vqr("encode", "-s", "2", "-o", "-", stdin=b"piped text\n")
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(png.startswith(PNG_MAGIC))
        target = self.path("piped.png")
        with open(target, "wb") as f:
            f.write(png)
        self.assertEqual(zxing(target), "piped text")  # one trailing line end dropped

    def test_every_style_option_is_accepted_and_changes_the_picture(self):
        base = self.path("base.png")
        self.assertQuietSuccess(self.vqr("encode", "-s", "4", "-o", base, "styles"))
        with open(base, "rb") as f:
            plain = f.read()
        variants = [
            ("-p", "neon"), ("--preset", "dots"), ("--module-style", "pill"),
            ("--module-style", "5"), ("--ring-style", "circle"), ("--center-style", "cushion"),
            ("--module-color", "#1a365d"), ("--ring-color", "ff0000"),
            ("--center-color", "#00aa00"), ("--background", "#fffbe6"),
            ("--background", "transparent"), ("--background", "#ffffff80"),
            ("--module-gradient", "linear:#ff0000:#0000ff:45"),
            ("--ring-gradient", "radial:#000000:#555555"),
            ("--center-gradient", "linear:#111111:#999999:90"),
            ("--background-gradient", "linear:#ffffff:#ddeeff"),
        ]
        for option in variants:
            with self.subTest(option=option):
                out = self.path("v.png")
                self.assertQuietSuccess(self.vqr("encode", "-s", "4", *option, "-o", out, "styles"))
                with open(out, "rb") as f:
                    self.assertNotEqual(f.read(), plain)
                if option[1] != "circle":  # see docs/grading.md
                    self.assertEqual(zxing(out), "styles")

    def test_logo(self):
        logo = self.path("logo.png")
        self.assertQuietSuccess(self.vqr("encode", "-s", "2", "-o", logo, "logo"))
        out = self.path("with-logo.png")
        self.assertQuietSuccess(self.vqr("encode", "--logo", logo, "--logo-size", "0.2",
                                         "--logo-margin", "2", "-s", "6", "-o", out, "with a logo"))
        self.assertEqual(zxing(out), "with a logo")

    def test_library_failures_exit_1_with_the_library_message(self):
        missing_dir = self.path("no/such/dir.png")
        cases = [
            (("encode", "-o", self.path("e.png"), ""), "qr_encode: empty text"),
            (("encode", "-l", "L", "-o", self.path("e.png"), "a" * 2954),
             "qr_encode: text too long to fit in any QR version (max 40)"),
            (("encode", "-o", missing_dir, "a"),
             "qr_encode_to_file: cannot open output path for writing"),
            (("encode", "-p", "Neon", "-o", self.path("e.png"), "a"),
             "qr_apply_preset: unknown preset (modern/dots/elegant/neon/corporate/minimal)"),
            (("encode", "--logo", self.path("missing.png"), "-o", self.path("e.png"), "a"),
             "qr_png_read_file: stbi_load failed (not a valid PNG?)"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                self.assertFails(self.vqr(*args), 1, message)
        self.assertFalse(os.path.exists(self.path("e.png")))

    def test_a_file_size_limit_is_a_short_write_and_leaves_no_temporary(self):
        out, svg = self.path("out.png"), self.path("out.svg")
        cases = [
            (("encode", "-o", out, "limited"), f"vqr encode: {out}: qr_encode_to_file: short write"),
            (("encode", "-o", svg, "limited"),
             f"vqr encode: {svg}: qr_encode_to_svg_file: short write"),
            (("wifi", "--ssid", "net", "-o", out), f"vqr wifi: {out}: qr_encode_to_file: short write"),
            (("batch", "-d", self.dir, self.path("items.json")),
             f"vqr batch: item 0 ({self.dir}/out.png): qr_encode_to_file: short write"),
        ]
        with open(self.path("items.json"), "w") as f:
            json.dump([{"text": "limited", "filename": "out"}], f)
        for args, message in cases:
            with self.subTest(command=args[0], output=args[-2]):
                proc = subprocess.run([VQR, *args], capture_output=True, text=True, timeout=120,
                                      preexec_fn=limit_file_size)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertIn(message, proc.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ["items.json"])

    def test_verbose_names_the_file(self):
        out = self.path("v.png")
        code, stdout, err = self.vqr("encode", "-v", "-o", out, "x")
        self.assertEqual((code, stdout), (0, b""))
        self.assertIn(out, err)


class Version(CliTest):
    def test_versions(self):
        cases = [(("HELLO", "-l", "L"), b"1\n"), (("a" * 100, "-l", "H"), b"10\n"),
                 (("a" * 2953, "-l", "L"), b"40\n")]
        for args, expected in cases:
            with self.subTest(length=len(args[0])):
                code, out, err = self.vqr("version", *args)
                self.assertEqual((code, out, err), (0, expected, ""))
        code, out, _ = self.vqr("version", "-l", "L", stdin=b"HELLO\n")
        self.assertEqual((code, out), (0, b"1\n"))
        self.assertFails(self.vqr("version", "-l", "L", "a" * 2954), 1, "does not fit")


class Svg(CliTest):
    def test_svg_by_extension_flag_and_stdout(self):
        out = self.path("a.svg")
        self.assertQuietSuccess(self.vqr("encode", "-p", "modern", "-o", out, "A"))
        with open(out, "rb") as f:
            doc = f.read()
        self.assertTrue(doc.startswith(b'<?xml version="1.0" encoding="UTF-8"?>\n<svg'))
        self.assertIn(b'width="290" height="290"', doc)
        code, stdout, err = self.vqr("encode", "-p", "modern", "-f", "svg", "-o", "-", "A")
        self.assertEqual((code, err, stdout), (0, "", doc))
        self.assertFails(self.vqr("encode", "-o", out, ""), 1, "qr_svg: empty text")


class Decode(CliTest):
    def test_round_trip_and_many_files(self):
        texts = {"one.png": "first", "two.png": "Gr\u00fc\u00dfe \u2603"}
        for name, text in texts.items():
            self.assertQuietSuccess(self.vqr("encode", "-s", "4", "-p", "modern", "-o",
                                             self.path(name), text))
        code, out, err = self.vqr("decode", self.path("one.png"))
        self.assertEqual((code, out, err), (0, b"first\n", ""))
        code, out, _ = self.vqr("decode", self.path("one.png"), self.path("two.png"))
        self.assertEqual(code, 0)
        self.assertEqual(out.decode("utf-8").splitlines(),
                         [f"{self.path(n)}: {t}" for n, t in texts.items()])
        with open(self.path("two.png"), "rb") as f:
            code, out, _ = self.vqr("decode", "-", stdin=f.read())
        self.assertEqual((code, out.decode("utf-8")), (0, texts["two.png"] + "\n"))

    def test_failures(self):
        blank = self.path("blank.png")
        self.assertQuietSuccess(self.vqr("encode", "--module-color", "#ffffff", "--ring-color",
                                         "#ffffff", "--center-color", "#ffffff", "-o", blank, "x"))
        self.assertFails(self.vqr("decode", blank), 1, "qr_decode: no QR code found in image")
        self.assertFails(self.vqr("decode", self.path("missing.png")), 1,
                         "qr_png_read_file: stbi_load failed (not a valid PNG?)")
        self.assertFails(self.vqr("decode", "-", stdin=b"1234"), 1,
                         "qr_decode_from_memory: data too small")
        self.assertFails(self.vqr("decode", "-", stdin=b"not an image at all"), 1,
                         "qr_decode_from_memory: stbi_load_from failed (not a valid image?)")
        # A miss among hits: the hits are printed, the exit code says 1.
        good = self.path("good.png")
        self.assertQuietSuccess(self.vqr("encode", "-o", good, "fine"))
        code, out, err = self.vqr("decode", good, blank)
        self.assertEqual(code, 1)
        self.assertEqual(out.decode(), f"{good}: fine\n")
        self.assertIn("no QR code found", err)


class Payloads(CliTest):
    def decoded(self, path):
        code, out, err = self.vqr("decode", path)
        self.assertEqual(code, 0, err)
        return out.decode("utf-8")[:-1]

    def test_payload_commands_read_back(self):
        cases = [
            (("wifi", "--ssid", "Home", "--password", "s3cret"), "WIFI:T:WPA;S:Home;P:s3cret;;"),
            (("wifi", "--ssid", "Cafe", "--security", "nopass"), "WIFI:T:nopass;S:Cafe;;"),
            (("wifi", "--ssid", "a;b", "--password", 'p:"w', "--security", "wpa3", "--hidden"),
             'WIFI:T:WPA;S:a\\;b;H:true;P:p\\:\\"w;;'),
            (("wifi", "--ssid", "Guest", "--security", "None", "--hidden"),
             "WIFI:T:nopass;S:Guest;H:true;;"),
            (("wifi", "--ssid", "Old", "--password", "k", "--security", "wep"),
             "WIFI:T:WEP;S:Old;P:k;;"),
            (("vcard", "--name", "Ada Lovelace", "--email", "ada@example.org"),
             "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\n"
             "EMAIL:ada@example.org\r\nEND:VCARD\r\n"),
            (("email", "--to", "ada@example.org", "--subject", "Hi there"),
             "mailto:ada@example.org?subject=Hi%20there"),
            (("sms", "--phone", "+1 555 0100", "--message", "hello"), "smsto:+15550100:hello"),
            (("geo", "--lat", "-33.8688", "--lon", "151.2093"), "geo:-33.868800,151.209300"),
        ]
        for args, expected in cases:
            with self.subTest(cmd=args[0], expected=expected[:20]):
                out = self.path(args[0] + ".png")
                self.assertQuietSuccess(self.vqr(*args, "-s", "4", "-o", out))
                self.assertEqual(self.decoded(out), expected)
                self.assertEqual(zxing(out), expected)

    def test_event(self):
        out = self.path("event.png")
        self.assertQuietSuccess(self.vqr("event", "--title", "Launch", "--start",
                                         "2024-05-01T10:30:00Z", "--location", "Hall 2",
                                         "-p", "corporate", "-s", "3", "-o", out))
        text = self.decoded(out)
        for line in ("BEGIN:VCALENDAR", "DTSTART:20240501T103000Z", "SUMMARY:Launch",
                     "LOCATION:Hall 2", "END:VCALENDAR"):
            self.assertIn(line + "\r\n", text)

    def test_payload_refusals_name_the_option(self):
        out = self.path("f.png")
        cases = [
            (("geo", "--lat", "91", "--lon", "0"), "--lat, --lon: out of range",
             "qr_build_geo: lat/lon out of range"),
            (("email", "--to", ""), "--to: an address is required",
             "qr_build_email: bad args (to required)"),
            (("sms", "--phone", "call me"), "--phone: a number needs at least one digit",
             "qr_build_sms: bad args (phone required)"),
            (("vcard", "--name", "x", "--email", "a@b\nTEL:1"), "--phone, --email: a line break",
             "qr_build_vcard: line break in phone or email"),
            (("event", "--title", "t", "--start", "2024-13-01"),
             "--start: not a date or date-time such as 2024-05-01T10:30:00Z",
             "qr_build_event: bad start timestamp (need ISO 8601)"),
            (("event", "--title", "t", "--start", "2024-05-01", "--end", "x"),
             "--end: not a date or date-time", "qr_build_event: bad end timestamp (need ISO 8601)"),
            (("event", "--title", "t", "--start", "2024-05-01T10:00+02", "--end",
              "2024-05-01T07:59Z"), "--end: before --start", "qr_build_event: end before start"),
            (("event", "--title", "x" * 2000, "--start", "2024-05-01"),
             "--title, --location: too long", "qr_build_event: payload too long"),
        ]
        for args, plain, library in cases:
            with self.subTest(plain=plain):
                self.assertFails(self.vqr(*args, "-o", out), 2, plain)
                self.assertNotIn(library, self.vqr(*args, "-o", out)[2])
                self.assertFails(self.vqr(*args, "-v", "-o", out), 2, library)
        self.assertFalse(os.path.exists(out))
        for security in ("WPA4", "sae", ""):
            with self.subTest(security=security):
                self.assertFails(self.vqr("wifi", "--ssid", "x", "--security", security, "-o", out),
                                 2, f"invalid value '{security}'")
        self.assertFalse(os.path.exists(out))

    def test_source_date_epoch_makes_events_reproducible(self):
        args = ("event", "--title", "t", "--start", "2024-05-01", "-s", "2")
        env = dict(os.environ, SOURCE_DATE_EPOCH="1714559400")
        codes = []
        for name in ("a.png", "b.png"):
            code, _, err = run([VQR, *args, "-o", self.path(name)], env=env)
            self.assertEqual((code, err), (0, ""))
            with open(self.path(name), "rb") as f:
                codes.append(f.read())
        self.assertEqual(codes[0], codes[1])
        self.assertIn("DTSTAMP:20240501T103000Z\r\n", self.decoded(self.path("a.png")))
        env["SOURCE_DATE_EPOCH"] = "soon"
        code, _, err = run([VQR, *args, "-o", self.path("c.png")], env=env)
        self.assertEqual(code, 2)
        self.assertIn("SOURCE_DATE_EPOCH: not a whole number of seconds", err)


class Verify(CliTest):
    def test_verify_passes_on_readable_looks_and_fails_on_a_covering_logo(self):
        # A logo far wider than its box is drawn at the scale floor, larger
        # than the box, and hides most of the symbol.
        logo = self.path("wide-logo.png")
        write_black_png(logo, 3000)
        writes = [
            ("encode", "-o", self.path("v.png"), "verify me"),
            ("encode", "-o", self.path("v.svg"), "verify me"),
            ("encode", "-f", "svg", "-o", "-", "verify me"),
            ("encode", "-o", "-", "verify me"),
            ("wifi", "--ssid", "Home", "-o", self.path("w.png")),
            ("geo", "--lat", "1.5", "--lon", "2", "-s", "3", "-p", "dots",
             "-o", self.path("g.png")),
        ]
        scratch = self.path("tmp")
        os.mkdir(scratch)
        env = dict(os.environ, TMPDIR=scratch)
        for args in writes:
            with self.subTest(args=args):
                code, _, err = run([VQR, *args, "--verify"], env=env)
                self.assertEqual((code, err), (0, ""))
                code, _, err = run([VQR, *args, "--logo", logo, "--verify"], env=env)
                self.assertEqual(code, 1)
                self.assertIn("verify failed: grade F (minimum C), weakest decode: ", err)
        self.assertTrue(os.path.exists(self.path("v.png")))  # kept for a look
        self.assertEqual(os.listdir(scratch), [])  # no reference file left behind


    def test_verify_fails_looks_a_phone_cannot_read_and_names_the_parameter(self):
        looks = [
            (["--module-color", "#fcfcfc", "--ring-color", "#fcfcfc", "--center-color",
              "#fcfcfc"], "symbol contrast: contrast 3 %"),
            (["--module-color", "#eeeeee", "--ring-color", "#eeeeee", "--center-color",
              "#eeeeee"], "symbol contrast: contrast 15 %"),
            (["--module-color", "#ffff00"], "decode: a plain reader cannot read the code"),
            (["--module-color", "#ffffff", "--ring-color", "#ffffff", "--center-color",
              "#ffffff", "--background", "transparent"],
             "decode: a plain reader cannot read the code"),
        ]
        for look, reason in looks:
            with self.subTest(look=look):
                code, _, err = run([VQR, "encode", *look, "-o", self.path("p.png"), "--verify",
                                    "https://example.org"])
                self.assertEqual(code, 1)
                self.assertIn("verify failed: grade F (minimum C), weakest " + reason, err)
                # The same file graded on its own says the same.
                code, out, _ = run([VQR, "check", self.path("p.png")])
                self.assertEqual(code, 1)
                self.assertIn(b": grade F", out)


class Check(CliTest):
    def test_reports_exit_status_and_json(self):
        good, grey = self.path("good.png"), self.path("grey.png")
        self.assertQuietSuccess(self.vqr("encode", "-o", good, "graded"))
        # Light grey everywhere: contrast 0.396, just under C.
        self.assertQuietSuccess(self.vqr("encode", "--module-color", "#cccccc", "--ring-color",
                                         "#cccccc", "--center-color", "#cccccc", "-o", grey,
                                         "graded"))
        code, out, err = run([VQR, "check", good])
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out.decode().startswith(good + ': grade A (reads "graded")\n  A decode'), out)
        code, out, _ = run([VQR, "check", "--json", good, grey])
        self.assertEqual(code, 1)
        reports = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([r["file"] for r in reports], [good, grey])
        self.assertEqual([r["report"]["grade"] for r in reports], ["A", "D"])
        self.assertEqual(reports[1]["report"]["weakest"], "symbol contrast")
        self.assertEqual(run([VQR, "check", "--min-grade", "d", good, grey])[0], 0)
        with open(good, "rb") as f:
            self.assertEqual(run([VQR, "check", "-"], stdin=f.read())[0], 0)
        for args in (["check"], ["check", "--min-grade", "E", good], ["check", "--jsn", good]):
            with self.subTest(args=args):
                self.assertEqual(run([VQR, *args])[0], 2)
        code, _, err = run([VQR, "check", self.path("missing.png"), good])
        self.assertEqual(code, 1)
        self.assertIn("missing.png: qr_png_read_file: stbi_load failed", err)


class Batch(CliTest):
    def test_batch_from_stdin_and_file(self):
        items = [{"text": "alpha", "filename": "a"}, {"text": "beta", "filename": "b.png"}]
        self.assertQuietSuccess(self.vqr("batch", "-d", self.dir, "-s", "3",
                                         stdin=json.dumps(items).encode()))
        self.assertEqual(zxing(self.path("a.png")), "alpha")
        self.assertEqual(zxing(self.path("b.png")), "beta")
        src = self.path("items.json")
        with open(src, "w") as f:
            json.dump([{"text": "gamma", "filename": "c"}], f)
        code, out, err = self.vqr("batch", "-v", "-d", self.dir, src)
        self.assertEqual((code, out), (0, b""))
        self.assertIn("wrote 1 code to", err)

    def test_batch_failures(self):
        cases = [
            (b"[1,]", "qr_encode_batch: invalid JSON input"),
            (b"[]", "qr_encode_batch: empty array"),
            (b'{"text": "x"}', "qr_encode_batch: JSON input must be an array of {text,filename}"),
            (b'[{"text": ""}]', "qr_encode_batch: item with empty text"),
        ]
        for data, message in cases:
            with self.subTest(message=message):
                self.assertFails(self.vqr("batch", "-d", self.dir, stdin=data), 1, message)
        self.assertFails(self.vqr("batch", "-d", self.dir, self.path("none.json")), 1,
                         "cannot read")

    def test_output_folders_that_cannot_be_used_are_named(self):
        items = json.dumps([{"text": "a"}]).encode()
        with open(self.path("file"), "w"):
            pass
        cases = [
            (self.path("missing"), f"the output folder '{self.path('missing')}' does not exist"),
            (self.path("missing/deeper"), "does not exist; create it first"),
            (self.path("file"), f"'{self.path('file')}' is not a folder"),
        ]
        for folder, message in cases:
            with self.subTest(folder=folder):
                self.assertFails(self.vqr("batch", "-d", folder, stdin=items), 1, message)
        self.assertEqual(sorted(os.listdir(self.dir)), ["file"])

    def test_a_full_filesystem_fails_each_item_with_its_cause(self):
        # A 16 KiB tmpfs of its own, mounted in a private mount namespace
        # (as root, or as a user mapped to root) so nothing outlives the test.
        items = [{"text": f"item {i} " * 8, "filename": f"t{i}"} for i in range(8)]
        src, mount = self.path("items.json"), self.path("small")
        with open(src, "w") as f:
            json.dump(items, f)
        os.mkdir(mount)
        script = ('mount -t tmpfs -o size=16k tmpfs "$1" || exit 99; "$2" batch -j 1 -s 8 '
                  '-d "$1" "$3"; rc=$?; ls -A "$1"; exit $rc')
        code, out, err = run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
                              script, "sh", mount, VQR, src])
        if code == 99 or "unshare" in err:
            self.skipTest(f"cannot mount a small filesystem here: {err.strip()}")
        self.assertEqual(code, 1, err)
        written = out.decode().split()
        failed = [i for i in range(8) if f"t{i}.png" not in written]
        self.assertTrue(written and failed, (written, err))
        for i in failed:
            self.assertIn(f"item {i} ({mount}/t{i}.png): qr_encode_to_file: short write", err)
        self.assertEqual([n for n in written if not n.endswith(".png")], [], "no temporary")
        self.assertIn(f"{len(failed)} of 8 items failed", err)


class BatchScaleOut(CliTest):
    """Workers and shards must leave exactly the files one process leaves."""

    def written(self, folder):
        files = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                files[name] = f.read()
        return files

    def test_workers_and_shards_match_one_process(self):
        # Items i and i + 10 write the same file (the later one must win);
        # with two shards both fall into the same shard. Item 7 fails.
        items = [{"text": f"item {i}", "filename": f"f{i % 10}"} for i in range(40)]
        items[7] = {"text": "", "filename": "f7"}
        src = self.path("items.json")
        with open(src, "w") as f:
            json.dump(items, f)
        runs = {
            "one": [("-j", "1")],
            "two": [("-j", "2")],
            "four": [("-j", "4")],
            "shards": [("--shard", "1/2", "-j", "2"), ("--shard", "0/2")],
        }
        results = {}
        for label, invocations in runs.items():
            out = self.path(label)
            os.mkdir(out)
            for extra in invocations:
                code, stdout, err = self.vqr("batch", "-s", "2", "-d", out, *extra, src)
                if "0/2" in extra:  # the even items: all written
                    self.assertEqual((code, stdout, err), (0, b"", ""))
                else:
                    self.assertEqual((code, stdout), (1, b""), err)
                    self.assertIn(f"item 7 ({out}/f7.png): qr_encode_batch: item with empty text",
                                  err)
            results[label] = self.written(out)
        self.assertEqual(sorted(results["one"]), [f"f{i}.png" for i in range(10)])
        self.assertEqual(zxing(self.path("one/f3.png")), "item 33")
        self.assertEqual(zxing(self.path("one/f7.png")), "item 37")
        self.assertEqual(results["two"], results["one"])
        self.assertEqual(results["four"], results["one"])
        self.assertEqual(results["shards"], results["one"])

    def test_gnu_parallel_shards_match_one_process(self):
        # The README's GNU parallel line, on this machine alone.
        if shutil.which("parallel") is None:
            self.skipTest("GNU parallel is not installed (scripts/setup.sh installs it)")
        items = [{"text": f"ticket {i}", "filename": f"tickets/t{i}"} for i in range(13)]
        with open(self.path("tickets.json"), "w") as f:
            json.dump(items, f)
        for out in ("out", "out1"):
            os.mkdir(self.path(out))
        code, _, err = run([VQR, "batch", "-d", "out1/", "tickets.json"], cwd=self.dir)
        self.assertEqual(code, 0, err)
        code, _, err = run(["parallel", VQR, "batch", "--shard", "{}/4", "-d", "out/",
                            "tickets.json", ":::", "0", "1", "2", "3"], cwd=self.dir)
        self.assertEqual(code, 0, err)
        self.assertEqual(len(self.written(self.path("out1"))), 13)
        self.assertEqual(self.written(self.path("out")), self.written(self.path("out1")))

    def test_shards_of_an_uneven_count_take_every_item(self):
        items = [{"text": f"item {i}", "filename": f"i{i}"} for i in range(3)]
        for shard, expected in (("0/2", ["i0.png", "i2.png"]), ("1/2", ["i1.png"]),
                                ("2/4", ["i2.png"]), ("3/4", [])):
            with self.subTest(shard=shard):
                out = self.path("shard" + shard.replace("/", "-"))
                os.mkdir(out)
                code, _, err = self.vqr("batch", "--shard", shard, "-d", out,
                                        stdin=json.dumps(items).encode())
                self.assertEqual(code, 0, err)
                self.assertEqual(sorted(os.listdir(out)), expected)

    def wait_for(self, condition, what):
        deadline = time.monotonic() + 60
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.005)

    def test_failing_items_among_many_threads_name_their_own_cause(self):
        # Each failure comes from a different place: the library's batch
        # (empty text, a folder's name), the file write (a folder in the way).
        out = self.path("out")
        os.mkdir(out)
        os.mkdir(os.path.join(out, "taken.png"))
        items = [{"text": f"item {i}", "filename": f"f{i}"} for i in range(60)]
        failures = {
            11: ({"text": ""}, "item 11 ({out}/f11.png): qr_encode_batch: item with empty text"),
            23: ({"filename": "taken"}, "item 23 ({out}/taken.png): qr_encode_to_file: "),
            37: ({"filename": ".."}, "item 37: qr_encode_batch: "),
        }
        for i, (change, _) in failures.items():
            items[i].update(change)
        code, stdout, err = self.vqr("batch", "-j", "4", "-s", "2", "-d", out,
                                     stdin=json.dumps(items).encode())
        self.assertEqual((code, stdout), (1, b""), err)
        for i, (_, message) in failures.items():
            self.assertIn(message.format(out=out), err)
        self.assertIn("3 of 60 items failed; 57 written", err)
        self.assertEqual(temporaries(out), [])

    def test_an_interrupted_batch_leaves_no_temporary_names(self):
        # The signal comes while the worker threads are writing.
        out = self.path("out")
        os.mkdir(out)
        items = json.dumps([{"text": "x", "filename": f"n{i}"} for i in range(10000)])
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                # A shell's background job inherits SIGINT ignored, and so would vqr.
                proc = subprocess.Popen([VQR, "batch", "-j", "4", "-d", out],
                                        stdin=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        preexec_fn=lambda: signal.signal(sig, signal.SIG_DFL))
                proc.stdin.write(items.encode())
                proc.stdin.close()
                self.wait_for(lambda: len(os.listdir(out)) > 20 or proc.poll() is not None,
                              "the workers write")
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=60), -sig)
                self.assertEqual(temporaries(out), [])

    def test_empty_directory_option_writes_nothing(self):
        src = self.path("items.json")
        with open(src, "w") as f:
            json.dump([{"text": "x"}], f)
        code, out, err = run([VQR, "batch", "-d", "", src], cwd=self.dir)
        self.assertEqual((code, out), (2, b""))
        self.assertIn("-d/--directory is empty", err)
        self.assertEqual(os.listdir(self.dir), ["items.json"])

    def test_bad_scale_out_values_are_usage_errors(self):
        for args in (("-j", "0"), ("--shard", "2/2"), ("--shard", "1"), ("--shard", "-1/2")):
            with self.subTest(args=args):
                self.assertFails(self.vqr("batch", "-d", self.dir, *args), 2, "invalid value")


if __name__ == "__main__":
    unittest.main()


# ---- Print-ready output ---------------------------------------------------------------------

URL = "https://example.orgabcdefgh"  # version 3: 29 modules, 37 with the quiet zone of 4


def png_chunks(data):
    """(type, body) of every chunk, in order."""
    chunks, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc = struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]
        assert crc == zlib.crc32(kind + body), kind
        chunks.append((kind, body))
        at += 12 + length
    return chunks


def half_blocks_to_png(text, path, invert=False, scale=4):
    """Turns a code drawn with half blocks back into a PNG: each character is
    two pixel rows, a block half is drawn in the text colour (dark, or light
    on a dark terminal with invert), a blank one in the background colour."""
    halves = {" ": (0, 0), "\u2580": (1, 0), "\u2584": (0, 1), "\u2588": (1, 1)}
    grid = []
    for line in text.splitlines():
        pairs = [halves[ch] for ch in line]
        grid += [[p[0] for p in pairs], [p[1] for p in pairs]]
    rows = b""
    for cells in grid:
        row = bytes((255 if drawn == invert else 0) for drawn in cells for _ in range(scale))
        rows += (b"\0" + row) * scale
    side_x, side_y = len(grid[0]) * scale, len(grid) * scale

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    with open(path, "wb") as f:
        f.write(PNG_MAGIC + chunk(b"IHDR", struct.pack(">IIBBBBB", side_x, side_y, 8, 0, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class PrintReady(CliTest):
    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def test_size_and_dpi_give_the_module_size_and_resolution(self):
        # 30 mm at 300 dpi is 354.33 px; 354.33 / 37 modules = 9.58, so 9 px per
        # module and 333 px; 300 dpi is 11811 pixels per metre.
        code, _, err = self.vqr("encode", "--size", "30mm", "--dpi", "300", "-v",
                                "-o", self.path("a.png"), URL)
        self.assertEqual(code, 0, err)
        self.assertIn("9 px per module", err)
        data = self.read("a.png")
        chunks = png_chunks(data)
        self.assertEqual([k for k, _ in chunks[:2]], [b"IHDR", b"pHYs"])
        self.assertEqual(chunks[1][1], struct.pack(">IIB", 11811, 11811, 1))
        self.assertEqual(png_size(self.path("a.png")), (333, 333))
        # Without the pHYs chunk it is the default PNG at -s 9, byte for byte;
        # without --dpi nothing is added.
        self.assertQuietSuccess(self.vqr("encode", "-s", "9", "-o", self.path("b.png"), URL))
        self.assertEqual(data[:33] + data[33 + 21:], self.read("b.png"))
        self.assertQuietSuccess(self.vqr("encode", "--size", "333px", "-o", self.path("c.png"),
                                         URL))
        self.assertEqual(self.read("c.png"), self.read("b.png"))
        self.assertEqual(zxing(self.path("a.png")), URL)

    def test_svg_gets_its_size_in_the_unit_asked(self):
        cases = [  # size, dpi, width and height, viewBox side
            (("--size", "30mm", "--dpi", "300"), "28.19mm", 333),
            (("--size", "3cm"), "2.819cm", 333),           # 300 dpi unless told
            (("--size", "1.2in", "--dpi", "300"), "1.11in", 333),  # 360 px: 9 per module
            (("--size", "1.2in", "--dpi", "600"), "1.1717in", 703),  # 720 / 37 = 19
            (("--dpi", "254", "-s", "10"), "37mm", 370),      # --dpi alone: mm
            (("--size", "400px"), "370", 370),               # no physical unit
        ]
        for args, length, side in cases:
            with self.subTest(args=args):
                out = self.path("a.svg")
                self.assertQuietSuccess(self.vqr("encode", *args, "-o", out, URL))
                with open(out, encoding="utf-8") as f:
                    head = f.read(400)
                self.assertIn(f' width="{length}" height="{length}" viewBox="0 0 {side} {side}"',
                              head)

    def test_warns_below_the_printable_limits_only(self):
        cases = [  # size at 300 dpi, warns about the modules, about the symbol
            ("30mm", False, False),  # 9 px = 0.76 mm, 29 x 9 px = 22.1 mm
            ("20mm", False, True),   # 6 px = 0.51 mm, 14.7 mm
            ("10mm", True, True),    # 3 px = 0.25 mm, 7.4 mm
        ]
        for size, module_warning, symbol_warning in cases:
            with self.subTest(size=size):
                code, _, err = self.vqr("encode", "--size", size, "--dpi", "300",
                                        "-o", self.path("a.png"), URL)
                self.assertEqual(code, 0, err)
                self.assertEqual("below 0.4 mm" in err, module_warning, err)
                self.assertEqual("below 15 mm" in err, symbol_warning, err)
        # Pixels alone have no physical size, so no warning.
        self.assertQuietSuccess(self.vqr("encode", "--size", "40px", "-o", self.path("a.png"), URL))

    def test_bad_sizes_are_usage_errors(self):
        for args in (("--size", "30"), ("--size", "3 cm"), ("--size", "-3cm"), ("--size", "0mm"),
                     ("--dpi", "0"), ("--size", "30pt")):
            with self.subTest(args=args):
                self.assertFails(self.vqr("encode", *args, "-o", self.path("a.png"), URL), 2,
                                 "invalid value")
        self.assertFails(self.vqr("encode", "--size", "20px", "-o", self.path("a.png"), URL), 2,
                         "too small for 37 modules")
        self.assertFalse(os.path.exists(self.path("a.png")))

    def test_payload_codes_take_size_and_dpi(self):
        # Wi-Fi "Home": 25 modules + 2 x 2; 3 cm at 600 dpi is 708.66 px, 24 px
        # per module, 696 px; 600 dpi is 23622 pixels per metre.
        out = self.path("w.png")
        self.assertQuietSuccess(self.vqr("wifi", "--ssid", "Home", "--size", "3cm", "--dpi", "600",
                                         "-o", out))
        self.assertEqual(png_size(out), (696, 696))
        chunks = png_chunks(self.read("w.png"))
        self.assertEqual(chunks[1], (b"pHYs", struct.pack(">IIB", 23622, 23622, 1)))
        self.assertEqual(zxing(out), "WIFI:T:WPA;S:Home;;")
        self.assertEqual(os.listdir(self.dir), ["w.png"])

    def test_unknown_extensions_are_refused_before_writing(self):
        for name in ("code.jpg", "code.pdf", "code.png.txt", "code.SVGZ"):
            with self.subTest(name=name):
                self.assertFails(self.vqr("encode", "-o", self.path(name), "x"), 2,
                                 "name a .png or .svg file")
                self.assertFails(self.vqr("wifi", "--ssid", "x", "-o", self.path(name)), 2,
                                 "name a .png file")
        self.assertEqual(os.listdir(self.dir), [])
        for name, args in (("a.PNG", ()), ("b.Svg", ()), ("c", ()), ("d.jpg", ("-f", "png"))):
            self.assertQuietSuccess(self.vqr("encode", *args, "-o", self.path(name), "x"))
        with open(self.path("b.Svg"), "rb") as f:
            self.assertTrue(f.read(5) == b"<?xml")

    def test_terminal_drawing_reads_back(self):
        for args, invert in ((("-t",), False), (("-t", "--invert"), True)):
            with self.subTest(args=args):
                code, out, err = self.vqr("encode", *args, URL)
                self.assertEqual((code, err), (0, ""))
                text = out.decode("utf-8")
                lines = text.splitlines()
                self.assertEqual(len(lines), (37 + 1) // 2)  # quiet zone included
                self.assertTrue(all(len(line) == 37 for line in lines))
                half_blocks_to_png(text, self.path("t.png"), invert=invert)
                self.assertEqual(zxing(self.path("t.png")), URL)
        # With -o the file is written too, in the asked look.
        code, out, _ = self.vqr("encode", "-t", "-p", "neon", "-o", self.path("n.png"), URL)
        self.assertEqual(code, 0)
        self.assertIn("\u2588".encode(), out)
        self.assertTrue(self.read("n.png").startswith(PNG_MAGIC))

    def test_stdout_on_a_terminal_draws_and_on_a_pipe_writes_bytes(self):
        import pty
        primary, secondary = pty.openpty()
        try:
            proc = subprocess.run([VQR, "encode", "-o", "-", URL], stdout=secondary,
                                  stderr=subprocess.PIPE, timeout=60, check=False)
            os.close(secondary)
            secondary = None
            drawn = b""
            while True:
                try:
                    piece = os.read(primary, 65536)
                except OSError:
                    break
                if not piece:
                    break
                drawn += piece
        finally:
            os.close(primary)
            if secondary is not None:
                os.close(secondary)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertNotIn(PNG_MAGIC, drawn)
        half_blocks_to_png(drawn.decode("utf-8").replace("\r", ""), self.path("t.png"))
        self.assertEqual(zxing(self.path("t.png")), URL)
        code, png, _ = self.vqr("encode", "-o", "-", URL)
        self.assertEqual(code, 0)
        self.assertTrue(png.startswith(PNG_MAGIC))
