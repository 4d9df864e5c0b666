"""Shared pieces of the development-set tools: paths, the look list and the readers.

The set lives outside the repository in one folder (``--dir``):

    looks.jsonl        one look per line (written by make_looks.py, completed by label.py)
    renders/ID.png     the clean render of each look, made by ``vqr encode``
    logos/ID.png       logo images drawn by make_looks.py
    captures/ID-K.jpg  simulated phone captures, K = 0..7 (simulate.py)

Every reader here takes a file path and returns the decoded texts (a list of
str); a read counts only when the expected text is among them, exactly.
"""
import ctypes
import json
import os
import warnings

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_VQR = os.path.join(REPO, "build", "release", "tools", "vqr")
DEFAULT_LIB = os.path.join(REPO, "build", "release", "libvantelor-qrcode.so")
SEED = 19022
CAPTURES_PER_LOOK = 8
DEBIAN_READERS = ("zxing-cpp", "zbar", "wechat")


def looks_path(root):
    return os.path.join(root, "looks.jsonl")


def load_looks(root):
    with open(looks_path(root), encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def save_looks(root, looks):
    """Writes looks.jsonl through a temporary file, so a reader never sees half a list."""
    tmp = looks_path(root) + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        for look in looks:
            f.write(json.dumps(look, ensure_ascii=False) + "\n")
    os.replace(tmp, looks_path(root))


def capture_path(root, look_id, k):
    return os.path.join(root, "captures", "%s-%d.jpg" % (look_id, k))


def _zxing():
    import zxingcpp  # python3-zxing-cpp
    warnings.filterwarnings("ignore", module="PIL")
    from PIL import Image  # python3-pil

    def read(path):
        with Image.open(path) as im:
            r = zxingcpp.read_barcode(im.convert("L"), formats=zxingcpp.BarcodeFormat.QRCode)
        return [r.text] if r and r.valid else []
    return read


def _zbar():
    from pyzbar import pyzbar  # python3-pyzbar
    from PIL import Image

    def read(path):
        with Image.open(path) as im:
            found = pyzbar.decode(im.convert("L"), symbols=[pyzbar.ZBarSymbol.QRCODE])
        return [s.data.decode("utf-8", "replace") for s in found]
    return read


def _wechat():
    """OpenCV's WeChat reader; Debian packages no CNN model files, so it runs without them
    (its classic finder-pattern detector)."""
    import cv2  # python3-opencv
    reader = cv2.wechat_qrcode_WeChatQRCode()

    def read(path):
        texts, _points = reader.detectAndDecode(cv2.imread(path, cv2.IMREAD_COLOR))
        return list(texts)
    return read


def library_reader(lib_path):
    """Our library through ctypes, as ../shared/decode-dev/score.py loads it."""
    fn = ctypes.CDLL(os.path.abspath(lib_path)).qr_decode_from_file
    fn.argtypes = [ctypes.c_char_p]
    fn.restype = ctypes.c_char_p

    def read(path):
        out = fn(os.fsencode(path))
        return [out.decode("utf-8", "replace")] if out else []
    return read


READER_FACTORIES = {"zxing-cpp": _zxing, "zbar": _zbar, "wechat": _wechat}


def debian_readers(names=DEBIAN_READERS):
    return [(name, READER_FACTORIES[name]()) for name in names]


def label(counts, captures=CAPTURES_PER_LOOK):
    """The verdict from how many of the captures each reader read with the exact text."""
    share = sum(counts.values()) / (len(counts) * captures)
    readers_half = sum(c * 2 >= captures for c in counts.values())
    if share >= 0.6 and readers_half >= 2:
        return "scans"
    if share <= 0.2:
        return "fails"
    return "between"
