"""The designer server over HTTP: what the page gets for good and bad input,
and what the server leaves behind."""

import base64
import contextlib
import http.client
import io
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

import vantelor_qrcode as qr
from vantelor_qrcode import designer, recipes
from designer_process import DesignerProcess, compile_c

TEXT = {"kind": "text", "text": "https://example.org/designer"}


def render(content=None, **fields):
    return dict(content=content or TEXT, **fields)


class DesignerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = DesignerProcess()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def render(self, **fields):
        return self.server.post("/api/render", render(**fields))

    def test_bad_requests_get_a_message(self):
        too_long = {"kind": "text", "text": "a" * 2954}
        cases = [
            (b'{"content": {"kind": "te', 400, "malformed JSON"),
            (b"\xff\xfe", 400, "malformed JSON"),
            (b"[1, 2]", 400, "must be a JSON object"),
            (render(colour="red"), 400, "unknown field colour"),
            (render(look={"dot_color": "#000000"}), 400, "unknown field look.dot_color"),
            (render({"kind": "wifi", "ssid": "x", "pin": "1"}), 400,
             "unknown field content.pin"),
            (render({"kind": "fax"}), 400, "content.kind must be one of"),
            (render({"kind": "wifi"}), 400, "Network name: required for a Wi-Fi network"),
            (render({"kind": "text", "text": ""}), 400, "type a text"),
            (render(too_long), 400, "text too long: 2954 bytes"),
            (render(module_size=10 ** 9), 400, "Module size: expected a whole number from 1 to 40"),
            (render(module_size=0), 400, "Module size: expected"),
            (render(quiet_zone=-1), 400, "Quiet zone: expected a whole number from 0 to 16"),
            (render({"kind": "text", "text": "a" * 1000}, module_size=40), 400,
             "lower the module size"),
            (render(level="X"), 400, "Level: expected one of L, M, Q, H"),
            (render(look={"module_color": "red"}), 400,
             "Modules colour: expected # and six hex digits"),
            (render(look={"ring_gradient": {"start": "#000000", "angle": 3}}), 400,
             "unknown field look.ring_gradient.angle"),
            (render(look={"logo": "0123456789abcdef"}), 400, "upload it again"),
            (render({"kind": "geo", "lat": 91, "lon": 0}), 400, "Latitude must lie from -90 to 90"),
            (render({"kind": "geo", "lat": "north", "lon": 0}), 400,
             "Latitude: expected a number"),
            (b"{" + b" " * 70000 + b"}", 413, "the request is too large"),
            # Values of the wrong type where the server looks them up.
            (render(level=[]), 400, "Level: expected one of"),
            (render({"kind": []}), 400, "content.kind must be one of"),
            (render({"kind": {"text": 1}}), 400, "content.kind must be one of"),
            (render(module_size="\u00b2"), 400, "Module size: expected a whole number"),
            (render(quiet_zone="\u0663"), 400, "Quiet zone: expected a whole number"),
            # JSON escapes that spell no UTF-8 text, or a NUL.
            (b'{"content": {"kind": "text", "text": "\\ud800"}}', 400,
             "content.text holds half of a surrogate pair"),
            (b'{"content": {"kind": "wifi", "ssid": "\\udfff"}}', 400, "content.ssid holds half"),
            (b'{"content": {"kind": "text", "text": "a\\u0000b"}}', 400,
             "content.text must not contain a NUL character"),
            (b'{"look": {"preset": "neon\\u0000"}}', 400, "look.preset must not contain a NUL"),
            (b"[" * 40000 + b"]" * 40000, 413, "too large"),
            (b"[" * 30000 + b"]" * 30000, 400, "malformed JSON"),
            # Print sizes: a number in the size field, a known unit, a canvas the page can draw.
            (render(print_size="30mm"), 400, "Print size: expected a number above 0 and at most"),
            (render(print_size="1e3"), 400, "Print size: expected a number"),
            (render(print_size="0"), 400, "Print size: expected a number"),
            (render(print_size="1001"), 400, "at most 1000"),
            (render(print_size="30", print_unit="ft"), 400, "Unit: expected one of mm, cm, in"),
            (render(print_size="2"), 400, "Print size: 2 mm is too small for 37 modules at 300"),
            (render(print_size=".5", print_unit="in", dpi=72), 400, "too small for 37 modules at 72"),
            (render(print_size="20", print_unit="cm"), 400, "lower the print size or the DPI"),
            (render(dpi=0), 400, "DPI: expected a whole number from 1 to 100000"),
            (render(dpi="300.5"), 400, "DPI: expected a whole number"),
        ]
        for body, status, message in cases:
            with self.subTest(message=message):
                body = body if isinstance(body, bytes) else json.dumps(body).encode()
                got_status, answer = self.server.post("/api/render", body)
                self.assertEqual(got_status, status, answer)
                self.assertIn(message, answer["error"])
                self.assertNotRegex(answer["error"], r"[A-Z][a-z]+(Error|Exception)\b")

    def test_messages_name_the_fields_at_fault(self):
        cases = [
            (render({"kind": "event", "title": "x", "start": "soon"}), ["start"]),
            (render({"kind": "event", "title": "x", "start": "2030-05-01", "end": "later"}),
             ["end"]),
            (render({"kind": "geo", "lat": 0, "lon": 181}), ["lat", "lon"]),
            (render({"kind": "sms"}), ["phone"]),
            (render({"kind": "text", "text": "a" * 2954}), ["text"]),
            (render({"kind": "wifi", "ssid": "x" * 2000}), ["ssid", "password", "security"]),
            (render(quiet_zone="wide"), ["quiet_zone"]),
            (render(look={"background": "#ffffff0"}), ["background"]),
            (render(look={"ring_gradient": {"start": "#abc", "end": "#000000"}}),
             ["ring_gradient"]),
            (render(look={"logo_size": 0.9}), ["logo_size"]),
            (render(print_size="-3"), ["print_size"]),
            (render(print_size="3", print_unit="pt"), ["print_unit"]),
            (render(dpi="many"), ["dpi"]),
            (render(print_size="900"), ["print_size", "dpi"]),
        ]
        for body, fields in cases:
            with self.subTest(fields=fields, body=body):
                status, answer = self.server.post("/api/render", body)
                self.assertEqual((status, answer["fields"]), (400, fields), answer)
                # Plain words: no internal names or library function names.
                self.assertNotRegex(answer["error"], r"content\.|look\.|qr_|_")

    def test_preset_looks_are_what_the_library_draws(self):
        for preset in qr.PRESETS:
            with self.subTest(preset=preset):
                look = designer.PRESET_LOOKS[preset]
                paints = {}
                for part, colour, gradient in (("module", "module_color", "module_gradient"),
                                               ("ring", "ring_color", "ring_gradient"),
                                               ("center", "center_color", "center_gradient")):
                    paint = look[part]
                    if isinstance(paint, str):
                        paints[colour] = paint
                    else:
                        paints[gradient] = qr.Gradient(paint["start"], paint["end"],
                                                       paint["kind"], paint["rotation"])
                spelled = qr.Style(module_style=look["module_style"], ring_style=look["ring_style"],
                                   center_style=look["center_style"],
                                   background=look["background"], **paints)
                self.assertEqual(qr.encode_png("preset", style=spelled, module_size=4),
                                 qr.encode_png("preset", style=qr.Style(preset), module_size=4))

    def test_recipes_write_what_the_page_draws(self):
        gradient = {"start": "#102030", "end": "#a04080", "kind": "radial"}
        cases = [
            render({"kind": "event", "title": "Launch", "start": "2030-05-01T10:30:00Z",
                    "location": "Hall 'B', 2"},
                   look={"background": "#ffffff00", "center_gradient": gradient,
                         "module_style": "leaf"}, level="L", quiet_zone=1),
            render({"kind": "text", "text": "-dash #hash $HOME"},
                   look={"preset": "neon", "ring_gradient": dict(gradient, kind="linear",
                                                                 rotation=22.5)},
                   module_size=3),
            # Print sizes: a size alone (SVG in its unit, PNG without a DPI), a size at a
            # DPI, a DPI alone (SVG in mm).
            render({"kind": "text", "text": "print me"}, look={"module_style": "disc"},
                   print_size="2.5", print_unit="cm"),
            render({"kind": "wifi", "ssid": "Home"}, print_size="1.5", print_unit="in",
                   dpi="600", quiet_zone=2),
            render({"kind": "sms", "phone": "+1 555"}, dpi="150", module_size=5),
        ]
        prefix = os.environ.get("VQR_PREFIX")
        env = dict(os.environ, PATH=f"{prefix}/bin:{os.environ['PATH']}")
        for body in cases:
            status, answer = self.server.post("/api/render", body)
            self.assertEqual(status, 200, answer)
            drawn = {"png": base64.b64decode(answer["png"]), "svg": answer["svg"].encode()}
            runs = {"python": [[sys.executable, "-c", answer["recipes"]["python"]]]}
            if prefix:
                runs["vqr"] = [["bash", "-c", answer["recipes"]["vqr"]]]
                runs["c"] = [compile_c("code.c", "code"), ["./code"]]
            for which, commands in runs.items():
                with self.subTest(which, name=answer["name"]), tempfile.TemporaryDirectory() as tmp:
                    with open(os.path.join(tmp, "code.c"), "w", encoding="utf-8") as f:
                        f.write(answer["recipes"]["c"])
                    for argv in commands:
                        subprocess.run(argv, cwd=tmp, env=env, check=True, timeout=60)
                    for ext, data in drawn.items():
                        with open(os.path.join(tmp, f"{answer['name']}.{ext}"), "rb") as f:
                            self.assertEqual(f.read(), data, ext)

    def test_print_sizes_are_what_vqr_writes(self):
        prefix = os.environ.get("VQR_PREFIX")
        if not prefix:
            self.skipTest("VQR_PREFIX (the installed tree with vqr) is not set")
        url = {"kind": "text", "text": "https://example.orgabcdefgh"}  # 37 modules across
        plain = self.render(content=url)[1]
        cases = [
            # print fields, the same as vqr options, px per module, warnings
            (dict(print_size="30"), ["--size", "30mm"], 9, 0),
            (dict(print_size="3", print_unit="cm", dpi="600"), ["--size", "3cm", "--dpi", "600"],
             19, 0),
            (dict(print_size="1.2", print_unit="in"), ["--size", "1.2in"], 9, 0),
            (dict(print_size="20", dpi="300"), ["--size", "20mm", "--dpi", "300"], 6, 1),
            (dict(print_size="10"), ["--size", "10mm"], 3, 2),
            (dict(dpi="254", module_size=3), ["-s", "3", "--dpi", "254"], 3, 2),
            (dict(dpi="254", module_size=10), ["--dpi", "254"], 10, 0),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            for fields, options, module_size, warned in cases:
                with self.subTest(options=options):
                    status, answer = self.render(content=url, **fields)
                    self.assertEqual(status, 200, answer)
                    self.assertEqual((answer["module_size"], len(answer["print"]["warnings"])),
                                     (module_size, warned), answer["print"])
                    self.assertEqual("may be too small" in answer["verdict"], warned > 0)
                    for ext, drawn in (("png", base64.b64decode(answer["png"])),
                                       ("svg", answer["svg"].encode())):
                        out = os.path.join(tmp, "code." + ext)
                        run = subprocess.run([f"{prefix}/bin/vqr", "encode", *options, "-o", out,
                                              url["text"]], capture_output=True, text=True,
                                             check=True)
                        self.assertEqual(re.findall(r"warning: (.*)", run.stderr),
                                         answer["print"]["warnings"])
                        with open(out, "rb") as f:
                            self.assertEqual(f.read(), drawn, ext)
        # Empty print fields draw what the page drew before they existed.
        self.assertEqual(self.render(content=url, print_size=" ", print_unit="in", dpi=""),
                         (200, dict(plain)))
        self.assertIsNone(plain["print"])

    def test_other_host_names_are_refused(self):
        # A rebound domain reaches the loopback server with its own Host.
        port = self.server.url.rsplit(":", 1)[1].strip("/")
        for host, status in [(f"evil.example:{port}", 421), ("127.0.0.1.evil.example", 421),
                             (f"localhost:{port}", 200), (f"127.0.0.1:{port}", 200)]:
            with self.subTest(host=host):
                conn = http.client.HTTPConnection("127.0.0.1", int(port), timeout=30)
                conn.request("GET", "/api/options", headers={"Host": host})
                self.assertEqual(conn.getresponse().status, status)
                conn.close()

    def test_payload_texts_are_the_library_builders_own(self):
        forms = [
            ("wifi", qr.wifi, {"ssid": "Caf\u00e9;Net", "password": 'p"w:1', "security": "WEP"}),
            ("vcard", qr.vcard, {"name": "Ada Lovelace", "phone": "+44 1", "email": "a@b.c"}),
            ("email", qr.email, {"to": "a@b.c", "subject": "Hi there", "body": "x&y"}),
            ("sms", qr.sms, {"phone": "+1 (555) 0100", "message": "on my way"}),
            ("geo", qr.geo, {"lat": 51.5, "lon": -0.125}),
            ("event", qr.event, {"title": "Launch", "start": "2030-05-01",
                                 "location": "Hall, 2"}),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            for kind, encoder, fields in forms:
                with self.subTest(kind=kind):
                    status, answer = self.render(content=dict(kind=kind, **fields))
                    self.assertEqual(status, 200, answer)
                    path = os.path.join(tmp, kind + ".png")
                    encoder(**fields, path=path)
                    direct = qr.decode(path)
                    if kind == "event":  # the stamp and the id follow the clock
                        direct, answer["text"] = (re.sub(r"(UID|DTSTAMP):[^\r]*", "", t)
                                                  for t in (direct, answer["text"]))
                    self.assertEqual(answer["text"], direct)
                    self.assertTrue(answer["reads"], answer["verdict"])

    def test_rendering_and_its_verdict(self):
        status, answer = self.render(look={"preset": "dots"}, module_size=6, quiet_zone=2)
        self.assertEqual(status, 200, answer)
        png = base64.b64decode(answer["png"])
        self.assertEqual(qr.decode(png), TEXT["text"])
        self.assertEqual(struct.unpack(">II", png[16:24]), (answer["width"],) * 2)
        version = qr.symbol_version(TEXT["text"])
        self.assertEqual((answer["version"], answer["width"]),
                         (version, (17 + 4 * version + 4) * 6))
        self.assertTrue(answer["svg"].startswith("<?xml"))
        self.assertIn("reads this code back at 6 px", answer["verdict"])
        # The grade of the preview: a quiet zone of 2 holds it at B, named first.
        grade = answer["grade"]
        self.assertEqual((grade["grade"], grade["score"], grade["passes"]), ("B", 3.0, True))
        self.assertEqual(grade["parameters"][0]["name"], "quiet zone")
        self.assertEqual([p["score"] for p in grade["parameters"]],
                         sorted(p["score"] for p in grade["parameters"]))
        self.assertTrue(all({"name", "value", "grade", "hint"} <= set(p)
                            for p in grade["parameters"]))

        white = {"module_color": "#ffffff", "ring_color": "#ffffff", "center_color": "#ffffff"}
        status, answer = self.render(look=white)
        self.assertEqual(status, 200, answer)
        self.assertFalse(answer["reads"])
        self.assertEqual((answer["grade"]["grade"], answer["grade"]["passes"]), ("F", False))
        self.assertTrue(answer["verdict"].startswith(
            "Warning: at 10 px per module the code grades F"))

    def test_logo_uploads(self):
        def png_header(w, h):
            return b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR" + struct.pack(">II", w, h) + b"\x08\x06\0\0\0"

        cases = [
            (b"GIF89a", 400, "the logo is not an image"),
            (b"plain text, not a picture", 400, "the logo is not an image"),
            (png_header(10000, 20), 400, "at most 4096 on each side"),
            (png_header(64, 64) + b"\0" * 100, 400, "cannot be read as an image"),
            (b"\x89PNG\r\n\x1a\n" + b"\0" * 600 * 1024, 413, "the logo is too large"),
        ]
        for body, status, message in cases:
            with self.subTest(message=message):
                got, answer = self.server.post("/api/logo", body, "application/octet-stream")
                self.assertEqual((got, message in answer.get("error", "")), (status, True),
                                 answer)
        logo = qr.encode_png("a logo", module_size=3)
        tokens = []
        for _ in range(20):
            status, answer = self.server.post("/api/logo", logo, "application/octet-stream")
            self.assertEqual(status, 200, answer)
            tokens.append(answer["logo"])
        stored = [p for p in self.server.leftovers() if os.path.basename(p).startswith("logo-")]
        self.assertEqual(len(stored), 16, "older logos are dropped")
        status, answer = self.render(look={"logo": tokens[-1], "logo_size": 0.15})
        self.assertEqual((status, answer.get("level")), (200, "H"), answer)
        status, answer = self.render(look={"logo": tokens[0]})
        self.assertIn("upload it again", answer["error"])

    def test_concurrent_requests_all_get_an_answer(self):
        results = []

        def one(i):
            results.append(self.render(content={"kind": "text", "text": f"c{i}"},
                                       look={"preset": qr.PRESETS[i % 6]}))

        threads = [threading.Thread(target=one, args=(i,)) for i in range(24)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(len(results), 24)
        for status, answer in results:
            self.assertIn(status, (200, 503), answer)
            if status == 503:
                self.assertIn("busy", answer["error"])
        self.assertIn(200, [s for s, _ in results])
        self.assertEqual(self.render()[0], 200, "the server keeps serving")

    def test_slow_senders_hold_no_busy_slot(self):
        # More clients than there are busy slots, each stalled in the middle
        # of its body: an ordinary request is still served at once.
        port = int(self.server.url.rsplit(":", 1)[1].strip("/"))
        stalled = []
        try:
            for _ in range(designer.MAX_BUSY + 2):
                conn = socket.create_connection(("127.0.0.1", port), timeout=30)
                conn.sendall(b"POST /api/render HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                             b"Content-Type: application/json\r\nContent-Length: 100\r\n\r\n{")
                stalled.append(conn)
            status, answer = self.render()
            self.assertEqual(status, 200, answer)
        finally:
            for conn in stalled:
                conn.close()

    def test_assets_are_local(self):
        for path, kind in (("/", "text/html"), ("/designer.js", "text/javascript"),
                           ("/designer.css", "text/css")):
            with self.subTest(path=path):
                status, body, headers = self.server.request(path)
                self.assertEqual(status, 200)
                self.assertTrue(headers["Content-Type"].startswith(kind))
                self.assertIn("default-src 'self'", headers["Content-Security-Policy"])
                text = body.decode()
                self.assertIsNone(re.search(r"(src|href)=\"(https?:)?//|url\(|@import|"
                                            r"fetch\(\"http", text), "loads only from here")
        for path in ("/../designer.py", "/static/designer.js", "/api/nothing"):
            self.assertEqual(self.server.request(path)[0], 404, path)
        # What a form on another site could send without asking first.
        status, answer = self.server.post("/api/render", b"{}", "text/plain")
        self.assertEqual((status, answer["error"]), (415, "send the request as application/json"))


class ImageSizeTest(unittest.TestCase):
    def test_sizes_from_headers(self):
        def segment(marker, payload):
            return b"\xff" + bytes([marker]) + struct.pack(">H", len(payload) + 2) + payload

        sof = b"\x08" + struct.pack(">HH", 30, 40) + b"\x03"  # precision, height, width
        app0 = segment(0xE0, b"JFIF\0" + b"\0" * 9)
        bmp = b"BM" + b"\0" * 16 + struct.pack("<ii", 40, -30)
        cases = [
            ("gif", b"GIF89a" + struct.pack("<HH", 40, 30), (40, 30)),
            ("bmp stored top-down", bmp, (40, 30)),
            ("jpeg baseline", b"\xff\xd8" + app0 + segment(0xC0, sof), (40, 30)),
            ("jpeg progressive", b"\xff\xd8" + segment(0xC2, sof), (40, 30)),
            ("jpeg tables first", b"\xff\xd8" + segment(0xC4, b"\0" * 20)
             + segment(0xDB, b"\0" * 65) + segment(0xC1, sof), (40, 30)),
            ("jpeg without a frame", b"\xff\xd8" + app0, None),
            ("jpeg with garbage", b"\xff\xd8\x00\x01" + b"\0" * 20, None),
            ("truncated png", b"\x89PNG\r\n\x1a\n\0\0", None),
            ("text", b"just words", None),
        ]
        for name, data, size in cases:
            with self.subTest(name):
                self.assertEqual(designer.image_size(data), size)


class RecipeTest(unittest.TestCase):
    def test_file_names_say_what_the_code_holds(self):
        cases = [
            ({"kind": "wifi", "ssid": "Home"}, "wifi-Home"),
            ({"kind": "event", "title": "Launch", "start": "2030-05-01"}, "event-Launch"),
            ({"kind": "vcard", "name": "Ada O'Neil"}, "vcard-Ada-O-Neil"),
            ({"kind": "wifi", "ssid": "Caf\u00e9/../Net"}, "wifi-Caf\u00e9-..-Net"),
            ({"kind": "wifi", "ssid": "../.."}, "wifi"),
            ({"kind": "geo", "lat": "51.5", "lon": "-0.12"}, "geo-51.5,-0.12"),
            ({"kind": "email", "to": "a@b.c"}, "email-a-b.c"),
            ({"kind": "text", "text": "https://example.org/x?y"}, "example.org"),
            ({"kind": "text", "text": "hello"}, "qrcode"),
            ({"kind": "sms", "phone": "x" * 80}, "sms-" + "x" * 40),
        ]
        for content, stem in cases:
            with self.subTest(stem=stem):
                self.assertEqual(recipes.file_stem(content), stem)

    def test_quoted_texts_come_back_unchanged(self):
        texts = ["plain", "it's", "#1a2b3c", "-starts-with-dash", "two\r\nlines\ttab\x7f",
                 "back\\slash \"quoted\" $HOME `cmd` ??/", "\u00fcn\u00efcode \u2603"]
        program = ("#include <stdio.h>\nint main(void) {\n"
                   + "".join(f"    fputs({recipes.c_string(t)}, stdout); putchar(0);\n"
                             for t in texts) + "    return 0;\n}\n")
        with tempfile.TemporaryDirectory() as tmp:
            source, exe = os.path.join(tmp, "quote.c"), os.path.join(tmp, "quote")
            with open(source, "w", encoding="utf-8") as f:
                f.write(program)
            subprocess.run([os.environ.get("CC", "cc"), "-std=c11", source, "-o", exe],
                           check=True)
            from_c = subprocess.run([exe], capture_output=True, check=True).stdout
        self.assertEqual(from_c.decode().split("\0")[:-1], texts)
        for text in texts:
            with self.subTest(text=text):
                shell = subprocess.run(["bash", "-c", "printf %s " + recipes.sh_quote(text)],
                                       capture_output=True, check=True).stdout
                self.assertEqual(shell.decode(), text)


class DesignerLifecycleTest(unittest.TestCase):
    def test_stops_cleanly_and_leaves_nothing(self):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            with self.subTest(signal=sig.name):
                server = DesignerProcess()
                try:
                    logo = qr.encode_png("logo", module_size=2)
                    status, _ = server.post("/api/logo", logo, "application/octet-stream")
                    self.assertEqual(status, 200)
                    self.assertNotEqual(server.leftovers(), [])
                    self.assertEqual(server.stop(sig), 0)
                    self.assertEqual(server.leftovers(), [])
                finally:
                    server.close()

    def test_an_internal_fault_is_answered_plainly_and_logged(self):
        workdir = tempfile.mkdtemp(prefix="vqr-designer-test-")
        server = designer.Server(("127.0.0.1", 0), workdir)

        def broken_render(fields):
            raise KeyError("secret-detail")

        server.designer.render = broken_render
        thread = threading.Thread(target=server.serve_forever)
        thread.start()
        log = io.StringIO()
        try:
            with contextlib.redirect_stderr(log):
                conn = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=30)
                conn.request("POST", "/api/render", json.dumps(render()),
                             {"Content-Type": "application/json"})
                answer = conn.getresponse()
                status, body = answer.status, json.loads(answer.read())
                conn.close()
        finally:
            server.shutdown()
            thread.join()
            server.server_close()
            shutil.rmtree(workdir, ignore_errors=True)
        self.assertEqual(status, 500)
        self.assertTrue(body["error"].startswith("internal error: "), body)
        self.assertNotIn("KeyError", body["error"])
        self.assertNotIn("secret-detail", body["error"])
        self.assertIn("KeyError: 'secret-detail'", log.getvalue())

    def test_a_busy_port_is_reported(self):
        server = DesignerProcess()
        try:
            port = server.url.rsplit(":", 1)[1].strip("/")
            run = subprocess.run([sys.executable, "-m", "vantelor_qrcode", "serve", "--port",
                                  port], capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 1)
            self.assertIn("cannot listen on 127.0.0.1:" + port, run.stderr)
        finally:
            server.close()


if __name__ == "__main__":
    unittest.main()
