#!/usr/bin/python3
"""SMTP sink on 127.0.0.1:25 for the mail tests: accepts and records every message.

  sink.py OUTDIR [--max-seconds 3600]

For message N it writes OUTDIR/NNNN.eml (the DATA bytes, dot-unstuffed, CRLF
kept) and OUTDIR/NNNN.env, the envelope as the server read it: the lines
"HELO name", "MAIL from" and one "RCPT to" per recipient. Prints "READY" once
listening; stops on SIGTERM/SIGINT or after --max-seconds. Port 25 needs root.
Runs under Debian's /usr/bin/python3 (python3-aiosmtpd lives in its dist-packages).
"""
import argparse
import os
import signal
import sys
import threading

sys.path.insert(0, "/usr/lib/python3/dist-packages")
from aiosmtpd.controller import Controller  # noqa: E402


class Sink:
    def __init__(self, outdir):
        self.outdir, self.n = outdir, 0
        self.lock = threading.Lock()

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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("outdir")
    ap.add_argument("--max-seconds", type=float, default=3600)
    a = ap.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    # hostname is both the bind address and what the greeting names
    ctl = Controller(Sink(a.outdir), hostname="127.0.0.1", port=25, ident="vantor-test-sink")
    ctl.start()
    print("READY 127.0.0.1:25", flush=True)
    stop = threading.Event()
    for s in (signal.SIGTERM, signal.SIGINT):
        signal.signal(s, lambda *_: stop.set())
    stop.wait(a.max_seconds)
    ctl.stop()


if __name__ == "__main__":
    main()
