#!/usr/bin/python3
"""Whole CGI processes, one request each, side by side: our programs, the
peers (GNU cgicc, Perl's CGI.pm, Python's multipart module) and the floors
(static C programs that print a header, copy the body to a file, or replace
a 500-byte file durably). Every program prints the same listing, which is
checked before anything is timed.

    run.py BUILD_DIR SHARED_BUILD_DIR PEERS_DIR OUT_DIR [--quick]

BUILD_DIR is the default build (CGI programs fully static); SHARED_BUILD_DIR
links them against the shared glibc (-DCGI_FULLY_STATIC=OFF).

Writes OUT_DIR/RESULTS.md (tables) and OUT_DIR/results.dat (for the plot).
"""
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from bodies import BOUNDARY, part, seeder, upload

build, shared_build, peers, out_dir = sys.argv[1:5]
quick = "--quick" in sys.argv
bench = os.path.join(build, "bench")
here = os.path.dirname(os.path.abspath(__file__))

PROGRAMS = [
    ("ours", os.path.join(build, "list.cgi")),
    ("ours, glibc shared", os.path.join(shared_build, "list.cgi")),
    ("cgicc", os.path.join(peers, "cgicc_list")),
    ("cgicc, static", os.path.join(peers, "cgicc_list_static")),
    ("Perl CGI.pm", os.path.join(here, "perl_list.pl")),
    ("Python multipart", os.path.join(here, "python_list.py")),
]
FLOORS = {"header": os.path.join(bench, "floor_header_static"), "copy": os.path.join(bench, "floor_copy")}
MAXRSS = os.path.join(bench, "maxrss")
work = tempfile.mkdtemp(prefix="peers-")


def write(name, data):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def urlencoded(fields):
    return "&".join("field%%5F%d=" % i + "".join("value%2C+x" if j % 3 == 2 else "abcdefg+hi" for j in range(9))
                    for i in range(fields)).encode()


class Request:
    def __init__(self, label, env, body=b"", pipe=False, runs=21):
        self.label, self.pipe, self.runs = label, pipe, runs
        self.size = len(body)
        self.body = write("body%d" % id(self), body) if body else None
        self.env = dict(env)
        if body:
            self.env["CONTENT_LENGTH"] = str(len(body))


def post(kind, body, **kw):
    ctype = "application/x-www-form-urlencoded" if kind == "url" else "multipart/form-data; boundary=" + BOUNDARY
    return {"REQUEST_METHOD": "POST", "CONTENT_TYPE": ctype}, body


def spawn(program, req, stdout=None, prefix=()):
    """Runs one process; returns (seconds, stdout bytes or None)."""
    args = list(prefix) + [program]
    stdin = subprocess.PIPE if req.pipe else (open(req.body, "rb") if req.body else subprocess.DEVNULL)
    start = time.perf_counter()
    p = subprocess.Popen(args, env=req.env, stdin=stdin, stdout=stdout or subprocess.DEVNULL,
                         stderr=subprocess.PIPE if prefix else subprocess.DEVNULL)
    feeder = None
    if req.pipe:
        def feed():
            with open(req.body, "rb") as f:
                try:
                    shutil.copyfileobj(f, p.stdin, 1 << 16)
                except BrokenPipeError:
                    pass
            p.stdin.close()
        feeder = threading.Thread(target=feed)
        feeder.start()
    data = p.stdout.read() if stdout else None
    err = p.stderr.read() if prefix else None
    p.wait()
    elapsed = time.perf_counter() - start
    if feeder:
        feeder.join()
    if not req.pipe and req.body:
        stdin.close()
    if p.returncode != 0:
        raise RuntimeError("%s failed on %s" % (program, req.label))
    return elapsed, data if stdout else err


def listing(program, req):
    _, data = spawn(program, req, stdout=subprocess.PIPE)
    return sorted(data.decode("latin-1").split("\r\n\r\n", 1)[1].splitlines())


def peak_kib(program, req):
    _, err = spawn(program, req, prefix=(MAXRSS,))
    return int(err.decode().split()[-1])


def measure(req, programs):
    """Rounds over every program and the floors, in a rotating order; the
    medians of time, and of the ratio to each floor within a round."""
    entries = list(programs) + [("floor " + k, v) for k, v in FLOORS.items()]
    times = {name: [] for name, _ in entries}
    for r in range(req.runs):
        order = entries[r % len(entries):] + entries[:r % len(entries)]
        for name, program in order:
            times[name].append(spawn(program, req)[0])
    result = {}
    for name, _ in programs:
        t = times[name]
        result[name] = {
            "time": statistics.median(t),
            "header": statistics.median(a / b for a, b in zip(t, times["floor header"])),
            "copy": statistics.median(a / b for a, b in zip(t, times["floor copy"])),
        }
    for k in FLOORS:
        result["floor " + k] = {"time": statistics.median(times["floor " + k])}
    return result


def main():
    scale = 4 if quick else 1
    env_get = {"REQUEST_METHOD": "GET",
               "QUERY_STRING": "&".join("f%d=v%%2C+%d" % (i, i) for i in range(100)).ljust(2000, "x")}
    big = os.urandom(64 << 20)
    near = (("\r\n--" + BOUNDARY[:-1]) * ((4 << 20) // (len(BOUNDARY) + 3) + 1)).encode()[:4 << 20]
    fields = b"".join(part("field%d" % i, b"value %d text" % i) for i in range(5000)) + \
        ("--%s--\r\n" % BOUNDARY).encode()
    requests = [
        Request("typical submit, 27 B POST", *post("url", b"hc_submit=1&chang=2&hang=-1")),
        Request("GET query of 100 fields, 2 KB", env_get),
        Request("1 MB URL-encoded, 10,000 fields", *post("url", urlencoded(10000)), runs=11),
        Request("multipart, 5,000 small fields", *post("mp", fields), runs=11),
        Request("upload 1 MiB + 2 fields", *post("mp", upload(big[:1 << 20])), runs=11),
        Request("upload 64 MiB + 2 fields, file", *post("mp", upload(big)), runs=5 // scale or 1),
        Request("upload 64 MiB + 2 fields, pipe", *post("mp", upload(big)), pipe=True, runs=5 // scale or 1),
        Request("4 MiB of near-miss delimiters", *post("mp", upload(near)), runs=5),
    ]
    # Every program must give the same listing before anything is timed.
    for req in requests:
        expect = listing(PROGRAMS[0][1], req)
        for name, program in PROGRAMS[1:]:
            got = listing(program, req)
            if got != expect:
                sys.exit("%s lists %s differently:\n%s\n---\n%s" % (name, req.label, got[:5], expect[:5]))
    lines = ["# Benchmark results", "",
             "Machine: %s, %d cores, %s; %s." % (platform.machine(), os.cpu_count(), platform.release(),
                                                  time.strftime("%Y-%m-%d")),
             "Each figure is the median of paired rounds (every program and floor once per round, in a "
             "rotating order); ratios are medians of the per-round ratios to the static C floors. Peak memory "
             "is the resident high-water mark of one run, taken through a small static launcher.", "",
             "| request | program | time | vs header floor | vs copy floor | MB/s | peak RSS |",
             "|---|---|---|---|---|---|---|"]
    for req in requests:
        result = measure(req, PROGRAMS)
        for name, program in PROGRAMS:
            r = result[name]
            rate = "%.0f" % (req.size / r["time"] / 1e6) if req.size > (1 << 20) - 1 else ""
            lines.append("| %s | %s | %.2f ms | %.2fx | %.2fx | %s | %d KiB |" % (
                req.label, name, r["time"] * 1e3, r["header"], r["copy"], rate, peak_kib(program, req)))
        for k in FLOORS:
            rate = "%.0f" % (req.size / result["floor " + k]["time"] / 1e6) if req.size > (1 << 20) - 1 else ""
            lines.append("| %s | floor: %s | %.2f ms | | | %s | %d KiB |" % (
                req.label, k, result["floor " + k]["time"] * 1e3, rate, peak_kib(FLOORS[k], req)))
        print("\n".join(lines[-len(PROGRAMS) - len(FLOORS):]), flush=True)

    # The durable update of a submit: sethc.cgi against a static program that
    # replaces a 500-byte file atomically, and against the in-place rewrite
    # followed by two "sync" commands.
    seed = seeder(bench)
    env, body = post("url", b"hc_submit=1&chang=2&hang=-1")
    env["FLOOR_FILE"] = os.path.join(bench, "device", "floor.ini")
    req = Request("typical submit, durable", env, body)
    entries = [("sethc.cgi", os.path.join(bench, "sethc_bench.cgi")),
               ("sethc.cgi, glibc shared", os.path.join(shared_build, "bench", "sethc_bench.cgi")),
               ("floor: atomic replace", os.path.join(bench, "floor_durable")),
               ("in place + sync twice", os.path.join(bench, "floor_inplace_sync"))]
    times = {n: [] for n, _ in entries}
    for r in range(req.runs):
        for name, program in entries[r % 4:] + entries[:r % 4]:
            seed()
            times[name].append(spawn(program, req)[0])
    lines += ["", "The typical submit with its durable update (format 7 of 41 records, reseeded before every run):",
              "", "| program | time | vs atomic-replace floor |", "|---|---|---|"]
    for name, _ in entries:
        ratio = statistics.median(a / b for a, b in zip(times[name], times["floor: atomic replace"]))
        lines.append("| %s | %.2f ms | %.2fx |" % (name, statistics.median(times[name]) * 1e3, ratio))
    print("\n".join(lines[-4:]), flush=True)

    # Time and peak memory against upload size, for the plot.
    with open(os.path.join(out_dir, "results.dat"), "w") as dat:
        dat.write("MiB " + " ".join('"%s ms" "%s KiB"' % (n, n) for n, _ in PROGRAMS) + "\n")
        for mib in (1, 4, 16, 64):
            req = Request("upload %d MiB" % mib, *post("mp", upload(big[:mib << 20])), runs=3)
            row = ["%d" % mib]
            for name, program in PROGRAMS:
                t = statistics.median(spawn(program, req)[0] for _ in range(req.runs))
                row += ["%.2f" % (t * 1e3), "%d" % peak_kib(program, req)]
            dat.write(" ".join(row) + "\n")
    with open(os.path.join(out_dir, "RESULTS.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    shutil.rmtree(work)


main()
