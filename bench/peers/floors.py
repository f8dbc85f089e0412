#!/usr/bin/python3
"""Our programs against C programs that do the same work with the least code,
as whole processes, in paired rounds (the two once per round, in turn first):
list.cgi's multipart requests against the parse floor (floor_multipart) and
the typical submit against its same-work floor (floor_submit, reseeded before
every run). Prints a Markdown section.

    floors.py BUILD_DIR [--quick]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

from bodies import BOUNDARY, part, seeder, upload

build = sys.argv[1]
quick = "--quick" in sys.argv
bench = os.path.join(build, "bench")
MP = {"REQUEST_METHOD": "POST", "CONTENT_TYPE": "multipart/form-data; boundary=" + BOUNDARY}


def spawn(program, env, body, before=None):
    if before:
        before()
    with open(body, "rb") as stdin:
        start = time.perf_counter()
        p = subprocess.run([program], env=env, stdin=stdin, stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
    if p.returncode != 0:
        sys.exit("%s failed" % program)
    return elapsed


def paired(a, b, env, body, runs, before=None):
    """Medians of A's time, B's time and the per-round ratio A/B."""
    ta, tb = [], []
    for r in range(runs):
        if r % 2:
            tb.append(spawn(b, env, body, before))
            ta.append(spawn(a, env, body, before))
        else:
            ta.append(spawn(a, env, body, before))
            tb.append(spawn(b, env, body, before))
    return statistics.median(ta), statistics.median(tb), statistics.median(x / y for x, y in zip(ta, tb))


def main():
    work = tempfile.mkdtemp(prefix="floors-")
    try:
        big = os.urandom(64 << 20)
        fields = b"".join(part("field%d" % i, b"value %d text" % i) for i in range(5000)) + \
            ("--%s--\r\n" % BOUNDARY).encode()
        requests = [
            ("multipart, 5,000 small fields", fields, 41, 1.5),
            ("upload 1 MiB + 2 fields", upload(big[:1 << 20]), 41, None),
            ("upload 64 MiB + 2 fields, file", upload(big), 11 if not quick else 3, 1.15),
        ]
        print("Multipart requests against a parse floor (a C program that reads 64 KiB blocks, finds each "
              "delimiter with memmem (memchr within a short distance), takes each part's name and writes an upload straight from the block in "
              "whole 64 KiB writes at 64 KiB offsets), paired rounds:")
        print()
        print("| request | list.cgi | parse floor | ratio (median of pairs) | goal |")
        print("|---|---|---|---|---|")
        for label, data, runs, goal in requests:
            body = os.path.join(work, "body")
            with open(body, "wb") as f:
                f.write(data)
            env = dict(MP, CONTENT_LENGTH=str(len(data)))
            a, b, r = paired(os.path.join(build, "list.cgi"), os.path.join(bench, "floor_multipart"), env, body, runs)
            print("| %s | %.2f ms | %.2f ms | %.2fx | %s |" % (label, a * 1e3, b * 1e3, r,
                                                            "<= %.2fx" % goal if goal else ""), flush=True)

        seed = seeder(bench)
        body = os.path.join(work, "submit")
        with open(body, "wb") as f:
            f.write(b"hc_submit=1&chang=2&hang=-1")
        env = {"REQUEST_METHOD": "POST", "CONTENT_TYPE": "application/x-www-form-urlencoded", "CONTENT_LENGTH": "27"}
        a, b, r = paired(os.path.join(bench, "sethc_bench.cgi"), os.path.join(bench, "floor_submit"), env, body,
                         41, seed)
        print()
        print("The typical submit against a C program doing the same work with the least code (the same answer "
              "and file; format 7 of 41 records, reseeded before every run), paired rounds:")
        print()
        print("| request | sethc.cgi | same-work floor | ratio (median of pairs) | goal |")
        print("|---|---|---|---|---|")
        print("| typical submit, 27 B POST | %.2f ms | %.2f ms | %.2fx | <= 1.15x |" % (a * 1e3, b * 1e3, r))
    finally:
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)


main()
