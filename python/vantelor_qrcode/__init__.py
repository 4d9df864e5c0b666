"""Styled QR codes (PNG, SVG), payload texts and QR reading, from Python.

A ctypes binding over the vantelor-qrcode shared library (standard library
only). The library keeps one process-wide style, so this module does too:

    import vantelor_qrcode as qr

    with qr.Style(preset="neon", module_style="disc"):
        png = qr.encode_png("https://example.org", level="Q")
    qr.save("hello", "hello.svg", style=qr.Style("dots"), verify=True)
    qr.wifi("Home", password="secret", path="wifi.png")
    print(qr.decode("wifi.png"))                   # WIFI:T:WPA;S:Home;P:secret;;

Failures raise QRError carrying the library's own message; arguments Python
can check first (levels, colours, style names) raise ValueError or TypeError.

``python3 -m vantelor_qrcode serve`` starts the designer page (designer.py).

The library is found, in this order: the VANTELOR_QRCODE_LIBRARY environment
variable; the library installed together with this package; the system's
library search path.
"""

import contextlib
import ctypes
import ctypes.util
import json
import os
import re
import struct
import tempfile
import threading
import warnings
import zlib
from typing import Iterable, Iterator, Optional, Tuple, Union

try:
    from ._version import __version__
except ImportError:  # imported from the source tree: only builds write _version.py
    __version__ = "0+unknown"

__all__ = [
    "QRError", "VerifyError", "Gradient", "Style", "LEVELS", "MODULE_STYLES", "RING_STYLES",
    "CENTER_STYLES", "PRESETS", "PrintSizeWarning", "library", "init", "cleanup", "last_error",
    "symbol_version", "apply_preset", "reset_style", "check_reads_back", "encode_png", "encode_svg",
    "save", "wifi", "vcard", "email", "sms", "geo", "event", "payload_text", "batch_file_name",
    "batch", "decode", "GRADES", "Parameter", "Report", "check",
]

LEVELS = {"L": 0, "M": 1, "Q": 2, "H": 3}
MODULE_STYLES = ("block", "pill", "disc", "leaf", "petal", "fan")
RING_STYLES = ("box", "circle", "cushion", "pebble", "tile", "tube")
CENTER_STYLES = ("box", "disc", "cushion")
PRESETS = ("modern", "dots", "elegant", "neon", "corporate", "minimal")

Text = Union[str, bytes]
PathArg = Union[str, bytes, "os.PathLike"]
Level = Union[str, int]
Color = Union[str, Tuple[int, ...]]
StyleName = Union[str, int]


class QRError(RuntimeError):
    """A library call failed; ``message`` is the library's own text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


# ---- Loading ------------------------------------------------------------------

_c_int, _c_float, _c_double = ctypes.c_int, ctypes.c_float, ctypes.c_double
_c_str, _c_void = ctypes.c_char_p, ctypes.c_void_p
_GRADIENT = [_c_int, _c_float] + [_c_int] * 6

# name: (result type, argument types)
_SIGNATURES = {
    "qr_init": (_c_int, []),
    "qr_cleanup": (None, []),
    "qr_last_error": (_c_str, []),
    "qr_get_version": (_c_int, [_c_str, _c_int]),
    "qr_set_dot_style": (None, [_c_int]),
    "qr_set_dot_color": (None, [_c_int] * 3),
    "qr_set_dot_gradient": (None, _GRADIENT),
    "qr_set_corner_square_style": (None, [_c_int]),
    "qr_set_corner_square_color": (None, [_c_int] * 3),
    "qr_set_corner_square_gradient": (None, _GRADIENT),
    "qr_set_corner_dot_style": (None, [_c_int]),
    "qr_set_corner_dot_color": (None, [_c_int] * 3),
    "qr_set_corner_dot_gradient": (None, _GRADIENT),
    "qr_set_background_color": (None, [_c_int] * 4),
    "qr_set_background_gradient": (None, _GRADIENT),
    "qr_reset_style": (None, []),
    "qr_set_logo": (None, [_c_str, _c_float, _c_int]),
    "qr_apply_preset": (_c_int, [_c_str]),
    "qr_encode_to_file": (_c_int, [_c_str, _c_str, _c_int, _c_int, _c_int]),
    "qr_encode_to_memory": (_c_void, [_c_str, _c_int, _c_int, _c_int, ctypes.POINTER(_c_int)]),
    "qr_free_buffer": (None, [_c_void]),
    "qr_encode_to_svg_string": (_c_str, [_c_str, _c_int, _c_int, _c_int]),
    "qr_encode_to_svg_file": (_c_int, [_c_str, _c_str, _c_int, _c_int, _c_int]),
    "qr_encode_wifi": (_c_int, [_c_str, _c_str, _c_str, _c_str, _c_int]),
    "qr_encode_vcard": (_c_int, [_c_str, _c_str, _c_str, _c_str, _c_int]),
    "qr_encode_email": (_c_int, [_c_str, _c_str, _c_str, _c_str, _c_int]),
    "qr_encode_sms": (_c_int, [_c_str, _c_str, _c_str, _c_int]),
    "qr_encode_geo": (_c_int, [_c_double, _c_double, _c_str, _c_int]),
    "qr_encode_event": (_c_int, [_c_str, _c_str, _c_str, _c_str, _c_str, _c_int]),
    "qr_encode_batch": (_c_int, [_c_str, _c_str, _c_int, _c_int, _c_int]),
    "qr_decode_from_file": (_c_str, [_c_str]),
    "qr_decode_from_memory": (_c_str, [_c_str, _c_int]),
    "qr_grade_from_file": (_c_str, [_c_str, _c_str]),
    "qr_grade_from_memory": (_c_str, [_c_str, _c_int, _c_str]),
    "qr_text_wifi": (_c_str, [_c_str] * 3),
    "qr_text_vcard": (_c_str, [_c_str] * 3),
    "qr_text_email": (_c_str, [_c_str] * 3),
    "qr_text_sms": (_c_str, [_c_str] * 2),
    "qr_text_geo": (_c_str, [_c_double] * 2),
    "qr_text_event": (_c_str, [_c_str] * 4),
    "qr_batch_file_name": (_c_str, [_c_str]),
}

_lock = threading.RLock()
_lib = None


def _candidates():
    env = os.environ.get("VANTELOR_QRCODE_LIBRARY")
    if env:
        yield env
        return
    # An installed package knows where the library was installed next to it.
    try:
        from ._installed import LIBDIR
    except ImportError:
        LIBDIR = None
    if LIBDIR:
        here = os.path.dirname(os.path.abspath(__file__))
        yield os.path.normpath(os.path.join(here, LIBDIR, "libvantelor-qrcode.so.1"))
    found = ctypes.util.find_library("vantelor-qrcode")
    if found:
        yield found
    yield "libvantelor-qrcode.so.1"


def library() -> ctypes.CDLL:
    """The loaded ctypes library (loaded on first use)."""
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        errors = []
        for path in _candidates():
            if os.sep in path and not os.path.exists(path):
                continue
            try:
                lib = ctypes.CDLL(path)
                break
            except OSError as exc:
                errors.append(f"{path}: {exc}")
        else:
            raise OSError("cannot load libvantelor-qrcode.so.1 (set VANTELOR_QRCODE_LIBRARY): "
                          + "; ".join(errors or ["not found"]))
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _lib = lib
        return lib


def _call(name, *args):
    with _lock:
        return getattr(library(), name)(*args)


def _fail():
    raise QRError(last_error() or "unknown error")


# ---- Argument conversion ----------------------------------------------------------


def _text(value, what="text"):
    if isinstance(value, str):
        value = value.encode("utf-8")
    if not isinstance(value, (bytes, bytearray)):
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    if b"\0" in value:
        raise ValueError(f"{what} must not contain a NUL character")
    return bytes(value)


def _opt_text(value, what):
    return None if value is None else _text(value, what)


def _path(value):
    return _text(os.fsencode(value), "path")


def _level(value):
    if isinstance(value, str) and value.upper() in LEVELS:
        return LEVELS[value.upper()]
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 3:
        return value
    raise ValueError(f"level must be one of L, M, Q, H (or 0..3), not {value!r}")


def _size(value, what, low):
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise ValueError(f"{what} must be an int >= {low}, not {value!r}")
    return value


def _color(value, what, alpha=False):
    """'#rrggbb' (or '#rrggbbaa' when alpha) or a tuple of 3 (or 4) ints 0..255."""
    if isinstance(value, str):
        s = value[1:] if value.startswith("#") else value
        if len(s) in ((6, 8) if alpha else (6,)):
            try:
                channels = [int(s[i:i + 2], 16) for i in range(0, len(s), 2)]
            except ValueError:
                channels = None
            if channels is not None:
                return tuple(channels) + ((255,) if alpha and len(channels) == 3 else ())
    elif isinstance(value, (tuple, list)) and len(value) in ((3, 4) if alpha else (3,)):
        if all(isinstance(c, int) and not isinstance(c, bool) and 0 <= c <= 255 for c in value):
            return tuple(value) + ((255,) if alpha and len(value) == 3 else ())
    raise ValueError(f"{what} must be '#rrggbb'{' or #rrggbbaa' if alpha else ''} "
                     f"or a tuple of ints 0..255, not {value!r}")


def _style_number(value, names, what):
    if isinstance(value, str) and value.lower() in names:
        return names.index(value.lower())
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value < len(names):
        return value
    raise ValueError(f"{what} must be one of {', '.join(names)}, not {value!r}")


# ---- Lifecycle, errors, version -------------------------------------------------------


def init() -> None:
    """Restore the default style and mark the library initialised."""
    with _lock:
        library().qr_init()
        _look.clear()


def cleanup() -> None:
    """Restore the default style and clear the initialised mark."""
    with _lock:
        library().qr_cleanup()
        _look.clear()


def last_error() -> str:
    """The library's last failure message ('' after init)."""
    raw = _call("qr_last_error")
    return raw.decode("utf-8", "replace") if raw else ""


def symbol_version(text: Text, level: Level = "M") -> int:
    """The QR version (1..40) that ``text`` needs at ``level``; QRError when
    it does not fit in version 40."""
    v = _call("qr_get_version", _text(text), _level(level))
    if v <= 0:
        raise QRError("text does not fit in any QR version (max 40) at this level")
    return v


# ---- Style ---------------------------------------------------------------------------

# The library's style cannot be read back, so the binding remembers what it
# was built from since the last reset: a Style first (when one was applied)
# and the presets applied on top of it. Replaying this list restores a look.
_look: list = []


def _replay(look: list) -> None:
    with _lock:
        lib = library()
        if not look:
            lib.qr_reset_style()
        for step in look:
            if isinstance(step, Style):
                step.apply()
            else:
                apply_preset(step)
        _look[:] = look


class Gradient:
    """A linear (``rotation`` in degrees, 0 left to right, 90 top to bottom)
    or radial colour gradient from ``start`` to ``end``."""

    def __init__(self, start: Color, end: Color, kind: str = "linear",
                 rotation: float = 0.0) -> None:
        if kind not in ("linear", "radial"):
            raise ValueError(f"kind must be 'linear' or 'radial', not {kind!r}")
        self.start, self.end = _color(start, "start colour"), _color(end, "end colour")
        self.kind, self.rotation = kind, float(rotation)

    def _args(self) -> tuple:
        return (1 if self.kind == "radial" else 0, self.rotation) + self.start + self.end

    def __repr__(self) -> str:
        return (f"Gradient(start={self.start}, end={self.end}, kind={self.kind!r}, "
                f"rotation={self.rotation})")


class Style:
    """A complete look. ``apply()`` makes it the library's style (starting
    from the defaults, then the preset, then every option given). Used as a
    context manager it applies on entry and, on exit, restores the look that
    was in force before (so nested styles unwind one by one); the block holds
    the binding's lock, so other threads' calls wait until it ends. Every
    encode function also takes ``style=`` to use a look for that one call.

    Options: preset (one of PRESETS); module_style, ring_style, center_style
    (names from MODULE_STYLES, RING_STYLES, CENTER_STYLES, or their numbers);
    module_color, ring_color, center_color ('#rrggbb' or (r, g, b));
    module_gradient, ring_gradient, center_gradient, background_gradient
    (Gradient); background ('#rrggbb', '#rrggbbaa' or (r, g, b[, a]));
    logo (an image path), logo_size (0 < size <= 0.5), logo_margin (pixels).
    """

    _FIELDS = ("preset", "module_style", "ring_style", "center_style", "module_color",
               "ring_color", "center_color", "background", "module_gradient", "ring_gradient",
               "center_gradient", "background_gradient", "logo", "logo_size", "logo_margin")

    def __init__(self, preset: Optional[str] = None, *,
                 module_style: Optional[StyleName] = None,
                 ring_style: Optional[StyleName] = None,
                 center_style: Optional[StyleName] = None,
                 module_color: Optional[Color] = None, ring_color: Optional[Color] = None,
                 center_color: Optional[Color] = None, background: Optional[Color] = None,
                 module_gradient: Optional[Gradient] = None,
                 ring_gradient: Optional[Gradient] = None,
                 center_gradient: Optional[Gradient] = None,
                 background_gradient: Optional[Gradient] = None,
                 logo: Optional[PathArg] = None, logo_size: float = 0.2,
                 logo_margin: int = 4) -> None:
        if preset is not None and preset not in PRESETS:
            raise ValueError(f"preset must be one of {', '.join(PRESETS)}, not {preset!r}")
        self.preset = preset
        self.module_style = None if module_style is None else _style_number(
            module_style, MODULE_STYLES, "module_style")
        self.ring_style = None if ring_style is None else _style_number(
            ring_style, RING_STYLES, "ring_style")
        self.center_style = None if center_style is None else _style_number(
            center_style, CENTER_STYLES, "center_style")
        self.module_color = None if module_color is None else _color(module_color, "module_color")
        self.ring_color = None if ring_color is None else _color(ring_color, "ring_color")
        self.center_color = None if center_color is None else _color(center_color, "center_color")
        self.background = None if background is None else _color(background, "background",
                                                                   alpha=True)
        for name, value in (("module_gradient", module_gradient), ("ring_gradient", ring_gradient),
                            ("center_gradient", center_gradient),
                            ("background_gradient", background_gradient)):
            if value is not None and not isinstance(value, Gradient):
                raise TypeError(f"{name} must be a Gradient, not {type(value).__name__}")
        self.module_gradient, self.ring_gradient = module_gradient, ring_gradient
        self.center_gradient, self.background_gradient = center_gradient, background_gradient
        if not (0.0 < float(logo_size) <= 0.5):
            raise ValueError(f"logo_size must be above 0 and at most 0.5, not {logo_size!r}")
        self.logo = None if logo is None else _path(logo)
        self.logo_size, self.logo_margin = float(logo_size), _size(logo_margin, "logo_margin", 0)
        self._enclosing: list = []

    def apply(self) -> "Style":
        """Make this the library's style."""
        with _lock:
            lib = library()
            lib.qr_init()
            _look[:] = [self]
            if self.preset is not None and lib.qr_apply_preset(self.preset.encode()) != 1:
                _fail()
            if self.module_style is not None:
                lib.qr_set_dot_style(self.module_style)
            if self.ring_style is not None:
                lib.qr_set_corner_square_style(self.ring_style)
            if self.center_style is not None:
                lib.qr_set_corner_dot_style(self.center_style)
            if self.module_color is not None:
                lib.qr_set_dot_color(*self.module_color)
            if self.ring_color is not None:
                lib.qr_set_corner_square_color(*self.ring_color)
            if self.center_color is not None:
                lib.qr_set_corner_dot_color(*self.center_color)
            if self.background is not None:
                lib.qr_set_background_color(*self.background)
            for gradient, setter in ((self.module_gradient, lib.qr_set_dot_gradient),
                                     (self.ring_gradient, lib.qr_set_corner_square_gradient),
                                     (self.center_gradient, lib.qr_set_corner_dot_gradient),
                                     (self.background_gradient, lib.qr_set_background_gradient)):
                if gradient is not None:
                    setter(*gradient._args())
            if self.logo is not None:
                lib.qr_set_logo(self.logo, self.logo_size, self.logo_margin)
        return self

    def __enter__(self) -> "Style":
        # Held until __exit__, so another thread's look cannot slip in between.
        _lock.acquire()
        try:
            self._enclosing.append(list(_look))
            return self.apply()
        except BaseException:
            self._enclosing.pop()
            _lock.release()
            raise

    def __exit__(self, *exc) -> bool:
        try:
            _replay(self._enclosing.pop())
        finally:
            _lock.release()
        return False

    def __repr__(self) -> str:
        shown = ", ".join(f"{f}={getattr(self, f)!r}" for f in self._FIELDS
                          if getattr(self, f) is not None)
        return f"Style({shown})"


def apply_preset(name: str) -> None:
    """Apply one of PRESETS on top of the current style (QRError if unknown)."""
    with _lock:
        if library().qr_apply_preset(_text(name, "preset name")) != 1:
            _fail()
        _look.append(name)


def reset_style() -> None:
    """Restore the default look: black squares on opaque white, no logo."""
    with _lock:
        library().qr_reset_style()
        _look.clear()


@contextlib.contextmanager
def _styled(style: Optional[Style]) -> Iterator[None]:
    """Holds the lock for one encode, in ``style`` when given (the look in
    force before comes back afterwards)."""
    if style is not None and not isinstance(style, Style):
        raise TypeError(f"style must be a Style, not {type(style).__name__}")
    with _lock, (style if style is not None else contextlib.nullcontext()):
        yield


# ---- Encoding ----------------------------------------------------------------------------


class VerifyError(QRError):
    """A code was written but our decoder does not read its text back."""


def _read(path: bytes) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _verify(image: bytes, text: Text) -> None:
    """Raise VerifyError unless ``image`` (encoded image bytes) reads back as
    ``text`` at grade C or better, naming the weakest parameter."""
    report = check(image, expected=text)
    if not report.passes:
        raise VerifyError(f"verify: grade {report.grade} (minimum {DEFAULT_MIN_GRADE}), weakest "
                          f"{report.weakest}: {report.hint}")


def check_reads_back(image: bytes, text: Text) -> None:
    """Raise VerifyError unless our decoder reads ``text`` from ``image``
    (the bytes of an encoded image), with a message that says what it found."""
    text = _text(text)
    try:
        got = decode(image, raw=True)
    except QRError as exc:
        raise VerifyError(f"verify: our decoder cannot read the code back ({exc.message})") \
            from None
    if got != text:
        raise VerifyError("verify: the code reads back as "
                          f"{got.decode('utf-8', 'replace')!r}, not as the text given")


def _geometry(level: Level, module_size: int, quiet_zone: int) -> tuple:
    return (_level(level), _size(module_size, "module_size", 1),
            _size(quiet_zone, "quiet_zone", 0))


# ---- Print size --------------------------------------------------------------------------

# Lengths in mm, cm and in are taken at this resolution unless dpi= is given.
DEFAULT_DPI = 300
_PER_INCH = {"px": None, "mm": 25.4, "cm": 2.54, "in": 1.0}
_DECIMALS = {"mm": 2, "cm": 3, "in": 4}


class PrintSizeWarning(UserWarning):
    """A code sized for print comes out too small for phone cameras."""


def _length(value):
    """'30mm', '3cm', '1.2in', '400px' or an int of pixels, as (number, unit)."""
    if isinstance(value, int) and not isinstance(value, bool) and value > 0:
        return float(value), "px"
    found = re.fullmatch(r"([0-9]*\.?[0-9]+)(mm|cm|in|px)", value) \
        if isinstance(value, str) else None
    if found and float(found.group(1)) > 0:
        return float(found.group(1)), found.group(2)
    raise ValueError(f"size must be a length such as '30mm', '3cm', '1.2in' or '400px', "
                     f"not {value!r}")


def _in_unit(px, dpi, unit):
    return px if unit == "px" else px / dpi * _PER_INCH[unit]


def _png_width(png: bytes) -> int:
    if png[:8] != b"\x89PNG\r\n\x1a\n" or png[12:16] != b"IHDR":
        raise QRError("not a PNG")
    return struct.unpack(">I", png[16:20])[0]


def _print_plan(across, quiet, module_size, dpi, size):
    """(module size, warnings) for dpi= and size=: the largest whole number
    of pixels per module that puts ``across`` modules (quiet zone included)
    in ``size``, and the reasons, if any, why a code with a physical size is
    too small for phone cameras at arm's length."""
    length = _length(size) if size is not None else None
    if dpi is not None:
        _size(dpi, "dpi", 1)
    at = dpi or DEFAULT_DPI
    if length is not None:
        number, unit = length
        px = number if unit == "px" else number / _PER_INCH[unit] * at
        module_size = int(px / across + 1e-9)
        if module_size < 1:
            raise ValueError(f"size {size!r} is too small for {across} modules at {at} dpi")
    too_small = []
    if dpi is not None or (length is not None and length[1] != "px"):
        module_mm = module_size / at * 25.4
        symbol_mm = module_mm * (across - 2 * quiet)
        if module_mm < 0.4:
            too_small.append(f"modules of {module_mm:.2f} mm are below 0.4 mm; a phone camera "
                             "at arm's length may not resolve them")
        if symbol_mm < 15.0:
            too_small.append(f"the code is {symbol_mm:.1f} mm wide without its quiet zone, "
                             "below 15 mm; a phone camera at arm's length may not read it")
    return module_size, too_small


def _print_module_size(across, quiet, module_size, dpi, size):
    """The module size for dpi= and size=, with a PrintSizeWarning for each
    reason the printed code may not scan."""
    module_size, too_small = _print_plan(across, quiet, module_size, dpi, size)
    for message in too_small:
        warnings.warn(message, PrintSizeWarning, stacklevel=4)
    return module_size


def _phys_chunk(dpi: int) -> bytes:
    """The PNG chunk that records ``dpi`` (pHYs, in pixels per metre)."""
    per_metre = round(dpi / 0.0254)
    body = b"pHYs" + struct.pack(">IIB", per_metre, per_metre, 1)
    return struct.pack(">I", 9) + body + struct.pack(">I", zlib.crc32(body))


def _with_dpi(png: bytes, dpi: int) -> bytes:
    """The PNG with a pHYs chunk recording ``dpi``, right after its header."""
    return png[:33] + _phys_chunk(dpi) + png[33:]


def _svg_length(side: int, dpi: Optional[int], size) -> str:
    """``side`` pixels as the printed length an SVG gives them: '28.19mm',
    in the unit of ``size`` (mm for dpi alone)."""
    unit = _length(size)[1] if size is not None else "mm"
    unit = "mm" if unit == "px" else unit
    value = f"{_in_unit(side, dpi or DEFAULT_DPI, unit):.{_DECIMALS[unit]}f}"
    return value.rstrip("0").rstrip(".") + unit


def _with_physical_size(doc: str, dpi: Optional[int], size) -> str:
    """The SVG with its width and height in the unit of ``size`` (mm for
    dpi alone); the viewBox stays."""
    side = int(re.search(r'viewBox="0 0 (\d+)', doc).group(1))
    value = _svg_length(side, dpi, size)
    return re.sub(r' width="\d+" height="\d+"', f' width="{value}" height="{value}"', doc, 1)


def _physical(dpi, size) -> bool:
    return dpi is not None or (size is not None and _length(size)[1] != "px")


def _sized_geometry(lib, data, geometry, dpi, size) -> tuple:
    """The geometry with the module size that dpi= and size= ask for."""
    if dpi is None and size is None:
        return geometry
    level, module_size, quiet = geometry
    across = _png_width(_png_bytes(lib, data, (level, 1, quiet)))
    return level, _print_module_size(across, quiet, module_size, dpi, size), quiet


def _png_bytes(lib: ctypes.CDLL, text: bytes, geometry: tuple) -> bytes:
    length = _c_int(0)
    ptr = lib.qr_encode_to_memory(text, *geometry, ctypes.byref(length))
    if not ptr:
        _fail()
    try:
        return ctypes.string_at(ptr, length.value)
    finally:
        lib.qr_free_buffer(ptr)


def encode_png(text: Text, *, level: Level = "M", module_size: int = 10, quiet_zone: int = 4,
               style: Optional[Style] = None, verify: bool = False, dpi: Optional[int] = None,
               size: Union[str, int, None] = None) -> bytes:
    """The code for ``text`` (str or bytes) as PNG bytes, in ``style`` or
    else the current style. With ``verify`` the PNG is graded as check()
    does, and VerifyError is raised unless it reads back as the text at grade
    C or better.

    ``size`` ('30mm', '3cm', '1.2in', '400px') sets the largest whole module
    size that fits the whole code in it, at ``dpi`` (300 when not given);
    ``dpi`` is recorded in the PNG (pHYs). PrintSizeWarning is issued when
    the printed modules come out below 0.4 mm or the symbol below 15 mm."""
    data, geometry = _text(text), _geometry(level, module_size, quiet_zone)
    with _styled(style):
        lib = library()
        geometry = _sized_geometry(lib, data, geometry, dpi, size)
        png = _png_bytes(lib, data, geometry)
        if verify:
            _verify(png, data)
    return _with_dpi(png, dpi) if dpi is not None else png


def encode_svg(text: Text, *, level: Level = "M", module_size: int = 10, quiet_zone: int = 4,
               style: Optional[Style] = None, dpi: Optional[int] = None,
               size: Union[str, int, None] = None) -> str:
    """The code for ``text`` as an SVG document (str), in ``style`` or else
    the current style. ``dpi`` and ``size`` as in encode_png; with either
    naming a physical size the document's width and height are given in the
    unit of ``size`` (mm for ``dpi`` alone), the viewBox unchanged."""
    data, geometry = _text(text), _geometry(level, module_size, quiet_zone)
    with _styled(style):
        lib = library()
        geometry = _sized_geometry(lib, data, geometry, dpi, size)
        doc = lib.qr_encode_to_svg_string(data, *geometry)
        if doc is None:
            _fail()
        doc = doc.decode("utf-8")
    return _with_physical_size(doc, dpi, size) if _physical(dpi, size) else doc


def save(text: Text, path: PathArg, *, format: Optional[str] = None, level: Level = "M",
         module_size: int = 10, quiet_zone: int = 4, style: Optional[Style] = None,
         verify: bool = False, dpi: Optional[int] = None,
         size: Union[str, int, None] = None) -> None:
    """Write the code for ``text`` to ``path``: SVG when ``format`` is 'svg'
    or the path ends in .svg, PNG otherwise; in ``style`` or else the current
    style. With ``verify`` the code is graded as check() does, and
    VerifyError is raised unless it reads back as the text at grade C or
    better (the file stays for inspection). The grader reads raster images
    only, so for SVG output it grades the PNG rendition of the same look and
    geometry. ``dpi`` and ``size`` as in encode_png (PNG) and encode_svg
    (SVG)."""
    fmt = format or ("svg" if os.fspath(path).lower().endswith(".svg") else "png")
    if fmt not in ("png", "svg"):
        raise ValueError(f"format must be 'png' or 'svg', not {format!r}")
    name = "qr_encode_to_svg_file" if fmt == "svg" else "qr_encode_to_file"
    data, target = _text(text), _path(path)
    geometry = _geometry(level, module_size, quiet_zone)
    with _styled(style):
        lib = library()
        geometry = _sized_geometry(lib, data, geometry, dpi, size)
        if fmt == "svg" and _physical(dpi, size):
            doc = lib.qr_encode_to_svg_string(data, *geometry)
            if doc is None:
                _fail()
            with open(target, "w", encoding="utf-8") as f:
                f.write(_with_physical_size(doc.decode("utf-8"), dpi, size))
        elif fmt == "png" and dpi is not None:
            with open(target, "wb") as f:
                f.write(_with_dpi(_png_bytes(lib, data, geometry), dpi))
        elif getattr(lib, name)(data, target, *geometry) != 1:
            _fail()
        if verify:
            rendition = _read(target) if fmt == "png" else _png_bytes(lib, data, geometry)
            _verify(rendition, data)


# ---- Payloads (PNG files at level Q, quiet zone 2) ---------------------------------------


def _payload(name: str, style: Optional[Style], *args, dpi=None, size=None,
             at=(-2, -1)) -> None:
    """Calls a library encoder that writes a payload code; ``at`` gives the
    places of the path and the module size among its arguments. ``dpi`` and
    ``size`` as in encode_png: the payload text may be built inside the
    library, so the code's side is learnt from the same call at module size 1
    into a temporary file."""
    args = list(args)
    where, module = at
    with _styled(style):
        lib = library()
        if dpi is not None or size is not None:
            with tempfile.TemporaryDirectory(prefix="vqr-") as tmp:
                probe = list(args)
                probe[where], probe[module] = _path(os.path.join(tmp, "probe.png")), 1
                if getattr(lib, name)(*probe) != 1:
                    _fail()
                across = _png_width(_read(probe[where]))
            args[module] = _print_module_size(across, 2, args[module], dpi, size)
        if getattr(lib, name)(*args) != 1:
            _fail()
        if dpi is not None:
            png = _with_dpi(_read(args[where]), dpi)
            with open(args[where], "wb") as f:
                f.write(png)


# Wi-Fi readers know T:WPA (for WPA, WPA2 and WPA3 personal networks alike:
# the phone picks the handshake the network offers), T:WEP and T:nopass.
_WIFI_SECURITY = {"wpa": b"WPA", "wpa2": b"WPA", "wpa3": b"WPA", "wep": b"WEP",
                 "nopass": b"nopass", "none": b"nopass"}


def _wifi_security(value):
    if value is None or value == "" or value == b"":
        return b"WPA"
    name = value.decode("utf-8", "replace") if isinstance(value, bytes) else value
    if isinstance(name, str) and name.lower() in _WIFI_SECURITY:
        return _WIFI_SECURITY[name.lower()]
    raise ValueError(f"security must be one of WPA, WPA2, WPA3, WEP, nopass, none, not {value!r}")


def _wifi_escape(value: bytes) -> bytes:
    return b"".join(b"\\" + bytes([c]) if c in b'\\;,":' else bytes([c]) for c in value)


def _payload_code(kind: str, values: tuple, path: PathArg, module_size: int,
                  style: Optional[Style], dpi: Optional[int], size) -> None:
    """Writes the payload code ``kind`` for the payload function's own
    arguments, checked in the order the functions always checked them: the
    payload's fields, the path, the module size."""
    fields = _PAYLOAD_FIELDS[kind](*values)
    _payload("qr_encode_" + kind, style, *fields, _path(path), _size(module_size, "module_size", 1),
             dpi=dpi, size=size)


def wifi(ssid: Text, password: Optional[Text] = None, security: Optional[Text] = None, *,
         hidden: bool = False, path: PathArg, module_size: int = 10,
         style: Optional[Style] = None, dpi: Optional[int] = None,
         size: Union[str, int, None] = None) -> None:
    """Wi-Fi network code; ``security`` is WPA (the default), WPA2 or WPA3
    (all written as WPA), WEP, or nopass/none, in any case. ``hidden`` marks
    a network that does not announce its name (H:true)."""
    args = (*_PAYLOAD_FIELDS["wifi"](ssid, password, security), _path(path),
            _size(module_size, "module_size", 1))
    if not hidden:
        _payload("qr_encode_wifi", style, *args, dpi=dpi, size=size)
        return
    # The library's Wi-Fi text has no hidden-network field: the text is made
    # here with the same escapes, H:true before P: as in the published order
    # of the fields, and written at level Q with a quiet zone of 2 like the
    # library's payload codes.
    *fields, target, module = args
    _payload("qr_encode_to_file", style, _hidden_wifi_text(*fields), target, 2, module, 2,
             dpi=dpi, size=size, at=(1, 3))


def _hidden_wifi_text(ssid: bytes, password: Optional[bytes], security: bytes) -> bytes:
    text = b"WIFI:T:" + security + b";S:" + _wifi_escape(ssid) + b";H:true"
    if password:
        text += b";P:" + _wifi_escape(password)
    return text + b";;"


def vcard(name: Text, phone: Optional[Text] = None, email: Optional[Text] = None, *,
          path: PathArg, module_size: int = 10, style: Optional[Style] = None,
          dpi: Optional[int] = None, size: Union[str, int, None] = None) -> None:
    """vCard 3.0 contact code; ``name`` is 'Given Family'."""
    _payload_code("vcard", (name, phone, email), path, module_size, style, dpi, size)


def email(to: Text, subject: Optional[Text] = None, body: Optional[Text] = None, *,
          path: PathArg, module_size: int = 10, style: Optional[Style] = None,
          dpi: Optional[int] = None, size: Union[str, int, None] = None) -> None:
    """mailto: code with optional subject and body."""
    _payload_code("email", (to, subject, body), path, module_size, style, dpi, size)


def sms(phone: Text, message: Optional[Text] = None, *, path: PathArg, module_size: int = 10,
        style: Optional[Style] = None,
        dpi: Optional[int] = None, size: Union[str, int, None] = None) -> None:
    """smsto: code; only +, - and digits of the number are kept."""
    _payload_code("sms", (phone, message), path, module_size, style, dpi, size)


def geo(lat: float, lon: float, *, path: PathArg, module_size: int = 10,
        style: Optional[Style] = None,
        dpi: Optional[int] = None, size: Union[str, int, None] = None) -> None:
    """geo: position code; latitude -90..90, longitude -180..180."""
    _payload_code("geo", (lat, lon), path, module_size, style, dpi, size)


def event(title: Text, start: Text, end: Optional[Text] = None,
          location: Optional[Text] = None, *, path: PathArg, module_size: int = 10,
          style: Optional[Style] = None,
          dpi: Optional[int] = None, size: Union[str, int, None] = None) -> None:
    """One-event iCalendar code; ``start`` and ``end`` in ISO 8601 form
    ('2024-05-01', '2024-05-01T10:30:00' or '2024-05-01T10:30:00Z')."""
    _payload_code("event", (title, start, end, location), path, module_size, style, dpi, size)


_PAYLOAD_FIELDS = {
    "wifi": lambda ssid, password=None, security=None: (
        _text(ssid, "ssid"), _opt_text(password, "password"), _wifi_security(security)),
    "vcard": lambda name, phone=None, email=None: (
        _text(name, "name"), _opt_text(phone, "phone"), _opt_text(email, "email")),
    "email": lambda to, subject=None, body=None: (
        _text(to, "to"), _opt_text(subject, "subject"), _opt_text(body, "body")),
    "sms": lambda phone, message=None: (_text(phone, "phone"), _opt_text(message, "message")),
    "geo": lambda lat, lon: (float(lat), float(lon)),
    "event": lambda title, start, end=None, location=None: (
        _text(title, "title"), _text(start, "start"), _opt_text(end, "end"),
        _opt_text(location, "location")),
}


def payload_text(kind: str, *args, hidden: bool = False, **fields) -> bytes:
    """The text the payload function ``kind`` ("wifi", "vcard", "email",
    "sms", "geo" or "event") encodes for the same arguments, without drawing
    anything: ``payload_text("sms", "+1 555", "hi")`` is ``b"smsto:+1555:hi"``.
    ``hidden`` as in wifi. Raises QRError with the library's message for
    values it refuses, ValueError or TypeError as the payload functions do."""
    if kind not in _PAYLOAD_FIELDS:
        raise ValueError(f"kind must be one of {', '.join(_PAYLOAD_FIELDS)}, not {kind!r}")
    values = _PAYLOAD_FIELDS[kind](*args, **fields)
    if kind == "wifi" and hidden:
        return _hidden_wifi_text(*values)
    with _lock:
        text = getattr(library(), "qr_text_" + kind)(*values)
        if text is None:
            _fail()
        return text


def batch_file_name(filename: Optional[Text]) -> str:
    """The name of the file batch writes for an item whose "filename" is
    ``filename`` (None: the item has none), e.g. "a_b.png" for "a/b"."""
    with _lock:
        name = library().qr_batch_file_name(_opt_text(filename, "filename"))
    return os.fsdecode(name)


def batch(items: Union[str, bytes, Iterable[dict]], out_dir: PathArg, *, level: Level = "M",
          module_size: int = 10, quiet_zone: int = 4, style: Optional[Style] = None) -> int:
    """One PNG per item in ``out_dir``. ``items`` is a list of
    {"text": ..., "filename": ...} dicts or the JSON text itself. Returns the
    number of files written; stops at the first failing item (QRError)."""
    doc = items if isinstance(items, (str, bytes)) else json.dumps(list(items), ensure_ascii=False)
    args = (_text(doc, "items"), _path(out_dir)) + _geometry(level, module_size, quiet_zone)
    with _styled(style):
        n = library().qr_encode_batch(*args)
        if n < 0:
            _fail()
        return n


# ---- Decoding ----------------------------------------------------------------------------


def decode(source: Union[bytes, bytearray, memoryview, PathArg], *,
           raw: bool = False) -> Union[str, bytes]:
    """The text of the first QR code in ``source``: a path, or the bytes of an
    encoded image (PNG, JPEG, BMP, GIF, ...). Returns str (bytes with
    raw=True); QRError when no code is found."""
    with _lock:
        lib = library()
        if isinstance(source, (bytes, bytearray, memoryview)):
            data = bytes(source)
            if len(data) > 0x7FFFFFFF:
                raise ValueError("image data too large")
            text = lib.qr_decode_from_memory(data, len(data))
        else:
            text = lib.qr_decode_from_file(_path(source))
        if not text:
            _fail()
    return text if raw else text.decode("utf-8", "replace")


# ---- Print-quality grade -----------------------------------------------------------------

GRADES = ("F", "D", "C", "B", "A")
DEFAULT_MIN_GRADE = "C"


class Parameter:
    """One measured parameter of a grade: ``name``, ``value`` (its measure),
    ``grade`` (letter), ``score`` (4.0 for A .. 0.0 for F) and ``hint`` (what
    it means and what to change)."""

    __slots__ = ("name", "value", "grade", "score", "hint")

    def __init__(self, name, value, grade, score, hint):
        self.name, self.value, self.grade, self.score, self.hint = name, value, grade, score, hint

    def to_dict(self) -> dict:
        return {k: getattr(self, k) for k in self.__slots__}

    def __repr__(self) -> str:
        return f"Parameter({self.name!r}, {self.value}, {self.grade!r})"


class Report:
    """The print-quality grade of a code: ``grade`` (A..F), ``score``
    (4.0..0.0), ``passes`` (grade reaches the minimum asked for, C unless
    told), ``weakest`` and ``hint`` (the lowest parameter and what to change),
    ``text`` (what was read; None when nothing was), ``parameters`` (worst
    first) and ``raw`` (the library's report as a dict)."""

    def __init__(self, raw: dict, min_grade: str = DEFAULT_MIN_GRADE):
        self.raw = raw
        self.grade = raw["grade"]
        self.score = float(raw["score"])
        self.passes = GRADES.index(self.grade) >= GRADES.index(min_grade)
        self.weakest = raw["weakest"]
        self.hint = raw["hint"]
        self.text = raw["text"] if raw["decoded"] else None
        params = [Parameter(p["name"], p["value"], p["grade"], p["score"], p["hint"])
                  for p in raw["parameters"]]
        self.parameters = sorted(params, key=lambda p: p.score)

    def to_dict(self) -> dict:
        """grade, score, passes, weakest, hint, text and the parameters (worst
        first), ready for JSON."""
        return {"grade": self.grade, "score": self.score, "passes": self.passes,
                "weakest": self.weakest, "hint": self.hint, "text": self.text,
                "parameters": [p.to_dict() for p in self.parameters]}

    def __repr__(self) -> str:
        return f"Report(grade={self.grade!r}, weakest={self.weakest!r})"


def check(source: Union[bytes, bytearray, memoryview, PathArg], *,
          expected: Optional[Text] = None, min_grade: str = DEFAULT_MIN_GRADE) -> Report:
    """Grade the QR code in ``source`` (a path, or the bytes of an encoded
    image) for print: A (best) .. F, each parameter with what to change. With
    ``expected`` a code that reads as another text fails. ``passes`` tells
    whether the grade reaches ``min_grade``. QRError when the image cannot be
    read; an image without a code gives a report with grade F."""
    if min_grade not in GRADES:
        raise ValueError(f"min_grade must be one of {', '.join(GRADES)}, not {min_grade!r}")
    want = None if expected is None else _text(expected, "expected")
    with _lock:
        lib = library()
        if isinstance(source, (bytes, bytearray, memoryview)):
            data = bytes(source)
            if len(data) > 0x7FFFFFFF:
                raise ValueError("image data too large")
            raw = lib.qr_grade_from_memory(data, len(data), want)
        else:
            raw = lib.qr_grade_from_file(_path(source), want)
        if raw is None:
            _fail()
    return Report(json.loads(raw.decode("utf-8")), min_grade)
