"""The designer page: a local web server where a person composes a code,
sees its PNG and SVG renditions update live, learns whether our decoder
reads it back, and downloads it.

Standard library only. Every library call runs under the binding's lock
(the library's style is process-wide). The server writes only into its own
temporary directory (uploaded logos, payload scratch files) and removes it
when it stops.
"""

import base64
import collections
import http.server
import ipaddress
import json
import math
import os
import re
import secrets
import shutil
import signal
import socket
import struct
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse

from . import recipes
from . import (CENTER_STYLES, DEFAULT_DPI, LEVELS, MODULE_STYLES, PRESETS, RING_STYLES, Gradient,
               QRError, Style, check, email, encode_png, encode_svg, event,
               geo, payload_text, sms, symbol_version, vcard, wifi, _lock, _print_plan,
               _svg_length, _with_dpi, _with_physical_size)

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
ASSETS = {
    "/": ("designer.html", "text/html; charset=utf-8"),
    "/designer.css": ("designer.css", "text/css; charset=utf-8"),
    "/designer.js": ("designer.js", "text/javascript; charset=utf-8"),
}
# Everything the page loads comes from this server; the browser refuses the rest.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data: blob:; "
                               "connect-src 'self'; object-src 'none'; base-uri 'none'",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-store",
}

MAX_JSON_BYTES = 64 * 1024
MAX_LOGO_BYTES = 512 * 1024
MAX_LOGO_SIDE = 4096
MAX_LOGOS_KEPT = 16
MAX_MODULE_SIZE = 40
MAX_QUIET_ZONE = 16
MAX_IMAGE_SIDE = 2048        # pixels: the largest canvas the page may ask for
PRINT_UNITS = ("mm", "cm", "in")
MAX_PRINT_SIZE = 1000        # in any unit: far beyond the largest canvas
MAX_DPI = 100000
MAX_DISCARD = 16 * 1024 * 1024  # oversized bodies read (and dropped) to answer them
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)
MAX_BUSY = 8                 # requests served at once; more get a "busy" answer
REQUEST_SECONDS = 30         # to send a whole request, headers and body, however it trickles

# kind: (encoder writing the payload as a PNG file, required fields, optional fields)
PAYLOADS = {
    "text": (None, ("text",), ()),
    "wifi": (wifi, ("ssid",), ("password", "security")),
    "vcard": (vcard, ("name",), ("phone", "email")),
    "email": (email, ("to",), ("subject", "body")),
    "sms": (sms, ("phone",), ("message",)),
    "geo": (geo, ("lat", "lon"), ()),
    "event": (event, ("title", "start"), ("end", "location")),
}
LOOK_FIELDS = ("preset", "module_style", "ring_style", "center_style", "module_color",
               "ring_color", "center_color", "background", "module_gradient", "ring_gradient",
               "center_gradient", "background_gradient", "logo", "logo_size", "logo_margin")
GRADIENT_FIELDS = ("start", "end", "kind", "rotation")
REQUEST_FIELDS = ("content", "look", "level", "module_size", "quiet_zone", "logo_name",
                  "print_size", "print_unit", "dpi")
COLOUR_FIELDS = ("module_color", "ring_color", "center_color", "background")

# What the page calls each field, so that a message names what the user sees.
LABELS = {
    "text": "Text", "ssid": "Network name", "password": "Password", "security": "Security",
    "name": "Name", "phone": "Phone", "email": "E-mail", "to": "To", "subject": "Subject",
    "body": "Body", "message": "Message", "lat": "Latitude", "lon": "Longitude",
    "title": "Title", "start": "Start", "end": "End", "location": "Location",
    "level": "Level", "module_size": "Module size", "quiet_zone": "Quiet zone",
    "logo_size": "Logo size", "logo_margin": "Logo margin", "preset": "Preset",
    "module_style": "Modules figure", "ring_style": "Finder rings figure",
    "center_style": "Finder centres figure", "module_color": "Modules colour",
    "ring_color": "Finder rings colour", "center_color": "Finder centres colour",
    "background": "Background colour", "module_gradient": "Modules gradient",
    "ring_gradient": "Finder rings gradient", "center_gradient": "Finder centres gradient",
    "background_gradient": "Background gradient", "print_size": "Print size",
    "print_unit": "Unit", "dpi": "DPI",
}
KIND_NAMES = {"text": "a text", "wifi": "a Wi-Fi network", "vcard": "a contact",
              "email": "an e-mail", "sms": "an SMS", "geo": "a place", "event": "an event"}
WHEN = "a date such as 2030-05-01, or a time such as 2030-05-01T10:30:00Z"
# The payload builders' messages, in the page's words: (fields, message)
BUILDER_MESSAGES = {
    "qr_build_event: bad start timestamp (need ISO 8601)": (("start",), f"Start: expected {WHEN}"),
    "qr_build_event: bad end timestamp (need ISO 8601)": (("end",), f"End: expected {WHEN}"),
    "qr_build_geo: lat/lon out of range": (("lat", "lon"), "Latitude must lie from -90 to 90 "
                                           "and longitude from -180 to 180"),
}

# The look each preset sets (and the defaults, under ""), so that the page can
# show what a control left to the preset draws. A test checks it against the
# library's own presets.
def _look(module, ring, center, paint, center_color, background):
    return {"module_style": module, "ring_style": ring, "center_style": center,
            "module": paint, "ring": paint, "center": center_color, "background": background}


def _linear(start, end, rotation):
    return {"start": start, "end": end, "kind": "linear", "rotation": rotation}


PRESET_LOOKS = {
    "": _look("block", "box", "box", "#000000", "#000000", "#ffffff"),
    "modern": _look("pill", "cushion", "disc", "#1a365d", "#1a365d", "#f7f9fc"),
    "dots": _look("disc", "circle", "disc", "#000000", "#000000", "#ffffff"),
    "elegant": _look("petal", "pebble", "disc", _linear("#4a0e4e", "#8b5cf6", 135),
                     "#8b5cf6", "#f5f0fa"),
    "neon": _look("fan", "cushion", "disc", _linear("#00f0ff", "#ff00ff", 45), "#00ffe5",
                  "#0f0f23"),
    "corporate": _look("block", "box", "box", "#1e3a5f", "#1e3a5f", "#ffffff"),
    "minimal": _look("pill", "cushion", "cushion", "#4a4a4a", "#4a4a4a", "#ffffff"),
}


class BadRequest(Exception):
    """Input the page sent that cannot be served; the message is shown there."""

    def __init__(self, message, status=400, fields=()):
        super().__init__(message)
        self.status = status
        self.fields = tuple(fields)  # the form fields at fault, for the page to mark

    def answer(self):
        return {"error": str(self), "fields": list(self.fields)}


# ---- Request checking ---------------------------------------------------------------------


def _object(value, where, allowed):
    if not isinstance(value, dict):
        raise BadRequest(f"{where or 'the request'} must be a JSON object")
    unknown = sorted(set(value) - set(allowed))
    if unknown:
        raise BadRequest(f"unknown field {where}.{unknown[0]}" if where else
                         f"unknown field {unknown[0]}")
    # Empty form fields mean "not set".
    return {k: v for k, v in value.items() if v not in (None, "")}


def _string(value, field):
    if not isinstance(value, str):
        raise BadRequest(f"{LABELS[field]}: expected a text", fields=(field,))
    return value


def _integer(value, field, low, high):
    # ASCII digits only: int() would also take other scripts' digits, and
    # isdigit() accepts superscripts that int() refuses.
    if isinstance(value, str) and re.fullmatch(r"\s*-?[0-9]+\s*", value, re.ASCII):
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise BadRequest(f"{LABELS[field]}: expected a whole number from {low} to {high}",
                         fields=(field,))
    return value


def _number(value, field):
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, bool) or not math.isfinite(number):
        raise BadRequest(f"{LABELS[field]}: expected a number", fields=(field,))
    return number


def _colour(value, field, alpha=False):
    pattern = r"#[0-9a-fA-F]{6}([0-9a-fA-F]{2})?" if alpha else r"#[0-9a-fA-F]{6}"
    if not isinstance(value, str) or not re.fullmatch(pattern, value):
        raise BadRequest(f"{LABELS[field]}: expected # and six hex digits, like #1a2b3c",
                         fields=(field,))
    return value


def _print_request(fields):
    """(size such as '30mm' or None, dpi or None) from the print fields; the
    size keeps the digits as typed, so that the copied commands say the same."""
    dpi = _integer(fields["dpi"], "dpi", 1, MAX_DPI) if "dpi" in fields else None
    number = fields.get("print_size", "")
    if isinstance(number, str) and not number.strip():
        return None, dpi
    unit = fields.get("print_unit", "mm")
    if unit not in PRINT_UNITS:
        raise BadRequest(f"Unit: expected one of {', '.join(PRINT_UNITS)}",
                         fields=("print_unit",))
    number = number.strip() if isinstance(number, str) else repr(number) \
        if isinstance(number, (int, float)) and not isinstance(number, bool) else ""
    if not (re.fullmatch(r"[0-9]*\.?[0-9]+", number, re.ASCII)
            and 0 < float(number) <= MAX_PRINT_SIZE):
        raise BadRequest(f"Print size: expected a number above 0 and at most {MAX_PRINT_SIZE}, "
                         "such as 30 or 2.5", fields=("print_size",))
    return number + unit, dpi


def _print_summary(size, dpi, module_size, across, quiet_zone):
    """What the print fields chose, in the words of `vqr -v`."""
    side = across * module_size
    at = dpi or DEFAULT_DPI
    printed = _spaced(_svg_length(side, dpi, size))
    if size is None:
        return (f"{module_size} px per module at {at} dpi: {across} modules across (quiet zone "
                f"{quiet_zone}) make {side} px ({printed}).")
    return (f"{module_size} px per module: {across} modules across (quiet zone {quiet_zone}) in "
            f"{_spaced(size)} at {at} dpi make {side} px ({printed}).")


def _spaced(length):
    """'28.19mm' as people write it: '28.19 mm'."""
    return re.sub(r"(?<=[0-9])(?=[a-z])", " ", length)


def _verdict(grade, module_size, too_small):
    if not grade.passes:
        return (f"Warning: at {module_size} px per module the code grades {grade.grade} "
                f"(below C); {grade.weakest}: {grade.hint}.")
    if too_small:
        return (f"Grade {grade.grade}: our decoder reads this code back at {module_size} px per "
                "module, but printed at this size it may be too small for phone cameras: "
                f"{too_small[0]}.")
    return (f"Grade {grade.grade}: our decoder reads this code back at {module_size} px per "
            "module, and it should scan once printed.")


def _builder_failure(message, kind, fields):
    """A payload builder's message in the page's words."""
    if message in BUILDER_MESSAGES:
        return BadRequest(BUILDER_MESSAGES[message][1], fields=BUILDER_MESSAGES[message][0])
    if message.endswith("payload too long"):
        return BadRequest(f"The texts of {KIND_NAMES[kind]} are too long for one code: "
                          "shorten them", fields=fields)
    return BadRequest(message.split(": ", 1)[-1], fields=fields)


# ---- The designer -------------------------------------------------------------------------


class Designer:
    """The state one server keeps: its temporary directory and uploaded logos."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.logos = collections.OrderedDict()  # token -> path, oldest first
        self.logos_lock = threading.Lock()
        self.busy = threading.BoundedSemaphore(MAX_BUSY)

    def payload_text(self, content):
        """The text a payload form stands for, as the library's own builders
        write it."""
        kind = content.get("kind", "text") if isinstance(content, dict) else None
        if not isinstance(kind, str) or kind not in PAYLOADS:
            raise BadRequest(f"content.kind must be one of {', '.join(PAYLOADS)}")
        encoder, required, optional = PAYLOADS[kind]
        fields = _object(content, "content", ("kind",) + required + optional)
        fields.pop("kind", None)
        if kind == "text" and "text" not in fields:
            raise BadRequest("Text: type a text to encode", fields=("text",))
        for name in required:
            if name not in fields:
                raise BadRequest(f"{LABELS[name]}: required for {KIND_NAMES[kind]}",
                                 fields=(name,))
        if kind == "geo":
            args = [_number(fields[n], n) for n in required]
        else:
            args = [_string(fields[n], n) for n in required]
        kwargs = {n: _string(fields[n], n) for n in optional if n in fields}
        if encoder is None:
            return args[0].encode("utf-8")
        try:
            return payload_text(kind, *args, **kwargs)
        except QRError as exc:
            raise _builder_failure(exc.message, kind, required + optional) from None
        except ValueError as exc:
            raise BadRequest(str(exc), fields=required + optional) from None

    # ---- Looks ------------------------------------------------------------------------------

    def look_style(self, look):
        fields = _object(look if look is not None else {}, "look", LOOK_FIELDS)
        for name in ("module_gradient", "ring_gradient", "center_gradient",
                     "background_gradient"):
            if name in fields:
                g = _object(fields[name], f"look.{name}", GRADIENT_FIELDS)
                try:
                    fields[name] = Gradient(_colour(g.get("start", "#000000"), name),
                                            _colour(g.get("end", "#000000"), name),
                                            g.get("kind", "linear"),
                                            _number(g.get("rotation", 0), name))
                except ValueError as exc:
                    raise BadRequest(f"{LABELS[name]}: {exc}", fields=(name,)) from None
        for name in COLOUR_FIELDS:
            if name in fields:
                _colour(fields[name], name, alpha=name == "background")
        if "logo" in fields:
            with self.logos_lock:
                path = self.logos.get(fields["logo"]) if isinstance(fields["logo"], str) else None
            if path is None:
                raise BadRequest("the logo is no longer on the server: upload it again",
                                 fields=("logo",))
            fields["logo"] = path
        if "logo_size" in fields and not 0 < _number(fields["logo_size"], "logo_size") <= 0.5:
            raise BadRequest("Logo size: expected a fraction above 0 and at most 0.5",
                             fields=("logo_size",))
        if "logo_size" in fields:
            fields["logo_size"] = float(fields["logo_size"])
        if "logo_margin" in fields:
            fields["logo_margin"] = _integer(fields["logo_margin"], "logo_margin", 0, 200)
        try:
            return Style(**fields)
        except (TypeError, ValueError) as exc:
            raise BadRequest(f"look: {exc}") from None

    # ---- Rendering -------------------------------------------------------------------------

    def render(self, request):
        fields = _object(request, "", REQUEST_FIELDS)
        level = fields.get("level", "M")
        if not isinstance(level, str) or level not in LEVELS:
            raise BadRequest("Level: expected one of L, M, Q, H", fields=("level",))
        size, dpi = _print_request(fields)
        # A print size chooses the module size; the field's value is not used.
        module_size = 1 if size else _integer(fields.get("module_size", 10), "module_size", 1,
                                              MAX_MODULE_SIZE)
        quiet_zone = _integer(fields.get("quiet_zone", 4), "quiet_zone", 0, MAX_QUIET_ZONE)
        content = fields.get("content", {"kind": "text"})
        text = self.payload_text(content)
        style = self.look_style(fields.get("look"))
        # A logo raises the level to H when encoding.
        used_level = "H" if style.logo is not None else level
        try:
            version = symbol_version(text, used_level)
        except QRError:
            raise BadRequest(f"text too long: {len(text)} bytes do not fit in any QR version "
                             f"at level {used_level} (at most 2953 bytes, at level L "
                             "without a logo)",
                             fields=PAYLOADS[content.get("kind", "text")][1]) from None
        across = 17 + 4 * version + 2 * quiet_zone
        too_small, summary = [], None
        if size or dpi:
            try:
                module_size, too_small = _print_plan(across, quiet_zone, module_size, dpi, size)
            except ValueError:
                raise BadRequest(f"Print size: {_spaced(size)} is too small for {across} "
                                 f"modules at {dpi or DEFAULT_DPI} dpi",
                                 fields=("print_size",)) from None
            summary = _print_summary(size, dpi, module_size, across, quiet_zone)
        side = across * module_size
        if side > MAX_IMAGE_SIDE:
            raise BadRequest(f"the image would be {side} pixels wide; the designer draws at most "
                             f"{MAX_IMAGE_SIDE}: lower the " + ("print size or the DPI" if size else
                                                               "module size or the quiet zone"),
                             fields=("print_size", "dpi") if size else
                             ("module_size", "quiet_zone"))
        geometry = dict(level=level, module_size=module_size, quiet_zone=quiet_zone)
        with _lock:
            try:
                png = encode_png(text, style=style, **geometry)
                svg = encode_svg(text, style=style, **geometry)
            except QRError as exc:
                raise BadRequest(str(exc)) from None
            # The grade of the exact preview pixels, with what to change.
            grade = check(png, expected=text)
        # The downloads carry the print size, as `vqr --size --dpi` writes them.
        if dpi:
            png = _with_dpi(png, dpi)
        if size or dpi:
            svg = _with_physical_size(svg, dpi, size)
        shown = text.decode("utf-8", "replace")
        stem = recipes.file_stem(content)
        logo_name = fields.get("logo_name")
        return {"text": shown, "version": version,
                "level": used_level, "width": side, "png": base64.b64encode(png).decode(),
                "svg": svg, "reads": grade.passes,
                "verdict": _verdict(grade, module_size, too_small), "grade": grade.to_dict(),
                "name": stem, "module_size": module_size,
                "print": {"summary": summary, "warnings": too_small, "sized": bool(size)}
                if summary else None,
                "recipes": recipes.recipes(shown, style, logo_name if isinstance(
                    logo_name, str) and logo_name else "logo.png", used_level, module_size,
                    quiet_zone, stem, recipes.Print(size, dpi, side) if summary else None)}

    # ---- Logos -----------------------------------------------------------------------------

    def add_logo(self, data):
        if len(data) > MAX_LOGO_BYTES:
            raise BadRequest(f"the logo is too large: at most {MAX_LOGO_BYTES // 1024} KB", 413)
        size = image_size(data)
        if size is None:
            raise BadRequest("the logo is not an image: upload a PNG, JPEG, GIF or BMP file")
        if not (0 < size[0] <= MAX_LOGO_SIDE and 0 < size[1] <= MAX_LOGO_SIDE):
            raise BadRequest(f"the logo is {size[0]} x {size[1]} pixels: at most {MAX_LOGO_SIDE}"
                             " on each side")
        token = secrets.token_hex(8)
        path = os.path.join(self.workdir, f"logo-{token}")
        with open(path, "wb") as f:
            f.write(data)
        try:
            encode_png("logo check", module_size=1, style=Style(logo=path))
        except QRError:
            os.remove(path)
            raise BadRequest("the logo cannot be read as an image") from None
        with self.logos_lock:
            self.logos[token] = path
            while len(self.logos) > MAX_LOGOS_KEPT:
                os.remove(self.logos.popitem(last=False)[1])
        return {"logo": token, "width": size[0], "height": size[1]}

    def options(self):
        return {"presets": list(PRESETS), "module_styles": list(MODULE_STYLES),
                "ring_styles": list(RING_STYLES), "center_styles": list(CENTER_STYLES),
                "levels": list(LEVELS), "payloads": {k: list(v[1] + v[2])
                                                     for k, v in PAYLOADS.items()},
                "max_module_size": MAX_MODULE_SIZE, "max_quiet_zone": MAX_QUIET_ZONE,
                "max_image_side": MAX_IMAGE_SIDE, "max_logo_bytes": MAX_LOGO_BYTES,
                "preset_looks": PRESET_LOOKS}


def image_size(data):
    """(width, height) from the header of a PNG, GIF, BMP or JPEG file, or None."""
    if data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) >= 24:
        return struct.unpack(">II", data[16:24])
    if data[:6] in (b"GIF87a", b"GIF89a") and len(data) >= 10:
        return struct.unpack("<HH", data[6:10])
    if data[:2] == b"BM" and len(data) >= 26:
        w, h = struct.unpack("<ii", data[18:26])
        return abs(w), abs(h)
    if data[:3] == b"\xff\xd8\xff":
        return _jpeg_size(data)
    return None


def _jpeg_size(data):
    # Walk the marker segments to the first frame header (SOF0..SOF15 but
    # DHT, JPG and DAC, which share the range).
    at = 2
    while at + 9 <= len(data):
        if data[at] != 0xFF:
            return None
        marker = data[at + 1]
        if marker == 0xFF:
            at += 1
            continue
        length = struct.unpack(">H", data[at + 2:at + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack(">HH", data[at + 5:at + 9])
            return w, h
        at += 2 + length
    return None


# ---- HTTP ---------------------------------------------------------------------------------


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "vantelor-designer"
    timeout = 30  # a client that stops sending does not hold a thread for ever

    def log_message(self, format, *args):
        pass

    def handle_one_request(self):
        # The clock runs from the moment the server waits for a request
        # until its body is in: trickling bytes do not extend it.
        self.server.deadlines.start(self.connection)
        try:
            super().handle_one_request()
        finally:
            self.server.deadlines.stop(self.connection)

    def send(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in SECURITY_HEADERS.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_json(self, status, value):
        self.send(status, json.dumps(value).encode("utf-8"), "application/json")

    def host_refused(self):
        """Answers 421 when a loopback server is asked under another name.

        A web page whose domain its owner re-points at 127.0.0.1 (DNS
        rebinding) reaches this server as a same-origin site; its requests
        still carry that domain in the Host header."""
        if self.server.host_allowed(self.headers.get("Host", "")):
            return False
        self.close_connection = True
        self.send_json(421, {"error": "open the designer under its own address"})
        return True

    def do_GET(self):
        if self.host_refused():
            return
        path = self.path.split("?", 1)[0]
        if path == "/api/options":
            return self.send_json(200, self.server.designer.options())
        if path not in ASSETS:
            return self.send_json(404, {"error": "not found"})
        name, content_type = ASSETS[path]
        with open(os.path.join(STATIC, name), "rb") as f:
            self.send(200, f.read(), content_type)

    do_HEAD = do_GET

    def do_POST(self):
        if self.host_refused():
            return self.discard(self.content_length() or 0)
        designer = self.server.designer
        routes = {"/api/render": ("application/json", MAX_JSON_BYTES,
                                  lambda body: designer.render(_json(body))),
                  "/api/logo": ("application/octet-stream", MAX_LOGO_BYTES, designer.add_logo)}
        route = routes.get(self.path)
        if route is None:
            return self.send_json(404, {"error": "not found"})
        content_type, limit, action = route
        # Other web sites cannot send these types here without the browser
        # asking first (and this server never allows it).
        if self.headers.get("Content-Type", "").split(";")[0].strip() != content_type:
            self.discard(self.content_length() or 0)
            return self.send_json(415, {"error": f"send the request as {content_type}"})
        # A busy slot is taken only for a request that has fully arrived, so
        # slow senders cannot hold the slots.
        try:
            body = self.read_body(limit)
        except BadRequest as exc:
            return self.send_json(exc.status, {"error": str(exc)})
        finally:
            self.server.deadlines.stop(self.connection)
        if not designer.busy.acquire(blocking=False):
            self.close_connection = True
            return self.send_json(503, {"error": "the designer is busy: try again"})
        try:
            self.send_json(200, action(body))
        except BadRequest as exc:
            self.send_json(exc.status, exc.answer())
        except Exception:  # the server answers every request and keeps running
            # The page gets a plain sentence; the details are for whoever
            # runs the server.
            traceback.print_exc(file=sys.stderr)
            self.send_json(500, {"error": "internal error: the designer could not finish this "
                                          "request (details are in the server's output)"})
        finally:
            designer.busy.release()

    def content_length(self):
        try:
            return int(self.headers.get("Content-Length", ""))
        except ValueError:
            return None

    def read_body(self, limit):
        length = self.content_length()
        if length is None:
            raise BadRequest("the request needs a Content-Length", 411)
        if length < 0 or length > limit:
            self.discard(length)
            what = "logo" if limit == MAX_LOGO_BYTES else "request"
            raise BadRequest(f"the {what} is too large: at most {limit // 1024} KB", 413)
        body = self.rfile.read(length)
        if len(body) < length:  # the deadline passed, or the client stopped sending
            self.close_connection = True
            raise BadRequest(f"the request did not arrive within {REQUEST_SECONDS} s", 408)
        return body


    def discard(self, length):
        # Reading a moderately oversized body lets the client see the answer
        # (a client still sending when the connection closes sees only a
        # broken pipe); beyond MAX_DISCARD the connection is simply dropped.
        self.close_connection = True
        if 0 < length <= MAX_DISCARD:
            while length > 0:
                chunk = self.rfile.read(min(length, 65536))
                if not chunk:
                    break
                length -= len(chunk)


def _json(body):
    try:
        value = json.loads(body.decode("utf-8"))
        _check_texts(value, "")
    except (UnicodeDecodeError, ValueError) as exc:
        raise BadRequest(f"malformed JSON: {exc}") from None
    except RecursionError:
        raise BadRequest("malformed JSON: nested too deeply") from None
    return value


def _check_texts(value, where):
    """Refuses texts the library cannot take: JSON escapes can spell a NUL
    or half of a surrogate pair, which no UTF-8 text holds."""
    if isinstance(value, dict):
        for key, item in value.items():
            _check_texts(key, where or "the request")
            _check_texts(item, f"{where}.{key}" if where else key)
    elif isinstance(value, list):
        for item in value:
            _check_texts(item, where)
    elif isinstance(value, str):
        if "\0" in value:
            raise BadRequest(f"{where or 'the request'} must not contain a NUL character")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise BadRequest(f"{where or 'the request'} holds half of a surrogate pair: "
                             "send valid Unicode text") from None


class Deadlines:
    """Ends the reading side of every connection whose request is still
    arriving at its deadline: the blocked read sees the end of the stream,
    and the handler can still answer."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.lock = threading.Lock()
        self.due = {}  # socket -> time.monotonic() deadline
        self.stopped = threading.Event()
        threading.Thread(target=self._watch, daemon=True).start()

    def start(self, sock):
        with self.lock:
            self.due[sock] = time.monotonic() + self.seconds

    def stop(self, sock):
        with self.lock:
            self.due.pop(sock, None)

    def close(self):
        self.stopped.set()

    def _watch(self):
        while not self.stopped.wait(0.5):
            now = time.monotonic()
            with self.lock:
                late = [sock for sock, due in self.due.items() if due <= now]
                for sock in late:
                    del self.due[sock]
            for sock in late:
                try:
                    sock.shutdown(socket.SHUT_RD)
                except OSError:
                    pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # A page fires several requests at once; a short listen queue would turn
    # a burst into refused or stalled connections before the busy answer.
    request_queue_size = 64

    def __init__(self, address, workdir):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        # Before binding: a failed bind calls server_close, which stops it.
        self.deadlines = Deadlines(REQUEST_SECONDS)
        super().__init__(address, Handler)
        self.designer = Designer(workdir)
        # Bound to a loopback address, the server answers only to loopback
        # names; bound elsewhere (--host), the user chose who may reach it.
        self.loopback = ipaddress.ip_address(self.server_address[0]).is_loopback

    def server_close(self):
        self.deadlines.close()
        super().server_close()

    def handle_error(self, request, client_address):
        # A client that went away (or was cut off at its deadline) is no
        # fault of the server's.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)

    def host_allowed(self, host_header):
        if not self.loopback:
            return True
        try:
            name = urllib.parse.urlsplit("//" + host_header).hostname
        except ValueError:
            return False
        if name == "localhost":
            return True
        try:
            return ipaddress.ip_address(name or "").is_loopback
        except ValueError:
            return False


def serve(host="127.0.0.1", port=8765, out=sys.stdout):
    """Serve the designer until interrupted (Ctrl+C, SIGTERM or SIGHUP)."""
    workdir = tempfile.mkdtemp(prefix="vqr-designer-")
    try:
        server = Server((host, port), workdir)
    except OSError:
        shutil.rmtree(workdir, ignore_errors=True)
        raise
    # A service manager's stop and a closed terminal end it like Ctrl+C does.
    previous = {sig: signal.signal(sig, _interrupt) for sig in STOP_SIGNALS}
    try:
        shown = f"[{host}]" if ":" in host else host
        print(f"Designer page: http://{shown}:{server.server_address[1]}/ "
              "(Ctrl+C stops it)", file=out, flush=True)
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        server.server_close()
        shutil.rmtree(workdir, ignore_errors=True)


def _interrupt(signum, frame):
    raise KeyboardInterrupt
