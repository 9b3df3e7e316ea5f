"""The SMSC sender in the real kstd: submissions from kstsend as the SMSC
simulator receives them, results, delivery notifications turned into
confirmation e-mails at a real SMTP server, incoming messages handed to real
executables, alerts, the prompt start of a submission from idle, and the
hiding of personal data in the logs, and texts beyond ASCII with their
concatenated parts."""

import os
import sys
import time

import gsmtext
import modememu
from emisender_support import (HIDE_KEYS, KSTSEND, EmiDaemonTestCase, fields_of, log_records, main,
                               records_titled)
from httpapi import HttpApi
from kst import http_section

sys.path.insert(0, os.path.join(modememu.source_dir(), "tools", "modememu"))
import smspdu  # noqa: E402


def date_time(scts):
    """DDMMYYhhmmss as the confirmation e-mail writes it."""
    return "%s.%s.20%s" % (scts[0:2], scts[2:4], scts[4:6]), "%s:%s:%s" % (scts[6:8], scts[8:10], scts[10:12])


def stamp(scts):
    date, clock = date_time(scts)
    return date + " " + clock


class Submission(EmiDaemonTestCase):
    def test_numeric_originator_result_notification_and_confirmation_mail(self):
        self.start_daemon(emi={"OriginatingAddress": "+420777123456"})
        self.kstsend("+420602111222", "Ahoj, jak se mas?", mail_to="jana@example.org", remote="10.1.2.3")
        sub = self.sim.wait_for(self.sim.submissions, what="the submission")[0]
        self.assertEqual(sub["AdC"], "00420602111222")
        self.assertEqual(sub["OAdC"], "420777123456")
        self.assertEqual(sub["OTOA"], "1139")
        self.assertEqual((sub["NRq"], sub["NT"]), ("1", "1"))
        self.assertEqual((sub["NAdC"], sub["NPID"]), ("", ""), "numeric originator: no notification address")
        self.assertEqual(sub["MT"], "3")
        self.assertEqual(sub["text"], "Ahoj, jak se mas?")

        # The positive result counts the message as sent.
        self.wait_stat("sent", 1)
        result = self.sim.sent(ot=51, or_="R")[0]
        self.assertEqual(result["trn"], sub["trn"])
        adc, scts = result["SM"].split(":")

        access = records_titled(self.log("access.log"), "Send SMS requested")
        self.assertEqual(len(access), 1)
        kind, lines = access[0]
        self.assertEqual(kind, "INFO")
        self.assertEqual(lines, ["Send SMS requested", "IP Address: 10.1.2.3",
                                 "Destination Address: +420602111222", "User Data: Ahoj, jak se mas?",
                                 "Notification e-mail: jana@example.org", "OnDisplay: No"])

        # The simulator's notification (status 0 by default) becomes the
        # confirmation e-mail with the default templates.
        note = self.sim.wait_for(lambda: self.sim.sent(ot=53), what="the notification")[0]
        self.assertEqual((note["OAdC"], note["SCTS"]), (adc, scts))
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertEqual(mail.mail_from, "kstd@gateway.test")
        self.assertEqual(mail.rcpt_tos, ["jana@example.org"])
        self.assertEqual(mail["Subject"], "Zprava byla odeslana")
        date, clock = date_time(note["DSCTS"])
        self.assertEqual(mail.body.replace("\r\n", "\n").rstrip("\n"),
                         "Vase zprava na +420602111222 byla odeslana %s v %s.\n\nAhoj, jak se mas?"
                         % (date, clock))
        self.wait_stat("confirmations sent", 1)

        # The notification record names the reported message's destination.
        kind, lines = self.wait_record("receive.log", "Status Report received")[0]
        self.assertEqual(lines, ["Status Report received", "Destination Address: +420602111222",
                                 "User Data: Ahoj, jak se mas?",
                                 "Service Centre Time Stamp: " + stamp(scts),
                                 "Discharge Time: " + stamp(note["DSCTS"]),
                                 "Notification e-mail: jana@example.org", "Status Code: 0",
                                 "Status Description: Delivered"])
        # The notification was acknowledged.
        self.sim.wait_for(lambda: [r for r in self.sim.results_in(ot=53) if r["trn"] == note["trn"]],
                          what="the acknowledgement of the notification")
        self.assertEqual(self.sim.results_in(ot=53)[0]["ACK"], "A")

        # Without a confirmation address: no notification request, no mail.
        self.kstsend("777333444", "Bez potvrzeni")
        second = self.sim.wait_for(lambda: self.sim.submissions()[1:], what="the second submission")[0]
        self.assertEqual(second["AdC"], "00420777333444")
        self.assertEqual((second["NRq"], second["NT"], second["NAdC"]), ("", "", ""))
        self.wait_stat("sent", 2)
        kind, lines = records_titled(self.log("access.log"), "Send SMS requested")[1]
        self.assertEqual(lines, ["Send SMS requested", "IP Address: 127.0.0.1", "Destination Address: 777333444",
                                 "User Data: Bez potvrzeni", "OnDisplay: No"])
        self.assertEqual(len(self.sim.sent(ot=53)), 1)
        self.assertEqual(len(self.smtp.messages()), 1)

    def test_alphanumeric_originator_buffered_and_unmatched_notifications(self):
        self.start_daemon(emi={"OriginatingAddress": "Kestrova", "AlertAddress": "+420999888777"})
        self.sim.set_mode(notify_status=1)
        self.kstsend("602111222", "Prvni", mail_to="petr@example.org", flash=True)
        sub = self.sim.wait_for(self.sim.submissions, what="the submission")[0]
        self.assertEqual(sub["OTOA"], "5039")
        self.assertEqual(sub["OAdC_text"], "Kestrova")
        self.assertEqual((sub["NRq"], sub["NT"]), ("1", "1"))
        self.assertEqual((sub["NAdC"], sub["NPID"]), ("420999888777", "0439"))
        self.assertEqual(sub["AdC"], "00420602111222")

        # Status 1 (buffered): the entry is settled, but no e-mail.
        note = self.sim.wait_for(lambda: self.sim.sent(ot=53), what="the notification")[0]
        self.assertEqual(note["AdC"], "420999888777", "the notification goes to the alert address")
        kind, lines = self.wait_record("receive.log", "Status Report received")[0]
        record = fields_of(lines)
        self.assertEqual(record["Destination Address"], "602111222")
        self.assertEqual(record["User Data"], "Prvni")
        self.assertEqual(record["Notification e-mail"], "petr@example.org")
        self.assertEqual((record["Status Code"], record["Status Description"]), ("1", "Buffered"))

        # The same notification again matches nothing any more: a record
        # without an e-mail address, the destination from the notification.
        self.sim.notify(note["OAdC"], note["SCTS"], 0)
        kind, lines = self.wait_record("receive.log", "Status Report received", count=2)[1]
        record = fields_of(lines)
        self.assertEqual(record["Destination Address"], note["OAdC"])
        self.assertNotIn("Notification e-mail", record)
        self.assertEqual((record["Status Code"], record["Status Description"]), ("0", "Delivered"))
        self.assertEqual(record["Service Centre Time Stamp"], stamp(note["SCTS"]))

        # A notification nobody asked for, with an unknown status.
        self.sim.notify("00420123456789", "010203040506", 7)
        kind, lines = self.wait_record("receive.log", "Status Report received", count=3)[2]
        record = fields_of(lines)
        self.assertEqual(record["Destination Address"], "00420123456789")
        self.assertEqual(record["Service Centre Time Stamp"], "01.02.2003 04:05:06")
        self.assertEqual((record["Status Code"], record["Status Description"]), ("7", ""))

        # A delivered second message: its e-mail is the only one.
        self.sim.set_mode(notify_status=0)
        self.kstsend("602999000", "Druha", mail_to="petr@example.org")
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertIn("Vase zprava na 602999000 byla odeslana", mail.body)
        self.assertTrue(mail.body.replace("\r\n", "\n").rstrip("\n").endswith(".\n\nDruha"))
        self.wait_record("receive.log", "Status Report received", count=4)
        time.sleep(0.5)
        self.assertEqual(len(self.smtp.messages()), 1)
        self.wait_stat("sent", 2)
        self.wait_stat("confirmations sent", 1)
        self.assertEqual(len(self.sim.results_in(ot=53)), 4, "every notification acknowledged")
        self.assertTrue(all(r["ACK"] == "A" for r in self.sim.results_in(ot=53)))

        access = records_titled(self.log("access.log"), "Send SMS requested")
        self.assertEqual(access[0][1][-1], "OnDisplay: Yes")
        self.assertEqual(access[1][1][-1], "OnDisplay: No")

        # Without a confirmation address: no notification fields at all.
        self.kstsend("602999111", "Treti")
        third = self.sim.wait_for(lambda: self.sim.submissions()[2:], what="the third submission")[0]
        self.assertEqual((third["OTOA"], third["OAdC_text"]), ("5039", "Kestrova"))
        self.assertEqual((third["NRq"], third["NT"], third["NAdC"], third["NPID"]), ("", "", "", ""))


CZECH = "Příliš žluťoučký kůň úpěl ďábelské ódy"


class Texts(EmiDaemonTestCase):
    """Encoding = unicode, Concatenation = udh: every text as the simulator
    decodes it again (UCS-2 with Python's codec, the GSM alphabet with the
    harness's table), the parts of long texts joined by their headers, and
    texts of more than MaxParts messages refused over both interfaces; and
    transliterated texts in parts with a header."""

    def test_unicode_texts_concatenated_parts_and_the_parts_limit(self):
        http, port = http_section(self.sandbox)
        self.start_daemon(sections="[General]\nEncoding = unicode\nConcatenation = udh\n" + http)
        api = HttpApi(port)
        self.addCleanup(api.close)
        sent = []

        def submit(text):
            """Posts `text`; the submissions it made, once all are there."""
            status, body = api.json("POST", "/v1/messages", {"to": "+420602111222", "text": text})
            self.assertEqual(status, 202, body)
            sent.extend(body["messages"])
            return self.sim.wait_for(lambda: self.sim.submissions()[len(sent) - len(body["messages"]):]
                                     if len(self.sim.submissions()) >= len(sent) else None,
                                     what="%d submission(s)" % len(body["messages"]))

        # ASCII, the extension table's characters too: IA5 (MT 3) as always.
        ascii_text = "Brackets [x] {y} \\ ^ ~ | end"
        sub, = submit(ascii_text)
        self.assertEqual((sub["MT"], sub["text"], sub["XSer"]), ("3", ascii_text, ""))
        # The GSM alphabet beyond ASCII (the euro, accents): its septets as
        # transparent data of data coding 0.
        gsm_text = "Cena 5 € [ok] Übung é Δ"
        sub, = submit(gsm_text)
        self.assertEqual((sub["MT"], sub["coding"], sub["text"]), ("4", "gsm", gsm_text))
        self.assertEqual(bytes.fromhex(sub["Msg"])[:2], bytes([0xC3, 0xB2]), "packed septets of 'Cen'")
        # Cyrillic and an emoji: UCS-2 with a surrogate pair.
        world = "Привет, мир 😀"
        sub, = submit(world)
        self.assertEqual((sub["MT"], sub["coding"], sub["xser"][0x02]), ("4", "ucs2", b"\x08"))
        self.assertEqual(bytes.fromhex(sub["Msg"]).decode("utf-16-be"), world)
        self.assertEqual(int(sub["NB"]), 8 * len(world.encode("utf-16-be")))
        # Czech over CORBA, ISO-8859-2 as the interface carries it.
        done = self.sandbox.run_inside([KSTSEND, "+420602111222", CZECH.encode("iso-8859-2")])
        self.assertEqual(done.returncode, 0, done.stderr)
        sent.append("corba")
        sub = self.sim.wait_for(lambda: self.sim.submissions()[len(sent) - 1:], what="the Czech text")[0]
        self.assertEqual((sub["coding"], sub["text"]), ("ucs2", CZECH))

        # 400 characters of ASCII: three parts of 153, 153 and 94 characters;
        # a Cyrillic text of 150: 67, 67 and 16 UCS-2 units.
        long_ascii = "".join("%03d-" % i for i in range(100))
        long_cyrillic = ("Съешь же ещё этих мягких французских булок, да выпей чаю. " * 3)[:150]
        for text, coding, sizes in ((long_ascii, "3", [153, 153, 94]), (long_cyrillic, "ucs2", [67, 67, 16])):
            parts = submit(text)
            self.assertEqual([len(p["text"]) for p in parts], sizes)
            self.assertEqual({p.get("coding", p["MT"]) for p in parts}, {coding})
            self.assertEqual(gsmtext.join_parts(parts), text)
        references = {p["udh"]["reference"] for p in self.sim.submissions()[-6:]}
        self.assertEqual(len(references), 2, "each text its own reference")
        self.wait_stat("sent", len(sent))

        # More than five messages: refused whole, nothing queued.
        too_long = (CZECH + " ") * 10
        status, problem = api.json("POST", "/v1/messages", {"to": "+420602111222", "text": too_long})
        self.assertEqual((status, problem.get("field")), (400, "text"), problem)
        done = self.sandbox.run_inside([KSTSEND, "+420602111222", too_long.encode("iso-8859-2")])
        self.assertEqual(done.returncode, 3)
        self.assertIn(b"the text needs more messages", done.stderr)
        refusals = self.wait_record("error.log", "SMS refused: text too long", count=2)
        needed = -(-len(too_long) // 67)
        self.assertGreater(needed, 5)
        for kind, lines in refusals:
            self.assertIn("Reason: the text needs %d messages, at most 5 are sent (General/MaxParts)" % needed,
                          lines)
        time.sleep(1)
        self.assertEqual(len(self.sim.submissions()), len(sent))
        self.assertEqual(self.stats()["sent"], str(len(sent)))


    def test_transliterated_parts_with_a_concatenation_header(self):
        # Encoding transliterate (the default) with Concatenation = udh: the
        # ASCII text as IA5, 153 characters a part, each with its header.
        self.start_daemon(sections="[General]\nConcatenation = udh\nMaxParts = 3\n")
        text = (CZECH + " ") * 8
        ascii_text = ("Prilis zlutoucky kun upel dabelske ody ") * 8
        done = self.sandbox.run_inside([KSTSEND, "+420602111222", text.encode("iso-8859-2")])
        self.assertEqual(done.returncode, 0, done.stderr)
        parts = self.sim.wait_for(lambda: self.sim.submissions()[2:] and self.sim.submissions(), what="three parts")
        self.assertEqual([(p["MT"], len(p["text"])) for p in parts], [("3", 153), ("3", 153), ("3", 6)])
        self.assertEqual(gsmtext.join_parts(parts), ascii_text)
        self.wait_stat("sent", 3)
        # A fourth part is one too many: refused, also over CORBA.
        done = self.sandbox.run_inside([KSTSEND, "+420602111222", ascii_text + "x" * 148])
        self.assertEqual(done.returncode, 3)
        self.wait_record("error.log", "SMS refused: text too long")
        time.sleep(1)
        self.assertEqual(len(self.sim.submissions()), 3)


class Incoming(EmiDaemonTestCase):
    def test_incoming_52_and_01_run_the_executables(self):
        self.start_daemon()
        text = "Odpoved: $HOME `id` ; | & 'x' \"y\""
        trn = self.sim.inject_52("420777111222", self.laid, text, scts="070512153000")["trn"]
        first, second = self.wait_dumps(2)
        self.assertEqual([first["tag"], second["tag"]], ["first", "second"], "in configuration order")
        for dump in (first, second):
            self.assertEqual(dump["env"], {"OA": "420777111222", "SCADDRESS": "", "SCTIME": "070512153000",
                                           "ALPHABET": "7bit", "UD": text, "MWI_ENABLED": "", "MWI": "",
                                           "CLASS": "", "UDHI": ""})
        ack = self.sim.wait_for(lambda: self.sim.results_in(ot=52), what="the acknowledgement")[0]
        self.assertEqual((ack["trn"], ack["ACK"]), (trn, "A"))
        self.wait_stat("received", 1)
        kind, lines = self.wait_record("receive.log", "SMS received")[0]
        self.assertEqual(lines, ["SMS received", "Originating Address: 420777111222",
                                 "Destination Address: " + self.laid, "Timestamp: 07.05.2012 15:30:00",
                                 "User data: " + text])

        # Operation 01 has no time stamp.
        self.sim.inject_01("777222333", self.laid, "Stara operace")
        dumps = self.wait_dumps(4)
        self.assertEqual(dumps[2]["env"]["OA"], "777222333")
        self.assertEqual(dumps[2]["env"]["UD"], "Stara operace")
        self.assertEqual(dumps[2]["env"]["SCTIME"], "")
        self.assertEqual(dumps[3]["tag"], "second")
        self.sim.wait_for(lambda: self.sim.results_in(ot=1), what="the acknowledgement of 01")
        self.assertEqual(self.sim.results_in(ot=1)[0]["ACK"], "A")
        self.wait_stat("received", 2)
        kind, lines = self.wait_record("receive.log", "SMS received", count=2)[1]
        self.assertEqual(lines[1], "Originating Address: 777222333")
        self.assertEqual(lines[-1], "User data: Stara operace")
        self.assertEqual(self.stats()["sent"], "0")


    def test_unicode_8bit_and_concatenated_messages_reach_the_executable_as_utf8(self):
        """Encoding = unicode: transparent data (MT 4) with the data coding in
        the extra services reaches the executable as UTF-8, the three parts
        of a concatenated message (out of order, one of them twice) as one
        run with the joined text; faulty UCS-2 is reported, not fatal."""
        one = "/usr/bin/python3 %s only %s" % (self.dump_script, self.dump_dir)
        self.start_daemon(executables=one, sections="[General]\nEncoding = unicode\n")
        czech = "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148 \U0001F600"
        self.sim.inject_52_data("420777111222", self.laid, czech.encode("utf-16-be"), dcs=8, trn=80)
        gsm = "[x]{y}\\^~|\u20ac @\u00a3$ \u0394\u03a3"
        septets = smspdu.gsm_septets(gsm)
        self.sim.inject_52_data("420777111222", self.laid, smspdu.pack_septets(septets), dcs=0,
                                septets=len(septets), trn=81)
        self.sim.inject_52_data("420777111222", self.laid, b"\x01\xe9AB", dcs=0xF4, trn=82)
        self.sim.inject_52_data("420777111222", self.laid, b"\x00\x41\xd8", dcs=8, trn=83)
        whole = "Dlouh\u00e1 zpr\u00e1va: \u0451\u0436\u0438\u043a \U0001F389 konec"
        pieces = [whole[0:9], whole[9:19], whole[19:]]
        for trn, number in zip((84, 85, 86, 87), (3, 1, 1, 2)):
            self.sim.inject_52_data("420777333444", self.laid, pieces[number - 1].encode("utf-16-be"), dcs=8,
                                    udh=bytes([5, 0, 3, 0xA7, 3, number]), trn=trn)
        dumps = self.wait_dumps(5)
        time.sleep(0.5)
        self.assertEqual([(d["env"]["ALPHABET"], d["env"]["UD"]) for d in self.dumps()],
                         [("ucs2", czech), ("7bit", gsm), ("8bit", "\x01\u00e9AB"), ("ucs2", "A\ufffd"),
                          ("ucs2", whole)])
        self.assertEqual(dumps[4]["env"]["OA"], "420777333444")
        acks = self.sim.wait_for(lambda: (lambda r: r if len(r) == 8 else None)(self.sim.results_in(ot=52)),
                                 what="every acknowledgement")
        self.assertEqual(sorted((r["trn"], r["ACK"]) for r in acks), [(t, "A") for t in range(80, 88)])
        self.wait_stat("received", 8)
        joined = fields_of(self.wait_record("receive.log", "Concatenated SMS joined")[0][1])
        # The harness reads the logs as ISO-8859-1.
        self.assertEqual((joined["Parts"], joined["User data"]), ("3", whole.encode("utf-8").decode("latin-1")))
        self.assertEqual(len(records_titled(self.log("receive.log"), "SMS received again, ignored")), 1)
        parts = [fields_of(lines)["Part"] for _, lines in records_titled(self.log("receive.log"), "SMS received")
                 if "Part" in fields_of(lines)]
        self.assertEqual(parts, ["3 of 3 (reference 167)", "1 of 3 (reference 167)", "2 of 3 (reference 167)"])
        faulty = [line for line in self.log("error.log").splitlines() if "faulty user data" in line]
        self.assertEqual(len(faulty), 1, self.log("error.log"))
        self.assertIn("UCS-2 data of an odd number of octets", faulty[0])


class KeepAlive(EmiDaemonTestCase):
    def test_alert_after_idle_rounds(self):
        self.start_daemon(emi={"AlertTimeout": "2", "AlertAddress": "+420999888777"})
        alerts = self.sim.wait_for(lambda: self.sim.alerts()[1:] and self.sim.alerts(), timeout=30,
                                   what="two alerts")
        first, second = alerts[0], alerts[1]
        self.assertEqual((first["AdC"], first["PID"]), ("420999888777", "0439"))
        self.wait_log_line("error.log", r"INFO     - EMI: alert \(keep alive\) sent, trnId: %d$" % first["trn"])
        # More than two idle rounds of about a second each between alerts.
        self.assertGreater(second["t"] - first["t"], 2.5)
        # Alert results are no submissions: nothing counted.
        self.assertEqual(self.stats()["sent"], "0")


class WakeUp(EmiDaemonTestCase):
    def test_idle_sender_submits_at_once(self):
        self.start_daemon()
        # The first submission shows the sender is polling.
        self.kstsend("602000000", "start")
        self.sim.wait_for(self.sim.submissions, what="the first submission")
        delays = []
        for i in range(5):
            # Idle for longer than one idle round.
            time.sleep(1.3)
            before = len(self.sim.submissions())
            self.kstsend("60200000%d" % (i + 1), "zprava %d" % i)
            queued = time.time()
            sub = self.sim.wait_for(lambda: self.sim.submissions()[before:], what="submission %d" % i)[0]
            delays.append(sub["t"] - queued)
        # Within one idle round of one second, every time: the queue wakes
        # the sender.
        delays.sort()
        self.assertLess(delays[2], 0.3, "submission delays after SendSms: %r" % delays)


class Hiding(EmiDaemonTestCase):
    def test_every_hiding_flag(self):
        self.start_daemon(hide=HIDE_KEYS)
        secret_number, secret_text, secret_mail, secret_ip = "602777888", "Tajna zprava", "tajny@example.org", "10.20.30.40"
        self.kstsend(secret_number, secret_text, mail_to=secret_mail, remote=secret_ip)
        kind, lines = self.wait_record("access.log", "Send SMS requested")[0]
        self.assertEqual(lines, ["Send SMS requested", "IP Address: <hidden>", "Destination Address: <hidden>",
                                 "User Data: <hidden>", "Notification e-mail: <hidden>", "OnDisplay: No"])
        # The mail carries the real values.
        mail = self.smtp.wait_for_messages(1)[0]
        self.assertEqual(mail.rcpt_tos, [secret_mail])
        self.assertIn("Vase zprava na %s byla odeslana" % secret_number, mail.body)
        self.assertIn(secret_text, mail.body)
        kind, lines = self.wait_record("receive.log", "Status Report received")[0]
        record = fields_of(lines)
        self.assertEqual((record["Destination Address"], record["User Data"], record["Notification e-mail"]),
                         ("<hidden>", "<hidden>", "<hidden>"))
        self.assertNotEqual(record["Service Centre Time Stamp"], "<hidden>")
        self.assertEqual(record["Status Description"], "Delivered")

        # Received: the originator and the text hidden, the executables get
        # the real values.
        self.sim.inject_52("420777999000", self.laid, "Tajna odpoved", scts="311224235959")
        dump = self.wait_dumps(1)[0]
        self.assertEqual((dump["env"]["OA"], dump["env"]["UD"]), ("420777999000", "Tajna odpoved"))
        kind, lines = self.wait_record("receive.log", "SMS received")[0]
        self.assertEqual(lines, ["SMS received", "Originating Address: <hidden>", "Destination Address: " + self.laid,
                                 "Timestamp: 31.12.2024 23:59:59", "User data: <hidden>"])

        # The error log's record of a refused message.
        self.sim.set_mode(submit="nack")
        self.kstsend("602111999", "Tajne odmitnuta", remote=secret_ip)
        title = "SMS was not acknowledged: 04 = Operation not allowed"
        kind, lines = self.wait_record("error.log", title)[0]
        self.assertEqual(lines, [title, "IP Address: <hidden>", "Destination Address: <hidden>",
                                 "User Data: <hidden>", "OnDisplay: No"])

        secrets = [secret_number, secret_text, secret_mail, secret_ip, "420777999000", "Tajna odpoved",
                   "602111999", "Tajne odmitnuta"]
        for name in ("access.log", "receive.log"):
            for secret in secrets:
                self.assertNotIn(secret, self.log(name), "%s shows %r" % (name, secret))
        for kind, lines in log_records(self.log("error.log")):
            # The e-mailer's own report names the destination and the
            # address; the sender's records must not.
            if lines[0].startswith("Confirmation for "):
                continue
            for secret in secrets:
                self.assertNotIn(secret, "\n".join(lines), "error log record %r shows %r" % (lines, secret))


if __name__ == "__main__":
    main()
