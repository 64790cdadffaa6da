#!/usr/bin/python3
"""SMTP sink on 127.0.0.1:25 for the mail tests: accepts and records every message.

  sink.py OUTDIR [--refuse REGEX] [--max-seconds 3600]

For message N it writes OUTDIR/NNNN.eml (the DATA bytes, dot-unstuffed, CRLF
kept) and OUTDIR/NNNN.env, the envelope as the server read it: the lines
"HELO name", "MAIL from" and one "RCPT to" per recipient. Every command is
appended to OUTDIR/commands.log as "VERB argument", so a test can see that no
DATA or QUIT came. Recipients matching --refuse (case-insensitive) get
"550 5.1.1 <addr>: Recipient address rejected". Prints "READY" once
listening; stops on SIGTERM/SIGINT or after --max-seconds. Port 25 needs root.
Runs under Debian's /usr/bin/python3 (python3-aiosmtpd lives in its dist-packages).
"""
import argparse
import functools
import os
import re
import signal
import sys
import threading

sys.path.insert(0, "/usr/lib/python3/dist-packages")
from aiosmtpd.controller import Controller  # noqa: E402
from aiosmtpd.smtp import SMTP  # noqa: E402

LOGGED_VERBS = ("HELO", "EHLO", "MAIL", "RCPT", "DATA", "RSET", "NOOP", "QUIT")


class Sink:
    def __init__(self, outdir, refuse):
        self.outdir, self.refuse, self.n = outdir, refuse, 0
        self.lock = threading.Lock()

    def note_command(self, verb, arg):
        with self.lock, open(os.path.join(self.outdir, "commands.log"), "a") as f:
            f.write(verb + (" " + arg if arg else "") + "\n")

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse and self.refuse.search(address):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.n += 1
            base = os.path.join(self.outdir, "%04d" % self.n)
            with open(base + ".eml", "wb") as f:
                f.write(envelope.original_content or envelope.content)
            with open(base + ".env", "w") as f:
                f.write("HELO %s\nMAIL %s\n" % (session.host_name, envelope.mail_from))
                f.writelines("RCPT %s\n" % to for to in envelope.rcpt_tos)
        return "250 2.0.0 Ok: queued as %04d" % self.n


class RecordingSMTP(SMTP):
    """The aiosmtpd protocol, telling the sink each command before handling it."""


def _recording(verb):
    original = getattr(SMTP, "smtp_" + verb)

    @functools.wraps(original)  # keeps the syntax text HELP reads
    async def method(self, arg):
        self.event_handler.note_command(verb, arg)
        return await original(self, arg)
    return method


for _verb in LOGGED_VERBS:
    setattr(RecordingSMTP, "smtp_" + _verb, _recording(_verb))


class RecordingController(Controller):
    def factory(self):
        return RecordingSMTP(self.handler, **self.SMTP_kwargs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("outdir")
    ap.add_argument("--refuse", help="regex; matching RCPT TO addresses get 550")
    ap.add_argument("--max-seconds", type=float, default=3600)
    a = ap.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    # hostname is both the bind address and what the greeting names
    sink = Sink(a.outdir, re.compile(a.refuse, re.I) if a.refuse else None)
    ctl = RecordingController(sink, hostname="127.0.0.1", port=25, ident="vantor-test-sink")
    ctl.start()
    print("READY 127.0.0.1:25", flush=True)
    stop = threading.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        signal.signal(s, lambda *_: stop.set())
    stop.wait(a.max_seconds)
    ctl.stop()


if __name__ == "__main__":
    main()
