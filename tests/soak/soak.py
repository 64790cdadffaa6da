#!/usr/bin/python3
"""Soak: server mode under a bounded mixed load, then its state checked.

One program runs with 100 monitors (half of them checking alice against the
fixture's FreeRADIUS, half a UDP port on 127.0.0.2 that this script binds and
never answers, whose down notices go to the SMTP sink), while for SOAK_SECONDS
(default 90) a test-page batch against FreeRADIUS holds one worker, wrk loads
the status and monitoring pages, the settings page is saved every few seconds
and "Write config" runs in a loop, each write followed by a check of the data
files it wrote. The figures go to stdout; the checks fail the run:
peak memory grows under 10% over the load, every worker slot is there and
idle again at the end, every monitor ends in the state its server earns, every
notice arrives, and SIGTERM still stops the program in order (status 1).

CTest passes VANTOR_BINARY, VANTOR_RADIUS_DIR and VANTOR_SMTP_SINK_DIR, and
SOAK_REPORT, a file that gets a copy of the output (ctest shows a passing
test's output only when asked; "make test" prints the copy).
"""
import base64
import ctypes
import http.client
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SECONDS = int(os.environ.get("SOAK_SECONDS", "90"))
HALF = 50  # monitors per kind
WORKERS = 10
PASSWORD = "Soak-pass-1"
AUTH = "Basic " + base64.b64encode(b"soak:" + PASSWORD.encode()).decode()
failures = []


class Tee:
    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def eventually(condition, seconds):
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.5)
    return True


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Site:
    def __init__(self, port):
        self.port = port

    def request(self, path, body=None, auth=True, timeout=30):
        """(status, text) of one request; (None, reason) when none came."""
        headers = {"Authorization": AUTH} if auth else {}
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request("POST" if body is not None else "GET", path, body, headers)
            answer = conn.getresponse()
            return answer.status, answer.read().decode("latin-1")
        except (OSError, http.client.HTTPException) as e:
            return None, repr(e)
        finally:
            conn.close()


def memory(pid):
    status = open(f"/proc/{pid}/status").read()
    return {k: int(re.search(k + r":\s+(\d+) kB", status).group(1)) for k in ("VmRSS", "VmHWM")}


def worker_slots(site):
    """The status page's worker rows: [(slot, status text)]."""
    _, text = site.request("/status")
    return re.findall(r"<TR BGCOLOR=\w+><TD>(\d+)</TD><TD>([^<]*)</TD>", text or "")


def monitor_states(site):
    """{name: (status text, seconds since its last check)} from the monitoring page."""
    _, text = site.request("/scoreboards")
    states = {}
    for row in (text or "").split("<TR id=")[1:]:
        name = re.search(r"scoreboards_edit\?name=[^>]*>([^<]*)</A>", row)
        cells = re.findall(r"<TD>(.*?)</TD>", row[name.end():]) if name else []
        if len(cells) >= 8:
            states[name.group(1)] = (cells[2], int(cells[7]))
    return states


def rows(path, columns):
    """The rows of a data file, each split into its fields; None when a row is malformed."""
    data = open(path, "rb").read()
    if not data.endswith(b"\n"):
        return None
    out = []
    for line in data[:-1].split(b"\n"):
        fields = line.split(b"\t")
        if len(fields) != columns + 1 or fields[-1] != b"" or b"" in fields[:-1]:
            return None
        out.append(fields[:-1])
    return out


def data_files_complete(data, names):
    monitors = rows(os.path.join(data, "monitor.dat"), 11)
    profiles = rows(os.path.join(data, "profile.dat"), 7)
    if monitors is None or sorted(m[0].decode() for m in monitors) != names:
        return "monitor.dat"
    kinds = [(p[0], p[1]) for p in profiles or []]
    declared = {name for name, kind in kinds if kind == b"P"}
    if not declared or any(k not in (b"P", b"A") or n not in declared for n, k in kinds):
        return "profile.dat"
    return None


def wrk(site, path, seconds, connections, out):
    run = subprocess.run(["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s",
                          "-H", f"Authorization: {AUTH}", f"http://127.0.0.1:{site.port}{path}"],
                         capture_output=True, text=True)
    text = run.stdout
    number = lambda pattern: int(m.group(1)) if (m := re.search(pattern, text)) else 0
    errors = re.search(r"connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    out[path] = {"requests": number(r"(\d+) requests in"), "non2xx": number(r"Non-2xx.*?(\d+)"),
                 "connect": int(errors.group(1)) if errors else 0,
                 "read": int(errors.group(2)) if errors else 0,
                 "write": int(errors.group(3)) if errors else 0,
                 "timeout": int(errors.group(4)) if errors else 0,
                 "rate": text.split("Requests/sec:")[-1].split()[0] if "Requests/sec:" in text
                 else "?", "ok": run.returncode == 0}


def batch(site, stop, progress):
    """A test-page batch of a million requests read as it runs, until stop is set;
    then the connection is closed, which is all a browser does to end it."""
    body = ("state=ok&hostname=127.0.0.1&profile=Authentication&iterations=1000000"
            "&login=alice&password=alicepw&continue=Continue")
    sock = socket.create_connection(("127.0.0.1", site.port), timeout=5)
    sock.sendall((f"POST /vantor HTTP/1.0\r\nAuthorization: {AUTH}\r\nContent-Type: "
                  f"application/x-www-form-urlencoded\r\nContent-Length: {len(body)}\r\n\r\n"
                  + body).encode())
    seen = b""
    while not stop.is_set():
        try:
            chunk = sock.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        seen = (seen + chunk)[-4096:]
        lines = re.findall(rb"Complete:</B> \d+ to (\d+) .*?Good:(\d+) Bad:(\d+) Timeout:(\d+) "
                           rb"Error:(\d+)", seen)
        if lines:
            progress["last"] = [int(x) for x in lines[-1]]
            progress["at"] = time.monotonic()
            progress["lines"] = progress.get("lines", 0) + len(lines)
            seen = seen[seen.rfind(b"Error:"):]
    sock.close()


def loop(stop, pause, step, counts, name):
    while not stop.is_set():
        step()
        counts[name] = counts.get(name, 0) + 1
        stop.wait(pause)


def main():
    if os.environ.get("SOAK_REPORT"):
        sys.stdout = Tee(sys.stdout, open(os.environ["SOAK_REPORT"], "w"))
    binary = os.environ["VANTOR_BINARY"]
    ports = open(os.path.join(os.environ["VANTOR_RADIUS_DIR"], "ports")).read()
    auth, acct = (re.search(k + r"=(\d+)", ports).group(1) for k in ("auth", "acct"))
    sink = os.environ["VANTOR_SMTP_SINK_DIR"]
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind(("127.0.0.2", 0))
    silent_port = silent.getsockname()[1]

    root = tempfile.mkdtemp(prefix="vantor-soak-")
    data = os.path.join(root, "data")
    os.mkdir(data)
    port = free_port()
    with open(os.path.join(data, "server"), "w") as f:
        f.write(f"127.0.0.1\ttesting123\t{auth}\t{acct}\t2\t0\n"
                f"127.0.0.2\ttesting123\t{silent_port}\t{silent_port}\t1\t0\n")
    # Checks every 2 s; a reject counts as a failure; down (and the notice)
    # after 2 s without a good reply. Interleaved, so each pass mixes them.
    names = []
    with open(os.path.join(data, "monitor.dat"), "w") as f:
        for i in range(HALF):
            f.write(f"soak-fr-{i:02}\t127.0.0.1\tAuthentication\talice\talicepw\t2\t2\t1\t2\t2\n")
            f.write(f"soak-silent-{i:02}\t127.0.0.2\tAuthentication\talice\talicepw\t2\t2\t1\t2\t2"
                    f"\tsoak-{os.getpid()}@example.test\n")
            names += [f"soak-fr-{i:02}", f"soak-silent-{i:02}"]
    names.sort()
    with open(os.path.join(root, "radiusd.ini"), "w") as f:
        f.write(f"[Tarnwell]\nvnport={port}\nvnipaddress=127.0.0.1\nvnthreads={WORKERS}\n"
                f"vndir={data}\nvnsmtp=127.0.0.1\n")
    open(os.path.join(root, "common.ini"), "w").close()
    env = dict(os.environ, VANTOR_INI=os.path.join(root, "radiusd.ini"),
               VANTOR_COMMON_INI=os.path.join(root, "common.ini"))
    log = open(os.path.join(root, "out"), "w+")
    # Killed with this script if the run itself is killed (a test time-out).
    program = subprocess.Popen([binary, "-nofork", "-debug"], env=env, stdout=log,
                               stderr=subprocess.STDOUT,
                               preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
    site = Site(port)
    try:
        run(program, site, data, names, sink)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
        log.seek(0)
        output = log.read()
        if failures:
            print("program output (last 3000 characters):\n" + output[-3000:])
        silent.close()
        subprocess.run(["rm", "-rf", root])
    print(f"\n{len(failures)} check(s) failed" if failures else "\nsoak passed", flush=True)
    return 1 if failures else 0


def run(program, site, data, names, sink):
    pid = program.pid
    started = eventually(lambda: program.poll() is None and "pass1" in
                         (site.request("/", auth=False, timeout=5)[1] or ""), 20)
    check(started, "server mode starts and shows the first-use form")
    if not started:
        return
    site.request("/", f"pass1={PASSWORD}&pass2={PASSWORD}", auth=False)
    check(eventually(lambda: len(monitor_states(site)) == 2 * HALF, 20),
          f"the engine starts with the {2 * HALF} monitors of monitor.dat")
    slots_start = worker_slots(site)

    stop = threading.Event()
    counts, problems, progress, wrk_out = {}, [], {}, {}

    # The fields a browser posts from the settings page; the default subject
    # holds a "[", below which a rewrite keeps older copies of the keys.
    settings = {"vnmonitorrefresh": "3", "vndateformat": "5", "vndatesep": "/",
                "vnsmtp": "127.0.0.1", "vnmailfrom": "soak-monitor@example.test",
                "vnmailsubject": "[VANTOR] $name is $status", "vnport": str(site.port),
                "vnthreads": str(WORKERS)}
    ini = os.path.join(os.path.dirname(data), "radiusd.ini")
    ini_start = os.path.getsize(ini)

    def save():
        status, text = site.request("/save", urllib.parse.urlencode(settings))
        if status != 200 or "Settings updated successfully" not in text:
            problems.append(f"save: {status} {text[-200:]}")
        first = {}
        for line in open(ini).read().split("\n")[1:]:
            key, _, value = line.partition("=")
            first.setdefault(key, value)
        if any(first.get(k) != v for k, v in dict(settings, vndir=data).items()):
            problems.append(f"settings file after a save: {first}")

    def write():
        status, text = site.request("/write")
        if status != 200 or "All settings saved successfully." not in text:
            problems.append(f"write: {status} {text[-200:]}")
        elif (broken := data_files_complete(data, names)) is not None:
            problems.append(f"{broken} incomplete after a write")

    threads = [threading.Thread(target=batch, args=(site, stop, progress)),
               threading.Thread(target=wrk, args=(site, "/status", SECONDS, 3, wrk_out)),
               threading.Thread(target=wrk, args=(site, "/scoreboards", SECONDS, 3, wrk_out)),
               threading.Thread(target=loop, args=(stop, 3, save, counts, "saves")),
               threading.Thread(target=loop, args=(stop, 0.2, write, counts, "writes"))]
    load_start = time.monotonic()
    for t in threads:
        t.start()
    # The workers' buffers and the allocator's arenas settle during the first
    # half-minute: 10 s in, the footprint of one build varied by 500 kB from
    # run to run, at the end by 130 kB, so growth is measured from a third of
    # the way in.
    time.sleep(SECONDS / 3)
    at_start = memory(pid)
    time.sleep(max(0, SECONDS - (time.monotonic() - load_start)))
    for t in threads[1:3]:
        t.join(SECONDS + 30)
    at_end = memory(pid)
    batch_age = time.monotonic() - progress.get("at", load_start)
    stop.set()
    for t in threads:
        t.join(60)

    print(f"\nload: {SECONDS} s, {WORKERS} workers, {2 * HALF} monitors")
    for path, w in wrk_out.items():
        print(f"  wrk {path}: {w['requests']} requests ({w['rate']}/s), non-2xx {w['non2xx']}, "
              f"socket errors connect {w['connect']} write {w['write']} timeout {w['timeout']} "
              f"(read {w['read']}: each response ends with the connection's close)")
    good, bad, timeouts, errors = (progress.get("last") or [0, 0, 0, 0, 0])[1:]
    print(f"  test-page batch: {progress.get('last', [0])[0]} requests in "
          f"{progress.get('lines', 0)} progress lines; good {good} bad {bad} "
          f"timeout {timeouts} error {errors}")
    print(f"  settings saved {counts.get('saves', 0)} times, config written "
          f"{counts.get('writes', 0)} times; the settings file grew from {ini_start} to "
          f"{os.path.getsize(ini)} bytes")
    growth = lambda key: (at_end[key] - at_start[key]) / at_start[key] * 100
    print(f"  memory a third into the load: VmRSS {at_start['VmRSS']} kB, VmHWM "
          f"{at_start['VmHWM']} kB; at the end: VmRSS {at_end['VmRSS']} kB, VmHWM "
          f"{at_end['VmHWM']} kB; growth {growth('VmRSS'):+.1f}% / {growth('VmHWM'):+.1f}%\n")

    check(len(wrk_out) == 2 and all(w["ok"] and w["requests"] > 0 for w in wrk_out.values()),
          "wrk ran against both pages")
    check(all(w["non2xx"] + w["connect"] + w["write"] + w["timeout"] == 0
              for w in wrk_out.values()), "no wrk request failed (non-2xx, connect, write, "
          "time-out)")
    check(good > 0 and bad == 0 and errors == 0 and batch_age < 15,
          "the batch ran through the load with no reject or error")
    check(counts.get("saves", 0) > 0 and counts.get("writes", 0) > 0 and not problems,
          "every save and write succeeded, the settings file read back as saved, and "
          "monitor.dat (100 rows) and profile.dat were "
          "complete after each write" + "".join(f"\n      {p}" for p in problems[:5]))
    check(growth("VmHWM") < 10 and growth("VmRSS") < 10, "memory grew under 10% over the load")

    # Once the batch's worker sees its browser gone, every slot but ours is idle.
    slots = []
    idle = eventually(lambda: len(slots := worker_slots(site)) == WORKERS and
                      sum(s == "Idle" for _, s in slots) == WORKERS - 1, 30)
    slots_end = worker_slots(site)
    print(f"worker slots: {len(slots_start)} at the start, {len(slots_end)} at the end, "
          f"{sum(s == 'Idle' for _, s in slots_end)} idle at the end")
    check(len(slots_start) == WORKERS and idle, f"all {WORKERS} worker slots listed at the "
          "start and the end, and all but this request's idle after the load")

    def states_right():
        states = monitor_states(site)
        return len(states) == 2 * HALF and all(
            s == "OK" if n.startswith("soak-fr") else s.startswith("DOWN")
            for n, (s, _) in states.items())
    right = eventually(states_right, 90)
    states = monitor_states(site)
    tally = {}
    for n, (s, _) in states.items():
        key = ("freeradius " if n.startswith("soak-fr") else "silent ") + s.split(":")[0]
        tally[key] = tally.get(key, 0) + 1
    print(f"monitor states: {tally}; oldest check {max((a for _, a in states.values()), default=0)}"
          " s ago")
    check(right, "every FreeRADIUS monitor OK, every silent one DOWN")

    def notices():
        found = set()
        for f in os.listdir(sink):
            if f.endswith(".eml"):
                m = re.search(r"Subject: ?\[VANTOR\] (soak-silent-\d+) is DOWN",
                              open(os.path.join(sink, f), encoding="latin-1").read())
                found |= {m.group(1)} if m else set()
        return found
    arrived = eventually(lambda: len(notices()) == HALF, 30)
    print(f"down notices in the sink: {len(notices())}")
    check(arrived, f"a down notice for each of the {HALF} silent monitors")

    began = time.monotonic()
    program.terminate()
    try:
        status = program.wait(30)
    except subprocess.TimeoutExpired:
        status = None
    print(f"stop: status {status} after {time.monotonic() - began:.1f} s")
    check(status == 1, "SIGTERM stops the program in order (exit status 1)")


if __name__ == "__main__":
    sys.exit(main())
