#!/usr/bin/python3
"""The benchmark's listing made with Python's multipart module: one line per
field with its name and decoded length, one per upload with its field name,
file name and size."""
import os
import sys
import urllib.parse

import multipart

out = ["Content-type: text/plain\r\n\r\n"]
method = os.environ.get("REQUEST_METHOD", "")
if method == "GET":
    for name, value in urllib.parse.parse_qsl(os.environ.get("QUERY_STRING", ""), keep_blank_values=True):
        out.append("F %s %d\n" % (name, len(value.encode("latin-1", "replace"))))
else:
    urlencoded = os.environ.get("CONTENT_TYPE", "").startswith("application/x-www-form-urlencoded")

    def decoded(raw):
        # The module hands URL-encoded fields over as sent.
        return urllib.parse.unquote_to_bytes(raw.replace(b"+", b" ")) if urlencoded else raw

    def on_field(field):
        out.append("F %s %d\n" % (decoded(field.field_name).decode("latin-1"), len(decoded(field.value or b""))))

    files = []

    def on_file(f):
        out.append("U %s %s %d\n" % (f.field_name.decode("latin-1"), f.file_name.decode("latin-1"), f.size))
        files.append(f)

    headers = {"Content-Type": os.environ.get("CONTENT_TYPE", ""),
               "Content-Length": os.environ.get("CONTENT_LENGTH", "0")}
    multipart.parse_form(headers, sys.stdin.buffer, on_field, on_file,
                         config={"MAX_MEMORY_FILE_SIZE": 0, "MAX_BODY_SIZE": float("inf")})
    for f in files:
        f.close()
sys.stdout.write("".join(out))
