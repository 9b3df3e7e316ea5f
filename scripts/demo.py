"""Runs kstd on a demo configuration and shows one message going out (with
its confirmation e-mail) and one coming in. Started by scripts/demo."""

import os
import re
import signal
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
os.environ.setdefault("KST_SOURCE_DIR", SOURCE_DIR)
os.environ.setdefault("KST_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "harness"))

import kst  # noqa: E402
from smscsim import SmscSim  # noqa: E402
from smtpserver import SmtpServer  # noqa: E402

DESTINATION = "+420777123456"
SENDER_OF_INCOMING = "+420602111222"


def section(title):
    print("\n=== " + title)


def show(text):
    print(textwrap.indent(text.rstrip("\n"), "    "))


def main():
    if os.geteuid() != 0:
        sys.exit("scripts/demo needs root: the daemon runs in a private mount namespace")

    sandbox = kst.Sandbox("demo")
    sim = SmscSim(password="demo")
    smtp = SmtpServer()
    try:
        received = os.path.join(sandbox.root, "received")
        os.mkdir(received)
        handler = os.path.join(sandbox.root, "on-sms")
        with open(handler, "w") as f:
            f.write("#!/bin/sh\n"
                    "# Run by kstd for every received message, with the message in its environment.\n"
                    "{ echo \"from $OA at $SCTIME ($ALPHABET): $UD\"; } >> %s/messages.txt\n" % received)
        os.chmod(handler, 0o755)

        ini = textwrap.dedent("""\
            [Log]
            ErrorLog = {logs}/error.log
            AccessLog = {logs}/access.log
            ReceiveLog = {logs}/receive.log

            [EMI]
            Address = 127.0.0.1
            Port = {port}
            LAID = 4200001
            Password = demo
            WindowSize = 10
            Throughput = 10
            OriginatingAddress = +420777000111
            AlertAddress = 4200001

            [SmsProcessing]
            Executables = {handler}

            [SMTP]
            ServerHost = 127.0.0.1
            ServerPort = {smtp_port}
            From = kstd@demo.example
            """).format(logs=os.path.join(sandbox.root, "logs"), port=sim.ucp_port, handler=handler,
                        smtp_port=smtp.port)
        sandbox.write_ini(ini)
        section("configuration /etc/kst/kstd.ini (inside the daemon's namespace)")
        show(ini)

        section("starting kstd -d (the manager connects the SMSC sender in its first cycles)")
        kstd = sandbox.start_kstd(["-d"])
        kstd.wait_output(r"Starting ORB", 30)
        sandbox.wait_ior()
        kstd.wait_output(r"SMS sender 'Sender thread\(EMI\)' is active for sending", 40)
        print("    the SMSC sender is connected and active")

        section("kstsend -m demo@example.org %s 'Hello from Kestrova'" % DESTINATION)
        result = sandbox.run_inside([kst.binary("kstsend"), "-m", "demo@example.org", DESTINATION,
                                     "Hello from Kestrova"])
        show(result.stdout.decode() + result.stderr.decode())

        submission = sim.wait_for(lambda: sim.submissions(), 30, what="the submission")[0]
        section("what the SMSC received (operation 51)")
        for field in ("AdC", "OAdC", "OTOA", "NRq", "NT", "MT"):
            print("    %-5s %s" % (field, submission[field]))
        print("    Msg   %s  (%r)" % (submission["Msg"], submission["text"]))

        mail = smtp.wait_for_messages(1, timeout=30)[0]
        section("the confirmation e-mail the SMTP server received (after the SMSC's delivery notification)")
        show(mail.raw.decode("latin-1").replace("\r\n", "\n"))

        section("the SMSC sends an incoming message (operation 52) from %s" % SENDER_OF_INCOMING)
        sim.inject_52(SENDER_OF_INCOMING, "4200001", "Ahoj, funguje to?")
        output = os.path.join(received, "messages.txt")
        kst.wait_until(lambda: os.path.exists(output) and os.path.getsize(output) > 0, 30,
                       what="the executable's output")
        print("    the configured executable wrote:")
        with open(output) as f:
            show(f.read())

        section("kstsend --stats")
        def stats_counting_the_incoming_message():
            result = sandbox.run_inside([kst.binary("kstsend"), "--stats"])
            return result if b"received:           1" in result.stdout else None

        stats = kst.wait_until(stats_counting_the_incoming_message, 15, what="the statistics")
        show(stats.stdout.decode())

        section("logs")
        for name in ("access.log", "receive.log"):
            print("    %s:" % name)
            show(textwrap.indent(sandbox.read_log(name), "  "))

        section("stopping kstd (SIGTERM)")
        kstd.signal(signal.SIGTERM)
        status = kstd.wait(30)
        tail = re.findall(r".*(?:stopping|stopped|exit code).*", sandbox.read_log("error.log"))
        show("\n".join(tail))
        print("    kstd exited with status %d" % status)
    finally:
        sandbox.close()
        sim.cleanup()
        smtp.cleanup()
    print("\ndemo finished")


if __name__ == "__main__":
    main()
