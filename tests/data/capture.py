#!/usr/bin/env python3
"""Records multipart bodies as real clients send them, for the tests.

Run from this folder: python3 capture.py
It serves one request at a time on 127.0.0.1, saves the raw body of each
POST together with its Content-Type header, and drives the clients:
curl -F, headless Chromium submitting a form, and Python's email package
(policy HTTP, CR LF line ends).
"""
import http.server
import os
import subprocess
import threading
from email import encoders, policy
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

HERE = os.path.dirname(os.path.abspath(__file__))
captured = {}


FORM = b"""<!doctype html>
<form id="f" action="/chromium" method="post" enctype="multipart/form-data">
<input name="name" value="Operator One">
<textarea name="note">first line
second line</textarea>
<input type="checkbox" name="opt" value="on" checked>
<select name="step" multiple><option selected>1</option><option>2</option><option selected>5</option></select>
<input type="file" name="upload" id="upload">
<input type="file" name="empty">
</form>
<script>
const t = new DataTransfer();
t.items.add(new File(["hello\\r\\n--not a boundary\\r\\nbye"], "hello.txt", {type: "text/plain"}));
document.getElementById("upload").files = t.files;
// The browser encodes the form itself; fetch posts it without leaving the page.
const form = document.getElementById("f");
fetch(form.action, {method: "POST", body: new FormData(form)})
  .then(() => document.body.append("sent"));
</script>
"""


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.end_headers()
        self.wfile.write(FORM)

    def do_POST(self):
        length = int(self.headers["Content-Length"])
        captured[self.path.strip("/")] = (self.headers["Content-Type"], self.rfile.read(length))
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def save(name, content_type, body):
    with open(os.path.join(HERE, name + ".body"), "wb") as f:
        f.write(body)
    with open(os.path.join(HERE, name + ".type"), "w") as f:
        f.write(content_type + "\n")


def main():
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    upload = os.path.join(HERE, "upload.bin")
    empty = os.path.join(HERE, "empty.txt")
    open(empty, "wb").close()
    subprocess.run(
        ["curl", "-s", "-o", "/dev/null",
         "-F", "name=Operator One",
         "--form-string", "note=Gr\u00fc\u00dfe; \"quoted\" & more\r\nline 2",
         "-F", "upload=@" + upload + ";type=application/octet-stream",
         "-F", "empty=@" + empty,
         "http://127.0.0.1:%d/curl" % port],
        check=True)
    save("curl", *captured["curl"])
    os.remove(empty)

    subprocess.run(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=/tmp/capture-chromium", "--virtual-time-budget=5000",
         "--dump-dom", "http://127.0.0.1:%d/form" % port],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    server.shutdown()
    save("chromium", *captured["chromium"])

    msg = MIMEMultipart("form-data", boundary="py-email-boundary-7f3a")
    text = MIMEText("hello\r\nworld", "plain", "utf-8")
    text.add_header("Content-Disposition", "form-data", name="greeting")
    msg.attach(text)
    # The generator turns lone line feeds into CR LF, so this part is text.
    data = MIMEApplication(b"first line\r\nsecond line\r\n--not a boundary\r\n", "octet-stream",
                           encoders.encode_noop)
    data.add_header("Content-Disposition", "form-data", name="upload", filename="notes.txt")
    msg.attach(data)
    body = msg.as_bytes(policy=policy.HTTP)
    # The message's own headers end at the first empty line; the body follows.
    head, _, body = body.partition(b"\r\n\r\n")
    save("python-email", "multipart/form-data; boundary=py-email-boundary-7f3a", body)


if __name__ == "__main__":
    main()
