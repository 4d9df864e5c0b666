"""Payload codes read back by independent parsers: calendar events with
icalendar and vobject, contact cards with vobject, and Wi-Fi texts with a
parser written from the published WIFI: format. Each code goes through a
PNG and the decoder, so what is checked is what a phone would import."""

import datetime
import os
import tempfile
import unittest

import icalendar
import vobject

import vantelor_qrcode as qr

UTC = datetime.timezone.utc
EPOCH = 1714559400  # 2024-05-01T10:30:00Z
HOSTILE = 'a\\b;c,d:e"f'  # every byte some payload format escapes


def parse_wifi(text):
    """Fields of a WIFI: text as the published format defines it: 'WIFI:',
    then 'K:value;' fields in any order, ended by an empty field (';;'); a
    backslash takes the next character literally."""
    assert text.startswith("WIFI:"), text
    fields, i = {}, len("WIFI:")
    while text[i] != ";":
        key, value = text[i], []
        assert text[i + 1] == ":", text[i:]
        i += 2
        while text[i] != ";":
            if text[i] == "\\":
                i += 1
            value.append(text[i])
            i += 1
        fields[key] = "".join(value)
        i += 1
    assert i == len(text) - 1, "text after the closing ';;'"
    return fields


def utc(*fields):
    return datetime.datetime(*fields, tzinfo=UTC)


def as_utc(value):
    """A parser's time with a zone, in UTC, so both parsers compare alike."""
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        return value.astimezone(UTC)
    return value


class Base(unittest.TestCase):
    def setUp(self):
        qr.init()
        self.tmp = tempfile.TemporaryDirectory()
        self.png = os.path.join(self.tmp.name, "p.png")

    def tearDown(self):
        qr.cleanup()
        self.tmp.cleanup()


class EventTest(Base):
    def setUp(self):
        super().setUp()
        os.environ["SOURCE_DATE_EPOCH"] = str(EPOCH)

    def tearDown(self):
        del os.environ["SOURCE_DATE_EPOCH"]
        super().tearDown()

    def event(self, title, start, end=None, location=None):
        qr.event(title, start, end, location, path=self.png, module_size=2)
        return qr.decode(self.png)

    def assertParsedAs(self, text, title, start, end, location):
        """Both parsers find exactly one event with these values."""
        cal = icalendar.Calendar.from_ical(text)
        (ev,) = cal.walk("VEVENT")
        v = vobject.readOne(text).vevent
        for got_title, got_start, got_end, got_location, got_stamp in (
                (str(ev["SUMMARY"]), ev["DTSTART"].dt, ev.get("DTEND") and ev["DTEND"].dt,
                 ev.get("LOCATION") and str(ev["LOCATION"]), ev["DTSTAMP"].dt),
                (v.summary.value, v.dtstart.value, "dtend" in v.contents and v.dtend.value,
                 "location" in v.contents and v.location.value, v.dtstamp.value)):
            self.assertEqual(got_title, title)
            self.assertEqual(as_utc(got_start), start)
            self.assertEqual(as_utc(got_end) or None, end)
            self.assertEqual(got_location or None, location)
            self.assertEqual(as_utc(got_stamp), utc(2024, 5, 1, 10, 30))

    def test_fields_escapes_and_times(self):
        cases = [
            # title, start, end, location -> parsed title, start, end, location
            (("Launch", "2024-05-01T10:30:00Z", None, "Hall 2"),
             ("Launch", utc(2024, 5, 1, 10, 30), None, "Hall 2")),
            ((HOSTILE, "2030-05-01T10:30:00+02:00", "2030-05-01 12:15-05:30", HOSTILE + "\\"),
             (HOSTILE, utc(2030, 5, 1, 8, 30), utc(2030, 5, 1, 17, 45), HOSTILE + "\\")),
            (("Fête \u00e0 Zürich \u2014 \u65e5\u672c", "2024-02-29", "2024-03-01", "Caf\u00e9"),
             ("Fête \u00e0 Zürich \u2014 \u65e5\u672c", datetime.date(2024, 2, 29),
              datetime.date(2024, 3, 1), "Caf\u00e9")),
            # A floating local time stays floating.
            (("", "2024-05-01 10:30", "20240501T1100", ""),
             ("", datetime.datetime(2024, 5, 1, 10, 30), datetime.datetime(2024, 5, 1, 11, 0),
              None)),
            # Line breaks of every kind come back as one line feed each.
            (("one\r\ntwo\rthree\nfour", "2024-01-01T00:30+01:00", None, "END:VEVENT\nx"),
             ("one\ntwo\nthree\nfour", utc(2023, 12, 31, 23, 30), None, "END:VEVENT\nx")),
        ]
        for args, expected in cases:
            with self.subTest(title=args[0][:12], start=args[1]):
                self.assertParsedAs(self.event(*args), *expected)

    def test_same_arguments_give_the_same_code(self):
        qr.event("t", "2024-05-01", path=self.png)
        with open(self.png, "rb") as f:
            first = f.read()
        qr.event("t", "2024-05-01", path=self.png)
        with open(self.png, "rb") as f:
            self.assertEqual(f.read(), first)

    def test_longest_title_that_fits_reads_back(self):
        unit = ",;\\\u00e9"  # 5 bytes, 8 once escaped
        low, high = 1, 400
        while low < high:  # the most units a code at level Q holds
            mid = (low + high + 1) // 2
            try:
                self.event(unit * mid, "2024-05-01T10:30Z")
                low = mid
            except qr.QRError as exc:
                self.assertIn("too long", exc.message)
                high = mid - 1
        self.assertGreater(low, 100)
        self.assertParsedAs(self.event(unit * low, "2024-05-01T10:30Z"), unit * low,
                            utc(2024, 5, 1, 10, 30), None, None)


class ContactTest(Base):
    def card(self, name, phone=None, email=None):
        qr.vcard(name, phone, email, path=self.png, module_size=2)
        return vobject.readOne(qr.decode(self.png))

    def test_fields_and_escapes(self):
        cases = [
            # name, phone, email -> family, given, phone, email
            (("Ada Lovelace", "+44 20 7946 0000", "ada@example.org"),
             ("Lovelace", "Ada", "+44 20 7946 0000", "ada@example.org")),
            (("Smith, Jr.; John", None, None), ("Jr.; John", "Smith,", None, None)),
            ((HOSTILE + " " + HOSTILE, "", ""), (HOSTILE, HOSTILE, None, None)),
            (("Zoë Ñúñez-\u738b", None, "zo\u00eb@example.org"),
             ("Ñúñez-\u738b", "Zoë", None, "zo\u00eb@example.org")),
            (("Prince", "5550100", None), ("Prince", "", "5550100", None)),
            (("Ann\r\nMarie Lee", None, None), ("Lee", "Ann\nMarie", None, None)),
        ]
        for (name, phone, email), (family, given, tel, mail) in cases:
            with self.subTest(name=name):
                card = self.card(name, phone, email)
                self.assertEqual(card.fn.value, name.replace("\r\n", "\n"))
                self.assertEqual((card.n.value.family, card.n.value.given), (family, given))
                self.assertEqual("tel" in card.contents and card.tel.value or None, tel)
                self.assertEqual("email" in card.contents and card.email.value or None, mail)

    def test_long_name_reads_back(self):
        # The given name is cut to 250 bytes in N, short of a split character,
        # and kept whole in FN.
        given, family = "a" + "\u00e9" * 126, "x,;" * 30
        card = self.card(given + " " + family)
        self.assertEqual(card.fn.value, given + " " + family)
        self.assertEqual(card.n.value.given, "a" + "\u00e9" * 124)
        self.assertEqual(card.n.value.family, family)


class WifiTest(Base):
    def test_fields_security_and_hidden(self):
        cases = [
            # ssid, password, security, hidden -> T, S, P, H
            (("Home", "s3cret", None, False), ("WPA", "Home", "s3cret", None)),
            ((HOSTILE, HOSTILE + "\\", "wpa3", True), ("WPA", HOSTILE, HOSTILE + "\\", "true")),
            (("Caf\u00e9 \u2615", "p\u00e4ss", "WPA2", True), ("WPA", "Caf\u00e9 \u2615", "p\u00e4ss", "true")),
            (("old", "0123456789", "wep", False), ("WEP", "old", "0123456789", None)),
            (("Guest", None, "None", True), ("nopass", "Guest", None, "true")),
            (("", "", "NOPASS", False), ("nopass", "", None, None)),
        ]
        for (ssid, password, security, hidden), expected in cases:
            with self.subTest(ssid=ssid, hidden=hidden):
                qr.wifi(ssid, password, security, hidden=hidden, path=self.png, module_size=2)
                fields = parse_wifi(qr.decode(self.png))
                self.assertEqual(tuple(fields.get(k) for k in "TSPH"), expected)

    def test_unknown_security_is_refused(self):
        for security in ("WPA4", "wpa-eap", "SAE", "wpa "):
            with self.subTest(security=security), self.assertRaises(ValueError):
                qr.wifi("x", security=security, path=self.png)
        self.assertFalse(os.path.exists(self.png))


if __name__ == "__main__":
    unittest.main()
