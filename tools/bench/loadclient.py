#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Concurrent visitors of one counter, and the check of what they left.

Sends REQUESTS requests from CLIENTS concurrent workers, either over HTTP
to a web server that runs vorncounter (--url) or by starting the program
directly as a web server would (--program with --site). With --chart-every
K every K-th request asks for the chart given by --chart-url (or
--chart-query) instead of a hit. With --floor the URL is the empty CGI
program and only throughput and latency are measured.

Every answer must be a whole GIF: a counter picture, a chart or an error
picture (recognised by its height of 21 and the error palette).
Afterwards the counter database is read with gdbm_dump: "totcnt" and the
sum of the hour records must both rise by the number of counter pictures
answered ("lost visits" are answered pictures the file does not hold).

Prints the latency distribution, the throughput, the answers by kind and
the requests that waited (answered after 100 ms and after 1 s). With
--summary a single line of figures is printed as well, for scripts/load.
With --strace-every K (direct mode only) every K-th process runs under
strace and its sleeps are counted exactly.

With --visitors N (for a counter with REPEAT_MINUTES) the requests come
from N distinct visitors, told apart by their User-Agent: each sends its
share one right after the other, so they overlap in the workers. Each
visitor that was answered with a counter picture must then be counted
exactly once, and a last round of one more request per visitor must
count nothing.

Exit status 0 when every answer was whole and the counts agree, else 1.
Standard library only.
"""

import argparse
import base64
import concurrent.futures
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

IMAGE_HEADER = b"Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/gif\n\n"
ERROR_PALETTE = bytes([0, 0, 0, 207, 207, 255, 79, 79, 255, 0, 255, 0])
TIMEOUT_MESSAGE = "DB open error. Time out. Please, try again."
TIMEOUT_SIZE = (6 * len(TIMEOUT_MESSAGE) + 12, 21)


def walk_gif(data):
    """(width, height, global palette) of a whole GIF, or None when the
    data is not a GIF or ends before its trailer."""
    if len(data) < 13 or data[:6] not in (b"GIF87a", b"GIF89a"):
        return None
    width = data[6] | data[7] << 8
    height = data[8] | data[9] << 8
    flags = data[10]
    pos = 13
    palette = b""
    if flags & 0x80:
        size = 3 * (2 << (flags & 7))
        palette = data[pos:pos + size]
        pos += size

    def skip_blocks(p):
        while p < len(data):
            n = data[p]
            p += 1
            if n == 0:
                return p
            p += n
        return None

    while pos is not None and pos < len(data):
        tag = data[pos]
        if tag == 0x3B:
            return (width, height, palette) if pos == len(data) - 1 else None
        if tag == 0x21:
            pos = skip_blocks(pos + 2)
        elif tag == 0x2C:
            if pos + 10 > len(data):
                return None
            local = data[pos + 9]
            pos += 10
            if local & 0x80:
                pos += 3 * (2 << (local & 7))
            pos = skip_blocks(pos + 1)
        else:
            return None
    return None


def classify(body):
    """'counter', 'timeout', 'error' or 'broken', and the picture size."""
    gif = walk_gif(body) if body is not None else None
    if gif is None:
        return "broken", None
    width, height, palette = gif
    if height == 21 and palette.startswith(ERROR_PALETTE):
        return ("timeout" if (width, height) == TIMEOUT_SIZE else "error"), (width, height)
    return "counter", (width, height)


class Visitors:
    """Which visitor sends request INDEX, and its User-Agent; without
    visitors every request is sent alike, with no User-Agent."""

    def __init__(self, count, requests):
        self.count, self.requests = count, requests
        self.tag = os.urandom(4).hex()  # new visitors for every run

    def of(self, index):
        return index * self.count // self.requests

    def agent(self, index):
        if not self.count:
            return None
        return f"vorn-load/{self.tag} visitor {self.of(index)}"


class HttpVisitor:
    """One keep-alive connection per worker thread. Request `index` asks
    for the chart when `chart_every` divides index + 1, else for a hit."""

    def __init__(self, url, chart_url=None, chart_every=0, visitors=None):
        self.visitors = visitors or Visitors(0, 1)
        parts = urllib.parse.urlsplit(url)
        self.host, self.port = parts.hostname, parts.port or 80
        self.targets = [self._target(url), self._target(chart_url) if chart_url else None]
        self.chart_every = chart_every
        self.local = threading.local()

    @staticmethod
    def _target(url):
        parts = urllib.parse.urlsplit(url)
        return parts.path + ("?" + parts.query if parts.query else "")

    def is_chart(self, index):
        return bool(self.chart_every) and (index + 1) % self.chart_every == 0

    def visit(self, index):
        target = self.targets[1 if self.is_chart(index) else 0]
        agent = self.visitors.agent(index)
        headers = {"User-Agent": agent} if agent else {}
        for attempt in range(2):
            conn = getattr(self.local, "conn", None)
            if conn is None:
                conn = self.local.conn = http.client.HTTPConnection(self.host, self.port, timeout=60)
            try:
                start = time.perf_counter()
                conn.request("GET", target, headers=headers)
                resp = conn.getresponse()
                body = resp.read()
                elapsed = time.perf_counter() - start
                if resp.status != 200:
                    return elapsed, None, None
                return elapsed, body, None
            except (http.client.HTTPException, OSError):
                conn.close()
                self.local.conn = None
                if attempt == 1:
                    raise
        raise RuntimeError("unreachable")


class DirectVisitor:
    """Starts the program per request, as a web server's CGI module does."""

    def __init__(self, program, site, query, strace_every, chart_query=None, chart_every=0, visitors=None):
        self.program, self.site = program, site
        self.visitors = visitors or Visitors(0, 1)
        self.env = {"PATH": "/usr/bin:/bin", "TZ": os.environ.get("TZ", "UTC"),
                    "REMOTE_ADDR": "127.0.0.1", "REQUEST_METHOD": "GET"}
        self.queries = [query, chart_query]
        self.chart_every = chart_every
        self.strace_every = strace_every

    def is_chart(self, index):
        return bool(self.chart_every) and (index + 1) % self.chart_every == 0

    def visit(self, index):
        cmd = [self.program]
        trace = None
        if self.strace_every and index % self.strace_every == 0:
            fd, trace = tempfile.mkstemp(prefix="vorn-load-strace-")
            os.close(fd)
            cmd = ["strace", "-qq", "-f", "-e", "trace=clock_nanosleep,nanosleep", "-o", trace] + cmd
        env = dict(self.env, QUERY_STRING=self.queries[1 if self.is_chart(index) else 0])
        agent = self.visitors.agent(index)
        if agent:
            env["HTTP_USER_AGENT"] = agent
        start = time.perf_counter()
        proc = subprocess.run(cmd, cwd=self.site, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        elapsed = time.perf_counter() - start
        sleeps = None
        if trace:
            with open(trace, encoding="utf-8", errors="replace") as f:
                sleeps = sum(1 for line in f if "sleep" in line)
            os.unlink(trace)
        out = proc.stdout
        if proc.stderr:
            sys.stderr.write(proc.stderr.decode(errors="replace"))
        if proc.returncode not in (0, 1) or not out.startswith(IMAGE_HEADER):
            return elapsed, None, sleeps
        return elapsed, out[len(IMAGE_HEADER):], sleeps


def dump_db(path):
    """All records of a gdbm file, read with Debian's gdbm_dump; keys and
    values as stored, zero bytes included."""
    text = subprocess.run(["gdbm_dump", path, "-"], check=True, stdout=subprocess.PIPE).stdout.decode()
    items, chunk, in_item, data = [], "", False, False
    for line in text.splitlines():
        if not data:
            data = line == "# End of header"
            continue
        if line.startswith("#"):
            if in_item:
                items.append(base64.b64decode(chunk))
            in_item = line.startswith("#:len=")
            chunk = ""
            continue
        chunk += line
    if in_item:
        items.append(base64.b64decode(chunk))
    return dict(zip(items[0::2], items[1::2]))


def dump_redis(socket, key):
    """The records of the counter whose hash is `key` ("vorncounter:{NAME}"),
    read with redis-cli, in the form dump_db gives: keys and values with
    their terminating zero byte. The hash holds the total and the start
    (and an empty field that marks the counter), a hash per day the hours,
    and the set key + "i" the days."""
    def cli(*args):
        out = subprocess.run(["redis-cli", "-s", socket, "--no-raw", *args], check=True,
                             stdout=subprocess.PIPE).stdout.decode().splitlines()
        return [line.split(") ", 1)[1].strip('"') for line in out if ") " in line]

    def pairs(values, prefix=""):
        return {(prefix + k).encode() + b"\0": v.encode() + b"\0" for k, v in zip(values[0::2], values[1::2]) if k}

    records = pairs(cli("hgetall", key))
    for day in cli("smembers", key + "i"):
        text = f"{day[0:4]}/{day[4:6]}/{day[6:8]}"
        records.update(pairs(cli("hgetall", f"{key}d:{text}"), text + "/"))
    return records


def counts(records):
    """("totcnt", sum of the hour records) of a dump."""
    total = int(records.get(b"totcnt\0", b"0\0").rstrip(b"\0") or 0)
    hours = sum(int(v.rstrip(b"\0") or 0) for k, v in records.items()
                if len(k) == 14 and k[4:5] == b"/" and k[-1:] == b"\0")
    return total, hours


def pct(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = (len(sorted_values) - 1) * p
    lo = int(k)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (k - lo)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--url", help="counter URL served by the web server")
    ap.add_argument("--chart-url", help="chart URL asked for by every --chart-every-th request")
    ap.add_argument("--program", help="vorncounter, started directly per request")
    ap.add_argument("--site", help="working directory for --program")
    ap.add_argument("--query", default="vdb=load", help="query of the direct requests")
    ap.add_argument("--chart-query", help="query of the direct chart requests")
    ap.add_argument("--chart-every", type=int, default=0)
    ap.add_argument("--floor", action="store_true", help="the URL is the empty CGI program: no checks")
    ap.add_argument("--db", help="the counter's database file, checked afterwards")
    ap.add_argument("--redis", nargs=2, metavar=("SOCKET", "KEY"),
                    help="the counter's hash on a Redis server, checked afterwards")
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--strace-every", type=int, default=0)
    ap.add_argument("--summary", metavar="LABEL", help="also print one line of figures, labelled")
    ap.add_argument("--floor-rate", type=float, default=0.0, help="answers/s of the floor, for the ratio")
    ap.add_argument("--visitors", type=int, default=0,
                    help="spread the requests over N visitors (REPEAT_MINUTES on the counter)")
    args = ap.parse_args()
    if bool(args.url) == bool(args.program):
        ap.error("give either --url or --program")
    if args.program and not args.site:
        ap.error("--program needs --site")
    if not args.floor and not (args.db or args.redis):
        ap.error("--db or --redis is needed unless --floor")
    if args.redis:
        socket, key = args.redis
        read_counter = lambda: dump_redis(socket, key)  # noqa: E731
    else:
        read_counter = lambda: dump_db(args.db)  # noqa: E731
    if args.chart_every and not (args.chart_url or args.chart_query):
        ap.error("--chart-every needs --chart-url or --chart-query")
    if args.visitors < 0 or args.visitors > args.requests:
        ap.error("--visitors must be from 0 to the number of requests")
    visitors = Visitors(args.visitors, args.requests)

    before = read_counter() if not args.floor else {}
    if args.url:
        visitor = HttpVisitor(args.url, args.chart_url, args.chart_every, visitors)
    else:
        visitor = DirectVisitor(args.program, args.site, args.query, args.strace_every,
                                args.chart_query, args.chart_every, visitors)

    results = []
    wall_start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.clients) as pool:
        for index, (elapsed, body, sleeps) in enumerate(pool.map(visitor.visit, range(args.requests))):
            if args.floor:
                kind = "floor" if body is not None else "broken"
            else:
                kind, _ = classify(body)
                if kind == "counter" and visitor.is_chart(index):
                    kind = "chart"
            results.append((elapsed, kind, sleeps))
    wall = time.perf_counter() - wall_start
    rate = args.requests / wall

    kinds = {}
    for _, kind, _ in results:
        kinds[kind] = kinds.get(kind, 0) + 1
    lat = sorted(r[0] * 1000 for r in results)
    hit_lat = sorted(r[0] * 1000 for r in results if r[1] == "counter")
    over_100ms = sum(1 for r in results if r[0] >= 0.1)
    over_1s = sum(1 for r in results if r[0] >= 1.0)

    print(f"load: {args.requests} requests from {args.clients} clients in {wall:.1f} s ({rate:.1f} answers/s)")
    print("answers: " + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
    print(f"latency ms (all):      median {pct(lat, .5):.1f}  p95 {pct(lat, .95):.1f}  "
          f"p99 {pct(lat, .99):.1f}  max {lat[-1]:.1f}")
    if hit_lat:
        print(f"latency ms (hits):     median {pct(hit_lat, .5):.1f}  p95 {pct(hit_lat, .95):.1f}  "
              f"p99 {pct(hit_lat, .99):.1f}  max {hit_lat[-1]:.1f}")
    print(f"waited: {over_100ms} answers took 100 ms or more, {over_1s} took 1 s or more")
    traced = [r for r in results if r[2] is not None]
    if traced:
        slept = [r[2] for r in traced]
        print(f"strace sample: {len(traced)} processes, {sum(1 for s in slept if s)} slept, "
              f"{sum(slept)} sleeps in all, at most {max(slept)} in one")
    timeouts = kinds.get("timeout", 0)
    print(f"time-out answers (DB open error, {TIMEOUT_SIZE[0]}x{TIMEOUT_SIZE[1]}): {timeouts}")

    ok = True
    lost, agree, recheck_counted = 0, True, 0
    if not args.floor:
        total0, hours0 = counts(before)
        total1, hours1 = counts(read_counter())
        answered = kinds.get("counter", 0)
        print(f"database: totcnt {total0} -> {total1} (+{total1 - total0}), hour records sum "
              f"+{hours1 - hours0}, counter pictures answered {answered}")
        expected = answered
        if args.visitors:
            # A visitor answered with a counter picture was counted (or was
            # shown a total that its counted visit is part of); one that was
            # only answered with time-outs was not.
            seen = sorted({visitors.of(i) for i, r in enumerate(results) if r[1] == "counter"})
            expected = len(seen)
            first = {}
            for i in range(args.requests):
                first.setdefault(visitors.of(i), i)
            with concurrent.futures.ThreadPoolExecutor(max_workers=args.clients) as pool:
                again = [classify(body)[0] for _, body, _ in pool.map(visitor.visit, [first[v] for v in seen])]
            recheck_counted = counts(read_counter())[0] - total1
            print(f"visitors: {args.visitors} distinct, {args.requests / args.visitors:.1f} requests each; "
                  f"{expected} answered with a counter, counted +{total1 - total0}; one more request each: "
                  f"counted +{recheck_counted} ({again.count('counter')} counter pictures)")
        lost = expected - (total1 - total0)
        agree = total1 - total0 == hours1 - hours0
        if kinds.get("broken", 0):
            print(f"FAIL: {kinds['broken']} answers were not whole GIF pictures")
            ok = False
        if kinds.get("error", 0):
            print(f"FAIL: {kinds['error']} error pictures other than the lock time-out")
            ok = False
        if lost != 0 or not agree:
            print("FAIL: the recorded hits differ from the " +
                  ("visitors answered" if args.visitors else "counter pictures answered"))
            ok = False
        if recheck_counted:
            print(f"FAIL: {recheck_counted} visitors were counted again within their window")
            ok = False
    if args.summary:
        ratio = f"{rate / args.floor_rate:.2f}" if args.floor_rate else "-"
        print(f"summary\t{args.summary}\t{args.clients}\t{rate:.1f}\t{ratio}\t{pct(lat, .5):.1f}\t"
              f"{pct(lat, .95):.1f}\t{pct(lat, .99):.1f}\t{lat[-1]:.1f}\t{over_100ms}\t{over_1s}\t"
              f"{timeouts}\t{lost if not args.floor else '-'}\t"
              f"{('yes' if agree else 'NO') if not args.floor else '-'}")
    print("load: " + ("counts agree" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
