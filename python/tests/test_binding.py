"""The Python binding, one test class per family, run against the library
the package finds (the installed one under CTest)."""

import contextlib
import io
import os
import struct
import subprocess
import tempfile
import unittest

import vantelor_qrcode as qr

READER = os.environ.get("VQR_ZXING_READ")  # independent reader, optional


def png_size(data):
    """Width and height from a PNG's IHDR chunk."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", data[:8]
    return struct.unpack(">II", data[16:24])


class Base(unittest.TestCase):
    def setUp(self):
        qr.init()
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        qr.cleanup()
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def assertQRError(self, message, fn, *args, **kwargs):
        with self.assertRaises(qr.QRError) as cm:
            fn(*args, **kwargs)
        self.assertEqual(cm.exception.message, message)
        self.assertEqual(str(cm.exception), message)


class LifecycleTest(Base):
    def test_versions_by_level(self):
        cases = [("HELLO", "L", 1), ("", "M", 1), ("a" * 2953, "L", 40), ("a" * 100, "H", 10),
                 ("a" * 100, 3, 10), ("a" * 100, "h", 10)]
        for text, level, version in cases:
            with self.subTest(length=len(text), level=level):
                self.assertEqual(qr.symbol_version(text, level), version)

    def test_too_long_text_raises(self):
        with self.assertRaises(qr.QRError):
            qr.symbol_version("a" * 2954, "L")

    def test_bad_arguments_are_refused_before_the_library(self):
        for level in ("X", 4, -1, None, True):
            with self.subTest(level=level), self.assertRaises(ValueError):
                qr.symbol_version("a", level)
        with self.assertRaises(ValueError):
            qr.encode_png("a\0b")
        with self.assertRaises(TypeError):
            qr.encode_png(42)

    def test_last_error_is_empty_after_init_and_keeps_a_failure(self):
        self.assertEqual(qr.last_error(), "")
        self.assertQRError("qr_encode: empty text", qr.encode_png, "")
        qr.encode_png("ok")
        self.assertEqual(qr.last_error(), "qr_encode: empty text")


class StyleTest(Base):
    def test_unknown_preset_raises_with_the_library_message(self):
        self.assertQRError(
            "qr_apply_preset: unknown preset (modern/dots/elegant/neon/corporate/minimal)",
            qr.apply_preset, "Neon")

    def test_every_preset_changes_the_picture(self):
        plain = qr.encode_png("style", module_size=4)
        seen = {plain}
        for name in qr.PRESETS:
            with self.subTest(preset=name), qr.Style(name):
                png = qr.encode_png("style", module_size=4)
                self.assertNotIn(png, seen)
                seen.add(png)
        self.assertEqual(qr.encode_png("style", module_size=4), plain, "context restores the defaults")

    def test_options_refine_a_preset(self):
        with qr.Style("neon"):
            neon = qr.encode_png("refine", module_size=4)
        with qr.Style("neon", module_style="block", ring_style=0):
            refined = qr.encode_png("refine", module_size=4)
        self.assertNotEqual(neon, refined)

    def test_invalid_style_values_raise_value_error(self):
        bad = [dict(preset="Neon"), dict(module_style="square"), dict(module_style=6),
               dict(ring_style="round"), dict(center_style=3), dict(module_color="#12345"),
               dict(module_color=(0, 0, 256)), dict(background="#12345678ff"),
               dict(logo_size=0.0), dict(logo_size=0.6), dict(logo_margin=-1)]
        for kwargs in bad:
            with self.subTest(**{k: repr(v) for k, v in kwargs.items()}):
                with self.assertRaises(ValueError):
                    qr.Style(**kwargs)
        with self.assertRaises(TypeError):
            qr.Style(module_gradient="#ff0000")
        with self.assertRaises(ValueError):
            qr.Gradient("#000000", "#ffffff", kind="conic")

    def test_transparent_background_gives_transparent_corners(self):
        with qr.Style(background="#ffffff00", module_gradient=qr.Gradient("#ff0000", "#0000ff", rotation=45)):
            png = qr.encode_png("alpha", module_size=2)
        # Colour type 6 (RGBA), 8 bits: the writer keeps the alpha channel.
        self.assertEqual(png[24:26], b"\x08\x06")

    def test_missing_logo_fails_the_encode(self):
        with qr.Style(logo=self.path("missing.png")):
            self.assertQRError("qr_png_read_file: stbi_load failed (not a valid PNG?)",
                               qr.encode_png, "logo")


class NestedStyleTest(Base):
    TEXT = "nested"

    def png(self, **kwargs):
        return qr.encode_png(self.TEXT, module_size=3, **kwargs)

    def test_each_block_restores_the_look_it_found(self):
        plain = self.png()
        with qr.Style("neon"):
            neon = self.png()
            qr.apply_preset("dots")  # a change made inside a block is part of its look
            neon_dots = self.png()
            with qr.Style("elegant", module_color="#aa0000"):
                inner = self.png()
            self.assertEqual(self.png(), neon_dots)
        self.assertEqual(self.png(), plain)
        self.assertEqual(len({plain, neon, neon_dots, inner}), 4)

    def test_style_argument_applies_to_one_call(self):
        outer, one_call = qr.Style("corporate"), qr.Style("minimal", module_style="disc")
        with outer:
            before = self.png()
            styled = {
                "png": self.png(style=one_call),
                "svg": qr.encode_svg(self.TEXT, module_size=3, style=one_call).encode(),
            }
            self.assertEqual(self.png(), before)
            with one_call:
                self.assertEqual(self.png(), styled["png"])
                self.assertEqual(qr.encode_svg(self.TEXT, module_size=3).encode(), styled["svg"])
            # A failing call restores the look too.
            self.assertQRError("qr_png_read_file: stbi_load failed (not a valid PNG?)",
                               self.png, style=qr.Style(logo=self.path("missing.png")))
            self.assertEqual(self.png(), before)
        for fn, args in ((qr.encode_png, ("x",)), (qr.save, ("x", self.path("x.png"))),
                         (qr.wifi, ("net",))):
            with self.subTest(fn=fn.__name__), self.assertRaises(TypeError):
                fn(*args, **({"path": self.path("w.png")} if fn is qr.wifi else {}),
                   style="neon")

    def test_reset_inside_a_block_lasts_until_the_block_ends(self):
        plain = self.png()
        with qr.Style("neon"):
            neon = self.png()
            qr.reset_style()
            self.assertEqual(self.png(), plain)
            with qr.Style("dots"):
                pass
            self.assertEqual(self.png(), plain)
        with qr.Style("neon"):
            self.assertEqual(self.png(), neon)


class VerifyTest(Base):
    TEXT = "https://example.org/verify"

    def unreadable_looks(self):
        """Looks our decoder cannot read, with the start of the message each gives."""
        logo = self.path("other-code.png")
        qr.save("ANOTHER CODE " * 6, logo, module_size=4)
        return [
            ("white on white", qr.Style(module_color="#ffffff", ring_color="#ffffff",
                                        center_color="#ffffff"),
             "verify: grade F (minimum C), weakest decode: a plain reader cannot read the code "
             "(qr_decode: no QR code found"),
            # A logo that is itself a QR code, covering half the side, is what
            # the decoder finds instead.
            ("logo over the code", qr.Style(logo=logo, logo_size=0.5, logo_margin=0),
             "verify: grade F (minimum C), weakest decode: the code reads back as a different "
             "text"),
        ]

    def test_readable_looks_pass(self):
        # "neon" grades F: its magenta gradient end is little lighter than
        # its dark background in linear light.
        for preset in (None,) + tuple(p for p in qr.PRESETS if p != "neon"):
            with self.subTest(preset=preset):
                style = qr.Style(preset)
                png = qr.encode_png(self.TEXT, style=style, verify=True)
                self.assertEqual(qr.decode(png), self.TEXT)
                for name in ("code.png", "code.svg"):
                    qr.save(self.TEXT, self.path(name), style=style, verify=True)

    def test_unreadable_looks_raise_and_say_why(self):
        for name, style, message in self.unreadable_looks():
            calls = {
                "encode_png": lambda: qr.encode_png(self.TEXT, style=style, verify=True),
                "save png": lambda: qr.save(self.TEXT, self.path("v.png"), style=style,
                                            verify=True),
                "save svg": lambda: qr.save(self.TEXT, self.path("v.svg"), style=style,
                                            verify=True),
            }
            for call, fn in calls.items():
                with self.subTest(look=name, call=call):
                    with self.assertRaises(qr.VerifyError) as cm:
                        fn()
                    self.assertTrue(str(cm.exception).startswith(message), cm.exception)
                    self.assertIsInstance(cm.exception, qr.QRError)
            # Without verify the same look encodes without complaint.
            qr.encode_png(self.TEXT, style=style)


class CheckTest(Base):
    def test_report_from_bytes_and_path(self):
        png = qr.encode_png("graded", quiet_zone=1)
        path = self.path("graded.png")
        with open(path, "wb") as f:
            f.write(png)
        for source in (png, path):
            with self.subTest(source=type(source)):
                report = qr.check(source)
                # A quiet zone of 1 module reads on white paper but holds the grade at B.
                self.assertEqual((report.grade, report.score, report.passes), ("B", 3.0, True))
                self.assertEqual((report.weakest, report.text), ("quiet zone", "graded"))
                self.assertEqual(report.parameters[0].name, "quiet zone")  # worst first
                self.assertEqual([p.score for p in report.parameters],
                                 sorted(p.score for p in report.parameters))
                self.assertEqual(len(report.parameters), 8)
        self.assertFalse(qr.check(png, min_grade="A").passes)
        self.assertEqual(qr.check(png, expected="other").weakest, "decode")
        as_dict = qr.check(png).to_dict()
        self.assertEqual(set(as_dict["parameters"][0]), {"name", "value", "grade", "score", "hint"})

    def test_no_code_is_a_report_and_no_image_an_error(self):
        blank = qr.encode_png("x", style=qr.Style(module_color="#ffffff", ring_color="#ffffff",
                                                  center_color="#ffffff"))
        report = qr.check(blank)
        self.assertEqual((report.grade, report.text, report.weakest), ("F", None, "decode"))
        with self.assertRaises(qr.QRError) as cm:
            qr.check(b"not an image at all")
        self.assertIn("stbi_load_from failed", cm.exception.message)
        with self.assertRaises(ValueError):
            qr.check(blank, min_grade="E")


class EncodeTest(Base):
    def test_png_geometry(self):
        # Version 1 is 21 modules: (21 + 2 * 4) * 10 = 290 pixels.
        self.assertEqual(png_size(qr.encode_png("A", module_size=10, quiet_zone=4)), (290, 290))
        self.assertEqual(png_size(qr.encode_png("A", module_size=1, quiet_zone=0)), (21, 21))
        self.assertEqual(png_size(qr.encode_png(b"A", level="H", module_size=3)), (87, 87))

    def test_save_png_by_extension_and_never_on_failure(self):
        target = self.path("code.png")
        qr.save("to a file", target, module_size=2)
        with open(target, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        untouched = self.path("kept.png")
        with open(untouched, "wb") as f:
            f.write(b"keep")
        self.assertQRError("qr_encode: empty text", qr.save, "", untouched)
        with open(untouched, "rb") as f:
            self.assertEqual(f.read(), b"keep")
        self.assertQRError("qr_encode_to_file: cannot open output path for writing",
                           qr.save, "x", self.path("no/such/dir.png"))

    def test_text_too_long(self):
        self.assertQRError("qr_encode: text too long to fit in any QR version (max 40)",
                           qr.encode_png, "a" * 2954, level="L")

    def test_svg_string_and_file(self):
        doc = qr.encode_svg("A", module_size=10, quiet_zone=4)
        self.assertTrue(doc.startswith('<?xml version="1.0" encoding="UTF-8"?>\n<svg'))
        self.assertIn('width="290" height="290" viewBox="0 0 290 290"', doc)
        self.assertTrue(doc.endswith("</svg>"))
        target = self.path("code.svg")
        qr.save("A", target, module_size=10, quiet_zone=4)
        with open(target, encoding="utf-8") as f:
            self.assertEqual(f.read(), doc)
        self.assertQRError("qr_svg: empty text", qr.encode_svg, "")


class DecodeTest(Base):
    def test_round_trip_from_file_and_memory(self):
        texts = ["hello", "Gr\u00fc\u00dfe aus K\u00f6ln", "x" * 500]
        for i, text in enumerate(texts):
            with self.subTest(i=i):
                png = qr.encode_png(text, module_size=4)
                self.assertEqual(qr.decode(png), text)
                target = self.path(f"{i}.png")
                with open(target, "wb") as f:
                    f.write(png)
                self.assertEqual(qr.decode(target), text)
                self.assertEqual(qr.decode(target, raw=True), text.encode("utf-8"))

    def test_every_preset_reads_back(self):
        # "neon" (light on dark, a gradient ending close to its background)
        # reads only at some sizes; the README's note on choosing a look says so.
        text = "https://example.org/presets"
        for name in qr.PRESETS:
            with self.subTest(preset=name), qr.Style(name):
                self.assertEqual(qr.decode(qr.encode_png(text, module_size=10)), text)

    def test_failures_carry_the_decoder_message(self):
        self.assertQRError("qr_decode_from_memory: data too small", qr.decode, b"1234567")
        self.assertQRError("qr_decode_from_memory: stbi_load_from failed (not a valid image?)",
                           qr.decode, b"12345678")
        self.assertQRError("qr_png_read_file: stbi_load failed (not a valid PNG?)",
                           qr.decode, self.path("missing.png"))
        blank = self.path("blank.png")
        with qr.Style(module_color="#ffffff", ring_color="#ffffff", center_color="#ffffff"):
            qr.save("invisible", blank, module_size=4)
        self.assertQRError("qr_decode: no QR code found in image", qr.decode, blank)


class PayloadTest(Base):
    def read(self, path):
        return qr.decode(path)

    def test_payloads_read_back(self):
        cases = [
            (qr.wifi, ("Home",), dict(password="secret"), "WIFI:T:WPA;S:Home;P:secret;;"),
            (qr.wifi, ("a;b",), dict(security="WEP"), "WIFI:T:WEP;S:a\\;b;;"),
            (qr.vcard, ("Ada Lovelace",), dict(phone="+44 20 7946 0000"),
             "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Lovelace;Ada;;;\r\nFN:Ada Lovelace\r\n"
             "TEL;TYPE=CELL:+44 20 7946 0000\r\nEND:VCARD\r\n"),
            (qr.email, ("ada@example.org",), dict(subject="Hi there", body="a&b"),
             "mailto:ada@example.org?subject=Hi%20there&body=a%26b"),
            (qr.sms, ("+1 (555) 010-9999",), dict(message="on my way"),
             "smsto:+1555010-9999:on my way"),
            (qr.geo, (-33.8688, 151.2093), {}, "geo:-33.868800,151.209300"),
        ]
        for i, (fn, args, kwargs, expected) in enumerate(cases):
            with self.subTest(fn=fn.__name__, i=i):
                target = self.path(f"p{i}.png")
                fn(*args, path=target, module_size=4, **kwargs)
                self.assertEqual(self.read(target), expected)

    def test_event_reads_back(self):
        target = self.path("event.png")
        qr.event("Launch", "2024-05-01T10:30:00Z", end="2024-05-01", location="Hall 2",
                 path=target, module_size=3)
        text = self.read(target)
        self.assertTrue(text.startswith("BEGIN:VCALENDAR\r\n"), text)
        for line in ("DTSTART:20240501T103000Z", "DTEND:20240501", "SUMMARY:Launch",
                     "LOCATION:Hall 2"):
            self.assertIn(line + "\r\n", text)

    def test_payload_failures(self):
        p = self.path("x.png")
        cases = [
            (qr.geo, (91, 0), "qr_build_geo: lat/lon out of range"),
            (qr.email, ("",), "qr_build_email: bad args (to required)"),
            (qr.sms, ("",), "qr_build_sms: bad args (phone required)"),
            (qr.event, ("t", "2024-05-01T10"), "qr_build_event: bad start timestamp (need ISO 8601)"),
        ]
        for fn, args, message in cases:
            with self.subTest(fn=fn.__name__):
                self.assertQRError(message, fn, *args, path=p)
        self.assertFalse(os.path.exists(p))

    def test_payload_text_is_what_the_encoder_draws(self):
        # Texts that need escaping, cutting or UTF-8 care; the event has no
        # clock-dependent lines once SOURCE_DATE_EPOCH is set.
        os.environ["SOURCE_DATE_EPOCH"] = "1700000000"
        self.addCleanup(os.environ.pop, "SOURCE_DATE_EPOCH")
        cases = [
            ("wifi", ("Caf\u00e9;Net", 'p"w:1\\'), dict(security="wpa3")),
            ("wifi", ("a,b",), dict(password="x", hidden=True)),
            ("vcard", ("\u00c5sa " + "N" * 300,), dict(phone="+1 2", email="a@b.c")),
            ("email", ("a@b.c",), dict(subject="50% & more?", body="line\nbreak")),
            ("sms", ("+1 (555) x-9",), dict(message="\u00fcber")),
            ("geo", (0.0000004, -180), {}),
            ("event", ("Meet; up", "2024-05-01T10:30:00Z"), dict(end="2024-05-02",
                                                                  location="Hall, 2")),
        ]
        for i, (kind, args, kwargs) in enumerate(cases):
            with self.subTest(kind=kind, i=i):
                target = self.path(f"t{i}.png")
                getattr(qr, kind)(*args, path=target, module_size=2, **kwargs)
                raw = qr.decode(target, raw=True)
                self.assertEqual(qr.payload_text(kind, *args, **kwargs), raw)
        self.assertQRError("qr_build_event: end before start", qr.payload_text, "event", "t",
                           "2024-05-02", end="2024-05-01")
        self.assertQRError("qr_build_geo: lat/lon out of range", qr.payload_text, "geo", 0, 181)
        with self.assertRaises(ValueError):
            qr.payload_text("text", "x")

    def test_batch_file_name_is_the_file_batch_writes(self):
        names = [None, "", "a/b:c\\d\ne", "x" * 300, "y" * 250, "z" * 251, "no period",
                 "keep.jpg", "\u00e9" * 200]
        for i, name in enumerate(names):
            with self.subTest(name=name and name[:20]):
                out = self.path(f"b{i}")
                os.mkdir(out)
                item = {"text": "x"} if name is None else {"text": "x", "filename": name}
                qr.batch([item], out, module_size=1)
                self.assertEqual(os.listdir(out), [qr.batch_file_name(name)])

    def test_batch(self):
        items = [{"text": "one", "filename": "first"}, {"text": "two", "filename": "../second"}]
        self.assertEqual(qr.batch(items, self.dir, module_size=3), 2)
        self.assertEqual(self.read(self.path("first.png")), "one")
        self.assertEqual(self.read(self.path(".._second")), "two")
        self.assertQRError("qr_encode_batch: invalid JSON input", qr.batch, "[1,]", self.dir)
        self.assertQRError("qr_encode_batch: empty array", qr.batch, [], self.dir)
        self.assertQRError("qr_encode_batch: item with empty text", qr.batch,
                           [{"text": ""}], self.dir)


class PrintSizeTest(Base):
    URL = "https://example.orgabcdefgh"  # 29 modules, 37 with the quiet zone

    @staticmethod
    def phys(data):
        """The pHYs chunk right after IHDR, and the PNG without it."""
        length, kind = struct.unpack(">I4s", data[33:41])
        return (kind, data[41:41 + length]) if kind == b"pHYs" else None, \
            data[:33] + data[45 + length:] if kind == b"pHYs" else data

    def test_png_size_and_dpi(self):
        # 30 mm at 300 dpi: 354.33 px / 37 modules = 9 px per module, 333 px.
        png = qr.encode_png(self.URL, size="30mm", dpi=300)
        self.assertEqual(png_size(png), (333, 333))
        chunk, rest = self.phys(png)
        self.assertEqual(chunk, (b"pHYs", struct.pack(">IIB", 11811, 11811, 1)))
        self.assertEqual(rest, qr.encode_png(self.URL, module_size=9))
        self.assertEqual(self.phys(qr.encode_png(self.URL, size="333px"))[0], None)
        self.assertEqual(qr.decode(png), self.URL)
        qr.save(self.URL, self.path("a.png"), size="30mm", dpi=300)
        with open(self.path("a.png"), "rb") as f:
            self.assertEqual(f.read(), png)

    def test_svg_width_and_height_in_the_unit(self):
        cases = [(dict(size="3cm"), "2.819cm", 333), (dict(size="1.2in", dpi=300), "1.11in", 333),
                 (dict(dpi=254), "37mm", 370), (dict(size="400px"), "370", 370)]
        for kwargs, length, side in cases:
            with self.subTest(**kwargs):
                doc = qr.encode_svg(self.URL, **kwargs)
                self.assertIn(f' width="{length}" height="{length}" viewBox="0 0 {side} {side}"',
                              doc)
                qr.save(self.URL, self.path("a.svg"), **kwargs)
                with open(self.path("a.svg"), encoding="utf-8") as f:
                    self.assertEqual(f.read(), doc)

    def test_warnings_below_the_printable_limits(self):
        import warnings
        for size, expected in (("30mm", 0), ("20mm", 1), ("10mm", 2), ("40px", 0)):
            with self.subTest(size=size), warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                qr.encode_png(self.URL, size=size, dpi=None if size.endswith("px") else 300)
                self.assertEqual(len([w for w in seen
                                      if issubclass(w.category, qr.PrintSizeWarning)]), expected)

    def test_bad_sizes(self):
        for kwargs in (dict(size="30"), dict(size="3 cm"), dict(size="0mm"), dict(size=1.5),
                       dict(dpi=0), dict(size="20px")):
            with self.subTest(**kwargs):
                self.assertRaises(ValueError, qr.encode_png, self.URL, **kwargs)

    def test_payload_size_and_dpi(self):
        # Wi-Fi "Home": 29 modules with the quiet zone of 2; 3 cm at 600 dpi.
        out = self.path("w.png")
        qr.wifi("Home", path=out, size="3cm", dpi=600)
        with open(out, "rb") as f:
            data = f.read()
        self.assertEqual(png_size(data), (696, 696))
        self.assertEqual(self.phys(data)[0], (b"pHYs", struct.pack(">IIB", 23622, 23622, 1)))
        self.assertEqual(qr.decode(out), "WIFI:T:WPA;S:Home;;")
        self.assertEqual(os.listdir(self.dir), ["w.png"])


class ReadmeExampleTest(Base):
    """The README's Python example runs as printed."""

    def test_readme_example_runs(self):
        readme = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        section = text[text.index("## From Python"):]
        start = section.index("```python\n") + len("```python\n")
        code = section[start:section.index("```\n", start)]
        here = os.getcwd()
        os.chdir(self.dir)
        try:
            with contextlib.redirect_stdout(io.StringIO()) as out:
                exec(compile(code, "README.md", "exec"), {})
        finally:
            os.chdir(here)
        lines = out.getvalue().splitlines()
        self.assertEqual(lines, ["b'smsto:+1555:hi'", "tickets_a.png",
                                 "WIFI:T:WPA;S:Home;P:s3cret;;", "https://example.org", "3",
                                 "qr_apply_preset: unknown preset "
                                 "(modern/dots/elegant/neon/corporate/minimal)"])


@unittest.skipUnless(READER, "VQR_ZXING_READ not set: no independent reader")
class IndependentReaderTest(Base):
    def test_styled_png_reads_with_zxing(self):
        target = self.path("indep.png")
        with qr.Style("modern"):
            qr.save("independent", target, module_size=6)
        out = subprocess.run([READER, target], capture_output=True, check=False)
        self.assertEqual(out.returncode, 0)
        self.assertEqual(out.stdout.decode(), "independent")


if __name__ == "__main__":
    unittest.main()
