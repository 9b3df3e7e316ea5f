"""aiosmtpd handler for the SMTP client tests: keeps every message that
arrives, and every recipient the client names, in a directory.

    python3 -m aiosmtpd -n -l 127.0.0.1:PORT -c capture.Capture DIR [REFUSE [DEFER [TIMES]]]

Each message becomes a directory mail-NNN/ with the files "from" (envelope
sender), "rcpt" (envelope recipients, one a line) and "content" (the message
as received, dot-stuffing removed). It appears in one rename, so a reader
never sees half of it. Every RCPT address is appended to DIR/rcpt.log; a
recipient that begins with REFUSE is refused permanently (550), one that
begins with DEFER temporarily (450): the first TIMES times it is named, or
always when TIMES is 0 or not given.
"""

import itertools
import os


class Capture:
    def __init__(self, directory, refuse_prefix="", defer_prefix="", defer_times="0"):
        self.directory = directory
        self.refuse_prefix = refuse_prefix
        self.defer_prefix = defer_prefix
        self.defer_times = int(defer_times)
        self.deferred = {}
        self.numbers = itertools.count(1)

    @classmethod
    def from_cli(cls, parser, *args):
        if not 1 <= len(args) <= 4:
            parser.error("capture.Capture takes DIR [REFUSE_PREFIX [DEFER_PREFIX [DEFER_TIMES]]]")
        return cls(*args)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        with open(os.path.join(self.directory, "rcpt.log"), "a", encoding="latin-1") as log:
            log.write(address + "\n")
        if self.refuse_prefix and address.startswith(self.refuse_prefix):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        if self.defer_prefix and address.startswith(self.defer_prefix):
            times = self.deferred.get(address, 0)
            if self.defer_times == 0 or times < self.defer_times:
                self.deferred[address] = times + 1
                return "450 4.2.1 <%s>: Mailbox busy, try again later" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        name = "mail-%03d" % next(self.numbers)
        partial = os.path.join(self.directory, name + ".part")
        os.mkdir(partial)
        with open(os.path.join(partial, "from"), "w", encoding="latin-1") as f:
            f.write(envelope.mail_from)
        with open(os.path.join(partial, "rcpt"), "w", encoding="latin-1") as f:
            f.write("".join(address + "\n" for address in envelope.rcpt_tos))
        with open(os.path.join(partial, "content"), "wb") as f:
            f.write(envelope.original_content)
        os.rename(partial, os.path.join(self.directory, name))
        return "250 2.0.0 Ok: queued as " + name
