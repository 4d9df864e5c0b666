"""The designer page in headless Chromium, driven by Selenium: the preview
follows the form, errors sit on their fields and stay in view on a phone,
the page passes axe-core in both viewports and colour schemes, the address
keeps the design, and the copied commands write the downloaded files byte
for byte.

VQR_DESIGNER_SCREENSHOTS=folder saves the README's pictures there
(designer.png at 1280 x 900, designer-phone.png at 390 x 844)."""

import base64
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import vantelor_qrcode as qr
from designer_process import DesignerProcess, compile_c

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common import utils
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
HERE = os.path.dirname(os.path.abspath(__file__))
AXE = os.environ.get("VQR_AXE") or os.path.join(
    HERE, "..", "..", ".deps", "npm", "node_modules", "axe-core", "axe.min.js")
PREFIX = os.environ.get("VQR_PREFIX", "")
MISSING = [name for name, found in (("chromium", CHROMIUM), ("chromedriver", CHROMEDRIVER),
                                    ("python3-selenium", webdriver),
                                    ("axe-core in .deps/npm", os.path.isfile(AXE)))
           if not found]
TEXT = "https://example.org/designer-test"
DESKTOP, PHONE = (1280, 900), (390, 844)

if webdriver is not None:
    class LoopbackService(Service):
        """chromedriver reached at 127.0.0.1: Selenium's "localhost" needs an
        /etc/hosts entry that a bare root file system lacks."""

        @property
        def service_url(self):
            return f"http://127.0.0.1:{self.port}"

        def is_connectable(self):
            return utils.is_connectable(self.port, "127.0.0.1")


def solid_png(path, width, height, rgb):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + bytes(rgb) * width for _ in range(height))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height,
                                                                     8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


@unittest.skipIf(MISSING, f"{', '.join(MISSING)} missing (scripts/setup.sh installs them): "
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
                     "--window-size=1280,900", "--force-device-scale-factor=1",
                     # chromedriver talks to the browser through a pipe, not "localhost".
                     "--remote-debugging-pipe"):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {
            "download.default_directory": self.downloads, "download.prompt_for_download": False,
            "profile.default_content_setting_values.automatic_downloads": 1})
        # The browser must not inherit a sanitizer runtime preloaded for the library.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
        service = LoopbackService(CHROMEDRIVER, env=env, service_args=["--allowed-ips=127.0.0.1"])
        self.driver = webdriver.Chrome(service=service, options=options)
        self.addCleanup(self.driver.quit)
        self.wait = WebDriverWait(self.driver, 30)

    # ---- Helpers ---------------------------------------------------------------------------

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def find(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def renders(self):
        return int(self.find("body").get_attribute("data-renders"))

    def open(self, fragment=""):
        self.driver.get(self.server.url + fragment)
        self.wait.until(lambda d: self.renders() >= 1)
        return self.find("body").get_attribute("data-state")

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
        self.js("const e = document.querySelector(arguments[0]); e.value = arguments[1];"
                "e.dispatchEvent(new Event('input', {bubbles: true}));"
                "e.dispatchEvent(new Event('change', {bubbles: true}));", selector, value)

    def choose(self, selector, value):
        return self.after(lambda: Select(self.find(selector)).select_by_value(value))

    def verdict(self):
        verdict = self.find("#verdict")
        return verdict.get_attribute("class"), verdict.text

    def view(self, size, scheme="light"):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": size[0], "height": size[1], "deviceScaleFactor": 1, "mobile": False})
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": scheme}]})

    def in_viewport(self, selector):
        return self.js("const r = document.querySelector(arguments[0]).getBoundingClientRect();"
                       "return r.height > 0 && r.top >= 0 && r.bottom <= innerHeight;", selector)

    def download(self, selector):
        link = self.find(selector)
        name = link.get_attribute("download")
        self.js("arguments[0].click()", link)
        saved = os.path.join(self.downloads, name)
        self.wait.until(lambda d: os.path.exists(saved) and not os.path.exists(
            saved + ".crdownload") and os.path.getsize(saved) > 0)
        with open(saved, "rb") as f:
            return name, f.read()

    def grade_shown(self):
        """The badge's letter and the listed parameters, as the page shows them."""
        return (self.find("#verdict .badge").text,
                [li.text for li in self.driver.find_elements(By.CSS_SELECTOR,
                                                             "#grade-parameters li")])

    def assert_grade_shown(self, text):
        """The badge and the parameters list say what the grader says of the preview."""
        report = qr.check(self.png(), expected=text)
        badge, listed = self.grade_shown()
        self.assertEqual(badge, report.grade)
        weak = [p for p in report.parameters if p.grade != "A"][:3]
        self.assertEqual(len(listed), len(weak), listed)
        for item, parameter in zip(listed, weak):
            self.assertTrue(item.startswith(parameter.name + " "), item)
            self.assertTrue(item.endswith(f", grade {parameter.grade}: {parameter.hint}"), item)
        return report

    def recipe(self, which):
        self.find(f".copy button[data-recipe={which}]").click()
        return self.find("#recipe").get_attribute("textContent")

    # ---- Tests -----------------------------------------------------------------------------

    def test_design_check_and_download(self):
        self.open()
        text = self.find("#text")
        self.assertEqual(self.after(lambda: (text.clear(), text.send_keys(TEXT))), "ok")
        plain = self.png()
        self.assertEqual(qr.decode(plain), TEXT)
        self.assertEqual(self.verdict()[0], "ok")
        self.assertIn("reads this code back at 10 px per module", self.verdict()[1])
        self.assertEqual(self.assert_grade_shown(TEXT).grade, "A")
        self.assertTrue(self.find("#grade-parameters").get_attribute("hidden"))
        # A narrow quiet zone: grade B, the quiet zone named first with what to change.
        self.assertEqual(self.after(lambda: self.set_value("#quiet-zone", "2")), "ok")
        self.assertEqual(self.assert_grade_shown(TEXT).grade, "B")
        self.assertEqual(self.grade_shown()[1][0], "quiet zone 2, grade B: quiet zone 2 modules "
                         "in the image: print it with 4 modules of clear paper around the code")
        self.assertTrue(self.verdict()[1].startswith("B Grade B: our decoder reads"))

        # A print size: the module size it chose shows in its field, a code too
        # small for phone cameras is said so beside the fields and in the verdict.
        size_field, print_size = self.find("#module-size"), self.find("#print-size")
        cases = [("25", "", "8 px per module: 33 modules across (quiet zone 2) in 25 mm at 300 "
                            "dpi make 264 px (22.35 mm).", "ok"),
                 ("11", "600", "7 px per module: 33 modules across (quiet zone 2) in 11 mm at "
                               "600 dpi make 231 px (9.78 mm). Warning: modules of 0.30 mm", "warn")]
        for typed, dpi, note, state in cases:
            with self.subTest(print_size=typed, dpi=dpi):
                self.set_value("#dpi", dpi)
                self.assertEqual(self.after(lambda: self.set_value("#print-size", typed)), "ok")
                self.assertTrue(self.find("#print-note").text.startswith(note),
                                self.find("#print-note").text)
                self.assertEqual(self.verdict()[0], state)
                self.assertEqual("may be too small for phone cameras" in self.verdict()[1],
                                 state == "warn")
                self.assertEqual((size_field.get_attribute("value"), size_field.is_enabled()),
                                 (note.split()[0], False))
                for field in (print_size, self.find("#dpi"), size_field):
                    self.assertIn("print-note", field.get_attribute("aria-describedby"))
        self.set_value("#dpi", "")
        self.assertEqual(self.after(lambda: self.set_value("#print-size", "")), "ok")
        self.assertEqual((size_field.get_attribute("value"), size_field.is_enabled()),
                         ("10", True))
        self.assertFalse(self.find("#print-unit").is_enabled())
        self.assertNotIn("px per module", self.find("#print-note").text)
        self.assertEqual(self.after(lambda: self.set_value("#quiet-zone", "4")), "ok")
        self.assertEqual(self.png(), plain)

        # A preset: the controls left to it say what it draws.
        self.assertEqual(self.choose("#preset", "neon"), "ok")
        self.assertEqual(Select(self.find("#module-style")).first_selected_option.text,
                         "preset: fan")
        self.assertEqual(Select(self.find("#paint-center .mode")).first_selected_option.text,
                         "preset: #00ffe5")
        neon = self.png()
        self.assertNotEqual(neon, plain)
        # A part switched to its own colour starts from the preset's; a typed
        # colour takes effect, a mistyped one is refused on its field.
        self.choose("#paint-center .mode", "solid")
        self.assertEqual(self.find("#paint-center .solid .hex").get_attribute("value"), "#00ffe5")
        self.assertEqual(self.png(), neon)
        self.choose("#paint-module .mode", "solid")
        hex_field = self.find("#paint-module .solid .hex")
        self.assertEqual(self.after(lambda: (hex_field.clear(), hex_field.send_keys("#c2185"))),
                         "error")
        self.assertEqual(self.verdict(), ("bad", "Modules colour: expected # and six hex "
                                                 "digits, like #1a2b3c"))
        self.assertEqual(hex_field.get_attribute("aria-invalid"), "true")
        self.assertEqual(self.after(lambda: hex_field.send_keys("b")), "ok")
        self.assertEqual(self.find("#paint-module .color").get_attribute("value"), "#c2185b")
        self.assertIsNone(hex_field.get_attribute("aria-invalid"))
        recoloured = self.png()
        self.assertNotIn(recoloured, (plain, neon))

        # A background gradient starts light: the code still reads (whether it
        # grades C or better depends on its darker end, so the verdict may warn);
        # radial gradients have no angle.
        self.choose("#preset", "")
        self.assertEqual(self.choose("#paint-background .mode", "gradient"), "ok")
        self.assertIn(self.verdict()[0], ("ok", "warn"), self.verdict())
        self.assertTrue(self.find("#paint-background .angle").is_displayed())
        self.choose("#paint-background .kind", "radial")
        self.assertFalse(self.find("#paint-background .angle").is_displayed())

        # Too long for any version: a plain message on the text, no download.
        self.set_value("#text", "a" * 2950)
        self.assertEqual(self.after(lambda: text.send_keys("bcd")), "error")
        self.assertIn("text too long: 2953 bytes do not fit", self.verdict()[1])
        self.assertEqual((text.get_attribute("aria-invalid"),
                          text.get_attribute("aria-describedby")), ("true", "verdict"))
        self.assertEqual(self.find("#download-png").get_attribute("aria-disabled"), "true")
        self.assertEqual(self.after(lambda: (text.clear(), text.send_keys(TEXT))), "ok")
        self.assertIsNone(text.get_attribute("aria-invalid"))

        # A logo sets level H; a refused one later keeps it and says why.
        logo = self.path("logo.png")
        solid_png(logo, 48, 48, (255, 193, 7))
        self.after(lambda: self.find("#logo-file").send_keys(logo))
        self.wait.until(lambda d: self.find("#logo-state").get_attribute("data-state") == "set")
        level = self.find("#level")
        self.assertEqual((level.get_attribute("value"), level.is_enabled()), ("H", False))
        with_logo = self.png()
        self.assertNotEqual(with_logo, recoloured)
        notes = self.path("notes.png")
        with open(notes, "w") as f:
            f.write("not a picture")
        self.after(lambda: self.find("#logo-file").send_keys(notes))
        self.assertEqual(self.find("#logo-state").text,
                         "notes.png refused: the logo is not an image: upload a PNG, JPEG, GIF "
                         "or BMP file. The logo stays logo.png.")
        self.assertEqual(self.after(lambda: self.set_value("#logo-margin", "6")), "ok")
        self.assertNotEqual(self.png(), with_logo)
        self.assertEqual(self.after(lambda: self.set_value("#logo-margin", "4")), "ok")
        self.assertEqual(self.png(), with_logo, "the logo is still drawn")

        # The download is the preview, named after the content, and reads back.
        name, data = self.download("#download-png")
        self.assertEqual((name, data), ("example.org.png", with_logo))
        self.assertEqual(qr.decode(data), TEXT)
        self.find("#logo-remove").click()
        self.wait.until(lambda d: level.is_enabled())

        # A look too pale to scan fails its grade, with the reason in plain words.
        self.choose("#paint-background .mode", "")
        for part in ("module", "ring", "center"):
            self.set_value(f"#paint-{part} .mode", "solid")
            self.assertEqual(self.after(lambda: self.set_value(f"#paint-{part} .color",
                                                               "#eeeeee")), "ok")
        self.assertEqual(self.verdict()[0], "warn")
        report = self.assert_grade_shown(TEXT)
        self.assertIn(report.grade, ("D", "F"))
        self.assertTrue(self.verdict()[1].startswith(
            f"{report.grade} Warning: at 10 px per module the code grades {report.grade} (below "
            "C); symbol contrast: contrast 15 %: make the modules darker or the background "
            "lighter."), self.verdict()[1])

    def serious_findings(self):
        """axe-core's serious and critical findings on the page as it stands."""
        with open(AXE, encoding="utf-8") as f:
            self.js(f.read())
        found = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {resultTypes: ['violations']}).then("
            "r => done(r.violations.map(v => [v.id, v.impact, v.nodes.map("
            "n => n.target.join(' '))])), e => done([['axe failed', String(e)]]));")
        return [v for v in found if v[1] in ("serious", "critical", None)]

    def test_no_serious_accessibility_violation(self):
        # Many controls open: a gradient, a solid colour, a copied command, a print size;
        # a narrow quiet zone lists a parameter below A under the grade.
        self.open("#kind=wifi&preset=elegant&module.mode=gradient&background.mode=solid"
                  "&quiet_zone=2&print_size=30&dpi=300")
        self.assertEqual(self.grade_shown()[0], "B")
        self.find(".copy button[data-recipe=python]").click()
        # The short verdict is the one live region: editing does not re-read the rest.
        self.assertEqual(self.js(
            "return [...document.querySelectorAll('[aria-live], [role=status], [role=alert], "
            "[role=log], output')].map(e => e.id)"), ["verdict"])
        for size in (DESKTOP, PHONE):
            for scheme in ("light", "dark"):
                with self.subTest(size=size, scheme=scheme):
                    self.view(size, scheme)
                    self.assertEqual(self.serious_findings(), [])
                    shots = os.environ.get("VQR_DESIGNER_SCREENSHOTS")
                    if shots and scheme == "light":
                        name = "designer.png" if size == DESKTOP else "designer-phone.png"
                        self.driver.save_screenshot(os.path.join(shots, name))
        # A print size too small to scan, an error on a field, a refused logo.
        self.assertEqual(self.after(lambda: self.set_value("#print-size", "9")), "ok")
        self.assertEqual(self.find("#print-note").get_attribute("data-state"), "warn")
        self.assertEqual(self.serious_findings(), [])
        self.assertEqual(self.after(lambda: self.set_value("#quiet-zone", "99")), "error")
        notes = self.path("notes.png")
        with open(notes, "w") as f:
            f.write("not a picture")
        self.after(lambda: self.find("#logo-file").send_keys(notes))
        self.assertEqual(self.serious_findings(), [])

    def test_phone_keeps_preview_and_error_in_view(self):
        self.view(PHONE)
        self.open()
        self.choose("#kind", "event")
        # Errors far down the form and near its top both show beside the preview.
        size = self.find("#module-size")
        start = self.find("fieldset[data-kind=event] [name=start]")
        cases = [(size, "99", 400, "Module size: expected a whole number from 1 to 40"),
                 (start, "next Tuesday", 0, "Start: expected a date such as 2030-05-01, or a "
                                            "time such as 2030-05-01T10:30:00Z")]
        for field, typed, scrolled, message in cases:
            with self.subTest(message):
                self.js("arguments[0].scrollIntoView({block: 'end'})", field)
                self.assertGreaterEqual(self.js("return scrollY"), scrolled)
                self.assertEqual(self.after(lambda: (field.clear(), field.send_keys(typed))),
                                 "error")
                self.assertEqual(self.verdict(), ("bad", message))
                self.assertEqual(field.get_attribute("aria-invalid"), "true")
                for selector in ("#png-preview", "#verdict"):
                    self.assertTrue(self.in_viewport(selector), selector)
                field.clear()
                field.send_keys("10" if field == size else "2030-05-01")

        # A long address without spaces wraps at every width.
        self.choose("#kind", "text")
        self.set_value("#text", "https://example.org/" + "x" * 200)
        for width in (320, 390, 1280, 1920):
            with self.subTest(width=width):
                self.view((width, 844))
                self.assertEqual(self.js("const e = document.documentElement;"
                                         "return e.scrollWidth - e.clientWidth"), 0)

    def test_the_address_keeps_the_design(self):
        self.open()
        self.choose("#kind", "wifi")
        self.set_value('fieldset[data-kind=wifi] [name=ssid]', "Caf\u00e9 & Co")
        self.choose("#preset", "elegant")
        self.choose("#ring-style", "tube")
        self.choose("#paint-ring .mode", "gradient")
        self.choose("#paint-ring .kind", "radial")
        self.choose("#level", "Q")
        self.assertEqual(self.after(lambda: self.set_value("#module-size", "6")), "ok")
        self.set_value("#print-size", "1.5")
        self.choose("#print-unit", "in")
        self.assertEqual(self.after(lambda: self.set_value("#dpi", "200")), "ok")
        designed, address = self.png(), self.driver.current_url
        held = self.find("#module-size").get_attribute("value")
        self.assertIn("#", address)

        # Another tab of the same browser: the same design, byte for byte.
        self.driver.switch_to.new_window("tab")
        self.open(address[len(self.server.url):])
        self.assertEqual(self.png(), designed)
        self.assertEqual(self.find('fieldset[data-kind=wifi] [name=ssid]').get_attribute("value"),
                         "Caf\u00e9 & Co")
        self.assertEqual([self.find(f).get_attribute("value") for f in
                          ("#print-size", "#print-unit", "#dpi", "#module-size")],
                         ["1.5", "in", "200", held])
        # The module size the user chose comes back with the print size gone.
        self.assertEqual(self.after(lambda: self.set_value("#print-size", "")), "ok")
        self.assertEqual(self.find("#module-size").get_attribute("value"), "6")
        self.assertEqual(self.after(lambda: self.set_value("#print-size", "1.5")), "ok")

        # A logo comes back from this browser's storage; where it is missing
        # the page names it.
        logo = self.path("brand mark.png")
        solid_png(logo, 40, 40, (30, 90, 200))
        self.after(lambda: self.find("#logo-file").send_keys(logo))
        self.wait.until(lambda d: self.find("#logo-state").get_attribute("data-state") == "set")
        with_logo, address = self.png(), self.driver.current_url
        self.driver.refresh()
        self.wait.until(lambda d: self.renders() >= 1)
        self.assertEqual(self.find("#logo-state").get_attribute("data-state"), "set")
        self.assertEqual(self.png(), with_logo)
        self.js("localStorage.clear()")
        self.driver.refresh()
        self.wait.until(lambda d: self.renders() >= 1)
        self.assertEqual(self.find("#logo-state").get_attribute("data-state"), "missing")
        self.assertIn("uses the logo brand mark.png", self.find("#logo-state").text)
        self.assertEqual(self.png(), designed)

    def test_copied_commands_write_the_downloaded_files(self):
        logo = self.path("brand mark.png")
        solid_png(logo, 40, 40, (200, 30, 90))
        self.open()
        # A contact: line breaks and quotes in the text; a logo whose name needs quoting.
        self.choose("#kind", "vcard")
        self.set_value('fieldset[data-kind=vcard] [name=name]', "Ada O'Neil \"Dev\"")
        self.choose("#preset", "modern")
        self.choose("#paint-module .mode", "gradient")
        self.set_value("#paint-module .angle", "30")
        self.choose("#paint-background .mode", "solid")
        self.set_value("#paint-background .color", "#fff8e7")
        self.after(lambda: self.find("#logo-file").send_keys(logo))
        self.assertEqual(self.after(lambda: self.set_value("#logo-size", "0.17")), "ok")
        self.assert_copies_write_the_downloads(logo, "plain")
        # Sized for print: the PNG records the DPI, the SVG's size is in cm.
        self.set_value("#print-size", "3")
        self.choose("#print-unit", "cm")
        self.assertEqual(self.after(lambda: self.set_value("#dpi", "600")), "ok")
        png = self.assert_copies_write_the_downloads(logo, "print")
        self.assertEqual(png[37:41], b"pHYs")

    def assert_copies_write_the_downloads(self, logo, round):
        """Runs the copied vqr, Python and C in folders of their own, and
        compares what they write with the page's downloads; the PNG."""
        for name in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, name))
        downloads = dict(self.download(s) for s in ("#download-png", "#download-svg"))
        self.assertEqual(sorted(downloads),
                         ["vcard-Ada-O-Neil-Dev.png", "vcard-Ada-O-Neil-Dev.svg"])
        env = dict(os.environ, PATH=os.path.join(PREFIX, "bin") + os.pathsep + os.environ["PATH"])
        source, program = self.path(f"{round}.c"), self.path(round)
        with open(source, "w", encoding="utf-8") as f:
            f.write(self.recipe("c"))
        runs = {"vqr": [["bash", "-c", self.recipe("vqr")]],
                "python": [[sys.executable, "-c", self.recipe("python")]],
                "c": [compile_c(source, program), [program]]}
        for which, commands in runs.items():
            with self.subTest(which, round=round):
                work = self.path(f"{round}-{which}")
                os.mkdir(work)
                shutil.copy(logo, work)
                for argv in commands:
                    run = subprocess.run(argv, cwd=work, env=env, capture_output=True, text=True,
                                         timeout=60)
                    self.assertEqual(run.returncode, 0, run.stderr)
                for name, data in downloads.items():
                    with open(os.path.join(work, name), "rb") as f:
                        self.assertEqual(f.read(), data, name)
        return downloads["vcard-Ada-O-Neil-Dev.png"]


if __name__ == "__main__":
    unittest.main()
