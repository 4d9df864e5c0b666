"""The designer page in headless Chromium, driven by Selenium: the preview
follows the form, bad input shows a message, a logo uploads, and the PNG
downloaded from the page reads back.

VQR_DESIGNER_SCREENSHOT=path saves a screenshot of the page once a styled
code with a logo is showing (the README's picture)."""

import base64
import os
import shutil
import socket
import struct
import tempfile
import unittest
import zlib

import vantelor_qrcode as qr
from designer_process import DesignerProcess

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")


def localhost_resolves():
    """chromedriver and Selenium reach each other and the browser as
    "localhost", which a minimal system without /etc/hosts cannot resolve."""
    try:
        socket.getaddrinfo("localhost", None)
        return True
    except OSError:
        return False


MISSING = [name for name, found in (("chromium", CHROMIUM), ("chromedriver", CHROMEDRIVER),
                                    ("python3-selenium", webdriver),
                                    ("a 'localhost' entry in /etc/hosts", localhost_resolves()))
           if not found]
TEXT = "https://example.org/designer-test"


def solid_png(path, width, height, rgb):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height,
                                                                     8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


@unittest.skipIf(MISSING, f"{', '.join(MISSING)} missing (scripts/setup.sh installs the packages): "
                 "designer browser test skipped")
class DesignerInBrowser(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="vqr-designer-browser-")
        self.addCleanup(self.tmp.cleanup)
        self.server = DesignerProcess()
        self.addCleanup(self.server.close)
        self.downloads = self.path("downloads")
        os.mkdir(self.downloads)
        options = Options()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", f"--user-data-dir={self.path('profile')}",
                     "--window-size=1280,1000", "--force-device-scale-factor=1"):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {
            "download.default_directory": self.downloads, "download.prompt_for_download": False})
        # The browser must not inherit a sanitizer runtime preloaded for the library.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
        self.addCleanup(self.driver.quit)
        self.wait = WebDriverWait(self.driver, 30)

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def find(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def renders(self):
        return int(self.find("body").get_attribute("data-renders"))

    def after(self, action):
        """Does action and waits for the page to show the rendering it asked for."""
        before = self.renders()
        action()
        self.wait.until(lambda d: self.renders() > before
                        and self.find("body").get_attribute("data-state") in ("ok", "error"))
        return self.find("body").get_attribute("data-state")

    def png(self):
        src = self.find("#png-preview").get_attribute("src")
        self.assertTrue(src.startswith("data:image/png;base64,"), src[:40])
        return base64.b64decode(src.split(",", 1)[1])

    def set_value(self, selector, value):
        """Sets a control the way a person does (colour pickers and long texts
        cannot be typed quickly), firing the events the page listens to."""
        self.driver.execute_script(
            "const e = document.querySelector(arguments[0]); e.value = arguments[1];"
            "e.dispatchEvent(new Event('input', {bubbles: true}));"
            "e.dispatchEvent(new Event('change', {bubbles: true}));", selector, value)

    def message(self):
        return self.find("#message").text

    def test_design_check_and_download(self):
        self.driver.get(self.server.url)
        self.wait.until(lambda d: self.renders() >= 1)
        text = self.find("#text")
        self.assertEqual(self.after(lambda: (text.clear(), text.send_keys(TEXT))), "ok")
        plain = self.png()
        self.assertEqual(qr.decode(plain), TEXT)
        verdict = self.find("#verdict")
        self.assertIn("reads this code back at 10 px", verdict.text)
        self.assertEqual(verdict.get_attribute("class"), "ok")

        # A preset, then a colour, each change the preview.
        self.assertEqual(self.after(lambda: Select(self.find("#preset")).select_by_value("dots")),
                         "ok")
        dots = self.png()
        self.assertNotEqual(dots, plain)
        mode = Select(self.find("#paint-module .mode"))
        self.after(lambda: mode.select_by_value("solid"))
        self.assertEqual(self.after(lambda: self.set_value("#paint-module .color", "#c2185b")),
                         "ok")
        self.assertIn("reads this code back", self.find("#verdict").text)
        recoloured = self.png()
        self.assertNotIn(recoloured, (plain, dots))
        self.assertTrue(self.driver.execute_script(
            "const i = document.querySelector('#svg-preview'); return i.complete && "
            "i.naturalWidth > 0"), "the SVG preview shows")

        # Too long for any version: a message, no download.
        self.set_value("#text", "a" * 2950)
        self.assertEqual(self.after(lambda: text.send_keys("bcd")), "error")
        self.assertIn("text too long: 2953 bytes do not fit", self.message())
        self.assertEqual(self.find("#download-png").get_attribute("aria-disabled"), "true")
        self.assertEqual(self.after(lambda: (text.clear(), text.send_keys(TEXT))), "ok")
        self.assertFalse(self.find("#message").is_displayed())

        # Logos: a file that is no image is refused, a picture is used.
        notes = self.path("notes.png")
        with open(notes, "w") as f:
            f.write("not a picture")
        self.assertEqual(self.after(lambda: self.find("#logo-file").send_keys(notes)), "error")
        self.assertIn("the logo is not an image", self.message())
        logo = self.path("logo.png")
        solid_png(logo, 48, 48, (255, 193, 7))
        self.after(lambda: self.find("#logo-file").send_keys(logo))
        self.wait.until(lambda d: self.find("#logo-state").get_attribute("data-state") == "set")
        self.assertEqual(self.find("body").get_attribute("data-state"), "ok", self.message())
        self.assertIn("level H", self.find("#facts").text)
        with_logo = self.png()
        self.assertNotEqual(with_logo, recoloured)
        self.assertIn("reads this code back", self.find("#verdict").text)
        shot = os.environ.get("VQR_DESIGNER_SCREENSHOT")
        if shot:
            self.driver.save_screenshot(shot)

        # The downloaded PNG is the preview, and reads back.
        self.find("#download-png").click()
        saved = os.path.join(self.downloads, "qrcode.png")
        self.wait.until(lambda d: os.path.exists(saved) and not os.path.exists(
            saved + ".crdownload") and os.path.getsize(saved) > 0)
        with open(saved, "rb") as f:
            self.assertEqual(f.read(), with_logo)
        self.assertEqual(qr.decode(saved), TEXT)

        # A look our decoder cannot read gets a warning, not a silent picture.
        self.assertEqual(self.after(lambda: self.set_value("#paint-module .color", "#ffffff")),
                         "ok")
        self.assertEqual(self.find("#verdict").get_attribute("class"), "warn")
        self.assertIn("Warning: at 10 px per module the code grades F",
                      self.find("#verdict").text)


if __name__ == "__main__":
    unittest.main()
