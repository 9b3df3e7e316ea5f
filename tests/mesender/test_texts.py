"""Texts through the modem as they were sent: the GSM alphabet's extension
table in both Encoding modes, UCS-2 for what the alphabet lacks (compared
with Python's own utf-16-be codec), and long texts as parts with a
concatenation header the phone joins (Concatenation = udh), whose status
reports are still matched. Real kstd over CORBA (kstsend, ISO-8859-2) and
HTTP (UTF-8), the modem emulator decoding every PDU it is given."""

import re
import time

from httpapi import HttpApi
from kst import http_section, wait_until
from test_sending import TARGET, SendingTest, mail_text

# Every character of the extension table that ASCII has, each between
# plain ones.
ASCII_EXTENSION = "a[b]c{d}e\\f^g~h|i"
CZECH = "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148 \u00fap\u011bl \u010f\u00e1belsk\u00e9 \u00f3dy"


def numbers(text):
    """The numbers of a text: how a confirmation e-mail, whose text may be
    transliterated, is told from another."""
    return re.findall(r"\d+", text)


def user_data(sent):
    """The user data octets of a sent PDU after its header (if any)."""
    octets = bytes.fromhex(sent["pdu"])
    data = octets[len(octets) - (sent["udl"] if sent["alphabet"] != "7bit" else (sent["udl"] * 7 + 7) // 8):]
    return data[1 + data[0]:] if sent["udhi"] else data


class TextTest(SendingTest):
    def start(self, encoding, concatenation="text", http=False):
        general = "[General]\nEncoding = %s\nConcatenation = %s\n" % (encoding, concatenation)
        smtp = "[SMTP]\nServerHost = 127.0.0.1\nServerPort = %d\nFrom = kstd@example.org\n" % self.smtp.port
        extra = general + smtp
        if http:
            section, port = http_section(self.sandbox)
            extra += section
            self.api = HttpApi(port)
            self.addCleanup(self.api.close)
        self.start_kstd(extra=extra)
        self.wait_ready()

    def post(self, text, **fields):
        status, body = self.api.json("POST", "/v1/messages", dict(fields, to=TARGET, text=text))
        self.assertEqual(status, 202, body)
        return body


class Characters(TextTest):
    def test_extension_table_transliterated(self):
        # Today's mode: the text is transliterated to ASCII, and what is
        # left goes in the default alphabet, escapes included.
        self.start("transliterate")
        self.kstsend(TARGET, ASCII_EXTENSION.encode("latin-1"))
        self.kstsend(TARGET, CZECH.encode("iso-8859-2"))
        sent = self.wait_sent(2)
        self.assertEqual([(s["text"], s["dcs"], s["udl"]) for s in sent],
                         [(ASCII_EXTENSION, 0, len(ASCII_EXTENSION) + 8),
                          ("Prilis zlutoucky kun upel dabelske ody", 0, len(CZECH))])
        self.assertEqual(self.modem.events("pdu-error"), [])

    def test_extension_table_and_ucs2_in_unicode_mode(self):
        self.start("unicode", http=True)
        self.kstsend(TARGET, ASCII_EXTENSION.encode("latin-1"))
        self.kstsend(TARGET, CZECH.encode("iso-8859-2"))
        self.kstsend("-f", TARGET, CZECH.encode("iso-8859-2"))
        euro = "\u20ac 5 [x] {y} \\ ^ ~ | \u00a3\u00e9\u00c4\u00df@"
        cyrillic_emoji = "\u041f\u0440\u0438\u0432\u0435\u0442 \U0001F600!"
        self.post(euro)
        self.post(cyrillic_emoji)
        sent = self.wait_sent(5)
        self.assertEqual([(s["text"], s["dcs"]) for s in sent],
                         [(ASCII_EXTENSION, 0x00), (CZECH, 0x08), (CZECH, 0x18), (euro, 0x00),
                          (cyrillic_emoji, 0x08)])
        self.assertEqual(sent[2]["message_class"], 0)
        # The UCS-2 data is exactly what Python's codec makes of the text,
        # the emoji a surrogate pair; 7-bit lengths count the escapes.
        for s in (sent[1], sent[2], sent[4]):
            self.assertEqual(user_data(s), s["text"].encode("utf-16-be"))
            self.assertEqual(s["udl"], len(s["text"].encode("utf-16-be")))
        self.assertEqual(user_data(sent[4])[-6:], "\U0001F600!".encode("utf-16-be"))
        self.assertEqual(sent[3]["udl"], len(euro) + 9)
        self.assertFalse(any(s["udhi"] for s in sent))
        self.assertEqual(self.modem.events("pdu-error"), [])
        # The records carry the text as it was sent (UTF-8).
        accepted = self.wait_record("access.log", "Send SMS requested", count=5)
        self.assertEqual(accepted[4]["lines"][3].encode("latin-1").decode("utf-8"), "User Data: " + cyrillic_emoji)


class Concatenated(TextTest):
    def joined(self, sent):
        """The parts of one concatenated message: same reference and count,
        numbers 1..N in order; returns their texts joined."""
        heads = [s["concatenation"] for s in sent]
        self.assertTrue(all(s["udhi"] for s in sent))
        self.assertEqual({(h["reference"], h["count"], h["reference_bits"]) for h in heads},
                         {(heads[0]["reference"], len(sent), 8)})
        self.assertEqual([h["number"] for h in heads], list(range(1, len(sent) + 1)))
        return "".join(s["text"] for s in sent)

    def test_long_texts_go_as_parts_the_phone_joins_and_each_is_confirmed(self):
        self.start("unicode", concatenation="udh", http=True)
        # 400 characters in the default alphabet, 550 septets with the
        # escapes: four parts of at most 153 septets, no escape pair divided.
        text = "".join("%03d {\u20ac} " % i for i in range(50))
        self.assertEqual(len(text), 400)
        self.post(text, notify_email="someone@example.org")
        gsm = self.wait_sent(4)
        self.assertEqual(self.joined(gsm), text)
        self.assertEqual({s["dcs"] for s in gsm}, {0})
        self.assertTrue(all(s["udl"] <= 7 + 153 for s in gsm))
        self.assertTrue(all(s["status_report_request"] for s in gsm))
        # UCS-2: 67 units a part; the next message has another reference.
        czech = (CZECH + " ") * 6
        self.post(czech)
        ucs2 = self.wait_sent(4 + 4)[4:]
        self.assertEqual(self.joined(ucs2), czech)
        self.assertEqual([s["udl"] for s in ucs2], [6 + 134, 6 + 134, 6 + 134, 6 + 2 * (len(czech) - 3 * 67)])
        self.assertEqual(b"".join(user_data(s) for s in ucs2), czech.encode("utf-16-be"))
        self.assertNotEqual(ucs2[0]["concatenation"]["reference"], gsm[0]["concatenation"]["reference"])

        # The status report of the second part is matched to that part and
        # confirms it; the others wait for theirs.
        self.modem.report(gsm[1]["mr"], status=0)
        mail = self.smtp.wait_for_messages(1, timeout=30)[0]
        self.assertEqual(numbers(mail_text(mail)), numbers(gsm[1]["text"]))
        report = self.wait_record("receive.log", "Status Report received")[0]
        self.assertIn("Notification e-mail: someone@example.org", report["lines"])
        for s in (gsm[0], gsm[2], gsm[3]):
            self.modem.report(s["mr"], status=0)
        self.smtp.wait_for_messages(4, timeout=30)
        time.sleep(1)
        self.assertEqual(sorted(numbers(mail_text(m)) for m in self.smtp.messages()),
                         sorted(numbers(s["text"]) for s in gsm))
        wait_until(lambda: self.stats()["confirmations sent"] == "4", 10, what="the confirmation counter")
        self.assertEqual(len(self.modem.sent()), 8)
        self.assertEqual(self.modem.events("pdu-error"), [])

    def test_a_refused_part_alone_is_sent_again(self):
        self.start("unicode", concatenation="udh")
        # The network refuses the second part for a while (congestion).
        self.modem.fault("send_script", ["ok", "cms:42"])
        text = "".join("part text %03d. " % i for i in range(20))
        self.kstsend(TARGET, text.encode("latin-1"))
        sent = self.wait_sent(2)
        refused = self.modem.events("send-refused")
        self.assertEqual([r["data"]["decoded"]["concatenation"]["number"] for r in refused], [2])
        self.assertEqual(self.joined(sent), text)
        time.sleep(1)
        # Each part reached the network once: nothing lost, nothing twice.
        self.assertEqual(len(self.modem.sent()), 2)
        wait_until(lambda: self.stats()["sent"] == "2", 10, what="the sent counter")

    def test_transliterated_parts_with_escapes_lose_nothing(self):
        self.start("transliterate", concatenation="udh")
        # 300 characters, 500 septets: the text is divided by septets into
        # four parts of one message, no escape pair divided.
        text = "[x]" * 100
        self.kstsend(TARGET, text.encode("latin-1"))
        accepted = self.wait_record("access.log", "Send SMS requested", count=4)
        self.assertEqual(len(accepted), 4)
        sent = self.wait_sent(4)
        self.assertEqual(self.joined(sent), text)
        self.assertTrue(all(s["udhi"] and s["udl"] <= 160 for s in sent), sent)
        time.sleep(1)
        self.assertEqual(len(self.modem.sent()), 4)
        self.assertEqual(self.modem.events("pdu-error"), [])


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
