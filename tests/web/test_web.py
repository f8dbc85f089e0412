#!/usr/bin/python3
"""The operator page in headless Chromium (Selenium), behind lighttpd with
the program of this machine, or on the virtual device (--server vm: the ARM
kernel, BusyBox httpd, /mnt on UBIFS over simulated flash; scripts/device-vm
makes VM_DIR), whose files the test reaches through the guest's console.
One operator's session: the only check of the page's script; and on the
virtual device, a plain HTTP client's requests and what the flash holds
after them.

    test_web.py SOURCE_DIR SETHC_CGI DEVICE_ROOT WORK_DIR
    test_web.py --server vm SOURCE_DIR VM_DIR - WORK_DIR

SETHC_SCREENSHOT: where to save the page after V+ twice.
"""
import argparse
import contextlib
import fcntl
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vm"))
import console  # noqa: E402

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

parser = argparse.ArgumentParser()
parser.add_argument("--server", choices=("lighttpd", "vm"), default="lighttpd")
for name in ("source", "sethc", "root", "work"):
    parser.add_argument(name)
ARGS, sys.argv[1:] = parser.parse_known_args()
SOURCE, WORK, MNT = ARGS.source, ARGS.work, os.path.join(ARGS.root, "mnt")


def records(shift=0):
    return "".join("%d,%d,%d\n" % (f, 16 + f % 5 + shift, 32 + f % 7 + shift) for f in range(1, 42))


FACTORY, FACTORY_DVI = records(), records(2)
SERVERS, DEVICE = [], None


def device_file(name="config.ini", text=None):
    if ARGS.server == "vm":
        if text is None:
            return bytes.fromhex(DEVICE.run("echo $(hex /mnt/%s)" % name)).decode()
        escaped = "".join(c if c.isalnum() or c == "," else "\\%03o" % ord(c) for c in text)
        return DEVICE.run("printf '%s' >/mnt/%s" % (escaped, name))
    with open(os.path.join(MNT, name), "r" if text is None else "w") as f:
        return f.read() if text is None else f.write(text)


def seed(changes=None):
    """The device's files as they leave the factory, but for CHANGES."""
    if ARGS.server != "vm":
        shutil.rmtree(ARGS.root, ignore_errors=True)
        os.makedirs(MNT)
    files = {"format.ini": "output 7\n", "tz582.ini": "0\n", "config.ini": FACTORY, "config.ini.org": FACTORY,
             "config.dvi.ini": FACTORY_DVI, "config.dvi.ini.org": FACTORY_DVI}
    for name, text in dict(files, **(changes or {})).items():
        device_file(name, text)


def rename(name, new):
    if ARGS.server == "vm":
        DEVICE.run("mv %s %s" % (name, new))
    else:
        os.rename(name, new)


@contextlib.contextmanager
def device_locked():
    """The device directory's lock, held as a request holds it."""
    if ARGS.server == "vm":
        DEVICE.run("hold /mnt & holder=$!; sleep 0.2")
        try:
            yield
        finally:
            DEVICE.run("kill $holder; wait $holder; [ $? = 143 ]")
        return
    lock = os.open(MNT, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield
    finally:
        os.close(lock)


def link(target, name):
    if os.path.lexists(name):
        os.remove(name)
    os.symlink(target, name)


def start_server(port):
    """The web server on 127.0.0.1:port, serving web/ and the program as
    /cgi-bin/sethc.cgi; returns the process and the program's link."""
    if ARGS.server == "lighttpd":
        cgi, conf = os.path.join(WORK, "cgi-bin"), os.path.join(WORK, "lighttpd.conf")
        os.makedirs(cgi, exist_ok=True)
        link(ARGS.sethc, os.path.join(cgi, "sethc.cgi"))
        subprocess.run([os.path.join(SOURCE, "scripts/lighttpd-conf"), conf, str(port), os.path.join(SOURCE, "web"),
                        cgi, os.path.join(WORK, "lighttpd.log")], check=True)
        return subprocess.Popen(["lighttpd", "-D", "-f", conf]), os.path.join(cgi, "sethc.cgi")
    if ARGS.server == "vm":
        global DEVICE
        DEVICE = console.Device(ARGS.sethc, port)
        return DEVICE.process, "/www/cgi-bin/sethc.cgi"


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class OperatorPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Class cleanups run after tearDownClass and when setUpClass fails.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            cls.port = s.getsockname()[1]
        server, cls.program = start_server(cls.port)
        SERVERS.append(server)
        cls.addClassCleanup(stop, server)
        deadline = time.monotonic() + 20
        while True:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", cls.port), timeout=1):
                break
            if server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the web server did not start")
            time.sleep(0.05)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--window-size=900,700"):
            options.add_argument(arg)
        profile = tempfile.mkdtemp(prefix="chromium-")
        cls.addClassCleanup(shutil.rmtree, profile, ignore_errors=True)
        options.add_argument("--user-data-dir=" + profile)
        # The network events, to see when each request went and when its answer was in.
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.addClassCleanup(cls.browser.quit)

    def body(self, attribute):
        return self.browser.find_element(By.TAG_NAME, "body").get_attribute(attribute)

    def requests_done(self):
        return int(self.body("data-requests") or 0)

    def wire(self):
        """The program's requests since the last call, as the browser sent them:
        the body when one went out, "done" when its answer was in."""
        sent, events = set(), []
        for entry in self.browser.get_log("performance"):
            method, p = (json.loads(entry["message"])["message"][k] for k in ("method", "params"))
            if method == "Network.requestWillBeSent" and p["request"]["url"].endswith("/sethc.cgi"):
                sent.add(p["requestId"])
                events.append(p["request"].get("postData"))
            elif method in ("Network.loadingFinished", "Network.loadingFailed") and p["requestId"] in sent:
                sent.remove(p["requestId"])
                events.append("done")
        return events

    def click(self, element_id):
        before = self.requests_done()
        self.browser.find_element(By.ID, element_id).click()
        WebDriverWait(self.browser, 10).until(lambda b: self.requests_done() > before)

    def element(self, element_id, attribute=None):
        e = self.browser.find_element(By.ID, element_id)
        return e.get_attribute(attribute) if attribute else e

    def picture(self):
        return tuple(self.element("picture", "data-" + k) for k in ("format", "v", "h"))

    @unittest.skipUnless(ARGS.server == "vm", "the flash is the virtual device's")
    def test_a_plain_client(self):
        """Submit, view, multipart submit and reset by a plain HTTP client;
        after each change, what the flash holds once /mnt is mounted anew."""
        seed({"config.dvi.ini": "x\n"})
        url = "http://127.0.0.1:%d/cgi-bin/sethc.cgi" % self.port
        boundary = "----plain"
        multipart = "".join("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n" % (boundary, n, v)
                            for n, v in (("hc_submit", "1"), ("chang", "2"), ("hang", "-1"))) + "--%s--\r\n" % boundary
        for label, data, kind, answer, after in (
                ("submit", b"hc_submit=1&chang=1&hang=1", None, "format=7 V=19,H=33\n\nset ok\n", (19, 33)),
                ("view", None, None, "current:\nformat=7 V=19,H=33\n", None),
                ("multipart submit", multipart.encode(), "multipart/form-data; boundary=" + boundary,
                 "format=7 V=21,H=32\n\nset ok\n", (21, 32)),
                ("reset", b"resethc=1", None, "recover ok", (18, 32))):
            with self.subTest(label):
                request = urllib.request.Request(url + ("?viewhc=1" if data is None else ""), data=data)
                if kind:
                    request.add_header("Content-Type", kind)
                with urllib.request.urlopen(request, timeout=60) as response:
                    self.assertTrue(response.read().decode().endswith(answer))
                if after:
                    DEVICE.run("umount /mnt && ubidetach -m 0 && ubiattach -m 0 && mount -t ubifs ubi0:data /mnt")
                    self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,%d,%d\n" % after))
        self.assertEqual(device_file("config.dvi.ini"), FACTORY_DVI)

    def test_an_operators_session(self):
        seed()
        self.browser.get("http://127.0.0.1:%d/" % self.port)
        WebDriverWait(self.browser, 10).until(lambda b: self.requests_done() >= 1)
        self.assertEqual(self.picture(), ("7", "18", "32"))
        # The buttons: V+ twice, H- once.
        self.click("down")
        self.click("down")
        if os.environ.get("SETHC_SCREENSHOT"):
            self.browser.save_screenshot(os.environ["SETHC_SCREENSHOT"])
        self.click("left")
        self.assertEqual(self.picture(), ("7", "20", "31"))
        self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,20,31\n"))
        self.assertIn("format=7 V=20,H=31\n\nset ok", self.element("response").text)
        self.assertEqual(self.element("picture").value_of_css_property("top"), "5px")  # V 20 at a quarter scale
        # A larger step.
        Select(self.element("step")).select_by_visible_text("10")
        self.click("right")
        self.assertEqual(self.picture(), ("7", "20", "41"))
        # A request the server refuses leaves no picture that looks current.
        rename(self.program, self.program + ".off")
        try:
            self.click("up")
        finally:
            rename(self.program + ".off", self.program)
        self.assertRegex(self.element("response").text, r"HTTP [45]\d\d")
        self.assertEqual((self.element("response", "class"), self.element("picture", "data-stale")), ("error", ""))
        device_file("config.ini", FACTORY)
        self.click("view")
        self.assertEqual((self.picture(), self.element("picture", "data-stale")), (("7", "18", "32"), None))
        # The device refuses a move of a format without a record, and one
        # beyond 512: their "current" reports are no position to show.
        device_file("format.ini", "output 42\n")
        self.click("down")
        self.assertIn("format=42 V=0,H=0\nerror,no record!", self.element("response").text)
        self.assertEqual((self.picture(), self.element("picture", "data-stale"), self.element("response", "class")),
                         (("7", "18", "32"), "", "error"))
        device_file("format.ini", "output 7\n")
        device_file("config.ini", FACTORY.replace("\n7,18,32\n", "\n7,510,32\n"))
        self.click("down")
        self.assertIn("format=7 V=510,H=32\nerror,out of range!", self.element("response").text)
        self.assertEqual((self.picture(), self.element("response", "class")), (("7", "18", "32"), "error"))
        device_file("config.ini", FACTORY)
        # Keys pressed while the device directory is locked: the first move
        # waits in the program, the two after it in the page, and then they
        # go one at a time in the order pressed.
        Select(self.element("step")).select_by_visible_text("1")
        self.wire()
        before = self.requests_done()
        with device_locked():
            self.element("screen").click()  # away from the step list
            ActionChains(self.browser).send_keys(Keys.DOWN, Keys.DOWN, Keys.LEFT).perform()
            WebDriverWait(self.browser, 10).until(lambda b: self.body("data-pending") == "3")
        WebDriverWait(self.browser, 60).until(lambda b: self.requests_done() == before + 3)
        self.assertEqual(self.wire(), ["hc_submit=1&chang=1&hang=0", "done", "hc_submit=1&chang=1&hang=0", "done",
                                       "hc_submit=1&chang=0&hang=-1", "done"])
        self.assertEqual((self.picture(), self.body("data-pending")), (("7", "20", "31"), "0"))
        self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,20,31\n"))
        self.assertIn("current:\nformat=7 V=20,H=32\n\nmodify:\nformat=7 V=20,H=31", self.element("response").text)
        # In the step list the arrows choose the step and send nothing (the
        # page keeps the order, so a move would come before the view).
        self.element("step").send_keys(Keys.DOWN)
        self.click("view")
        self.assertEqual((self.element("step", "value"), self.wire()), ("2", ["viewhc=1", "done"]))
        # Reset asks first: dismissed, nothing goes; accepted, both files are restored.
        before = self.requests_done()
        self.element("reset").click()
        self.browser.switch_to.alert.dismiss()
        time.sleep(0.3)
        self.assertEqual(self.requests_done(), before, "a dismissed reset was sent")
        self.element("reset").click()
        self.browser.switch_to.alert.accept()
        WebDriverWait(self.browser, 10).until(lambda b: self.requests_done() > before)
        self.assertEqual((self.picture(), device_file(), device_file("config.dvi.ini")),
                         (("7", "18", "32"), FACTORY, FACTORY_DVI))


def main():
    # Stopped from outside (SIGTERM, or Ctrl-C once), the run ends after the
    # current test and cleans up as usual; stopped harder, it still stops the
    # server.
    signal.signal(signal.SIGTERM, lambda *_: signal.raise_signal(signal.SIGINT))
    try:
        result = unittest.main(verbosity=2, catchbreak=True, exit=False).result
    finally:
        for server in SERVERS:
            stop(server)
    sys.exit(0 if result.wasSuccessful() and not result.shouldStop else 1)


if __name__ == "__main__":
    main()
