"""The installed vqr tool, run as a user would: exit codes, what goes to
stdout and stderr, and that what it writes reads back."""

import json
import os
import re
import struct
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
                    self.assertIn("item 7: qr_encode_batch: item with empty text", err)
            results[label] = self.written(out)
        self.assertEqual(sorted(results["one"]), [f"f{i}.png" for i in range(10)])
        self.assertEqual(zxing(self.path("one/f3.png")), "item 33")
        self.assertEqual(zxing(self.path("one/f7.png")), "item 37")
        self.assertEqual(results["two"], results["one"])
        self.assertEqual(results["shards"], results["one"])

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
