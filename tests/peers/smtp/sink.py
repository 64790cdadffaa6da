#!/usr/bin/python3
"""SMTP sink on loopback for the mail tests: accepts and records every message.

  sink.py OUTDIR [--host 127.0.0.1] [--port 25] [--refuse REGEX] [--max-seconds 3600]

For message N it writes OUTDIR/NNNN.json (peer, HELO name, MAIL FROM, RCPT TOs, size)
and OUTDIR/NNNN.eml (the DATA bytes, dot-unstuffed, CRLF kept), and appends the
message to OUTDIR/mbox.  Every command it receives is appended to OUTDIR/commands.log
as "VERB argument" (or "VERB"), so a test can see that no DATA or QUIT was sent.
Recipients matching --refuse (case-insensitive, searched in the address) get
"550 5.1.1 <addr>: Recipient address rejected".  Prints "READY" once listening;
stops on SIGTERM/SIGINT or after --max-seconds.  Port 25 needs root.
Runs under Debian's /usr/bin/python3 (python3-aiosmtpd lives in its dist-packages).
"""
import argparse
import functools
import json
import mailbox
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
        self.mbox = os.path.join(outdir, "mbox")
        self.commands = os.path.join(outdir, "commands.log")

    def note_command(self, verb, arg):
        with self.lock, open(self.commands, "a") as f:
            f.write(verb + (" " + arg if arg else "") + "\n")

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse and self.refuse.search(address):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content or envelope.content  # bytes (decode_data=False)
        with self.lock:
            self.n += 1
            base = os.path.join(self.outdir, "%04d" % self.n)
            with open(base + ".eml", "wb") as f:
                f.write(data)
            meta = {"peer": list(session.peer[:2]), "helo": session.host_name,
                    "mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                    "size": len(data)}
            with open(base + ".json", "w") as f:
                json.dump(meta, f, indent=1)
            mb = mailbox.mbox(self.mbox)
            try:
                mb.lock()
                msg = mailbox.mboxMessage(data)
                msg.set_from(envelope.mail_from or "MAILER-DAEMON")
                mb.add(msg)
                mb.flush()
            finally:
                mb.unlock()
                mb.close()
        print("MSG %04d from=%s to=%s size=%d" % (self.n, envelope.mail_from,
              ",".join(envelope.rcpt_tos), len(data)), flush=True)
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
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=25)
    ap.add_argument("--refuse", help="regex; matching RCPT TO addresses get 550")
    ap.add_argument("--max-seconds", type=float, default=3600)
    a = ap.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    sink = Sink(a.outdir, re.compile(a.refuse, re.I) if a.refuse else None)
    # hostname is both the bind address and what the greeting names
    ctl = RecordingController(sink, hostname=a.host, port=a.port, ident="vantor-test-sink")
    ctl.start()
    print("READY %s:%d" % (a.host, a.port), flush=True)
    stop = threading.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        signal.signal(s, lambda *_: stop.set())
    stop.wait(a.max_seconds)
    ctl.stop()


if __name__ == "__main__":
    main()
