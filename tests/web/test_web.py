#!/usr/bin/python3
"""The CGI programs behind a real web server, driven by curl and by headless
Chromium (Selenium with chromedriver).

    test_web.py [--server lighttpd|busybox] [--syscall-log DIR]
                SOURCE_DIR SETHC_CGI DEVICE_ROOT INSPECT_CGI WORK_DIR

lighttpd (the default) runs programs built for this machine. busybox is the
device's own server: Debian's ARM BusyBox httpd under qemu-arm in front of
ARM programs, which the kernel starts through qemu-arm as well (binfmt_misc,
for the test's duration); the emulator reports the firmware's Linux 2.6.32.
With --syscall-log, every program the server starts logs its system calls to
DIR/PID.log (the server's own calls are BusyBox's and go nowhere).

The server listens on a free port of 127.0.0.1 and is stopped on every path.
With SETHC_SCREENSHOT set, the operator page after V+ twice is saved there.
"""
import argparse
import contextlib
import fcntl
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

parser = argparse.ArgumentParser()
parser.add_argument("--server", choices=("lighttpd", "busybox"), default="lighttpd")
parser.add_argument("--syscall-log")
for name in ("source", "sethc", "root", "inspect", "work"):
    parser.add_argument(name)
ARGS, sys.argv[1:] = parser.parse_known_args()
SOURCE, SETHC, ROOT, INSPECT, WORK = ARGS.source, ARGS.sethc, ARGS.root, ARGS.inspect, ARGS.work
MNT = os.path.join(ROOT, "mnt")


def records(shift=0):
    return "".join("%d,%d,%d\n" % (f, 16 + f % 5 + shift, 32 + f % 7 + shift) for f in range(1, 42))


FACTORY = records()
FACTORY_DVI = records(2)


def seed():
    shutil.rmtree(ROOT, ignore_errors=True)
    os.makedirs(MNT)
    files = {"format.ini": "output 7\n", "tz582.ini": "0\n", "config.ini": FACTORY,
             "config.ini.org": FACTORY, "config.dvi.ini": FACTORY_DVI, "config.dvi.ini.org": FACTORY_DVI}
    for name, text in files.items():
        with open(os.path.join(MNT, name), "w") as f:
            f.write(text)


def device_file(name="config.ini"):
    with open(os.path.join(MNT, name)) as f:
        return f.read()


class Server:
    """A web server on a free port of 127.0.0.1 serving web/ and the two
    programs under /cgi-bin/; every server still running is stopped at exit."""
    running = []

    def __init__(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.process = self.start()
        Server.running.append(self)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("%s did not start" % type(self).__name__)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        if self in Server.running:
            Server.running.remove(self)
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def link(target, name):
    if os.path.lexists(name):
        os.remove(name)
    os.symlink(target, name)


class Lighttpd(Server):
    def start(self):
        cgi = self.cgi = os.path.join(WORK, "cgi-bin")
        os.makedirs(cgi, exist_ok=True)
        for name, target in (("sethc.cgi", SETHC), ("inspect.cgi", INSPECT)):
            link(target, os.path.join(cgi, name))
        conf = os.path.join(WORK, "lighttpd.conf")
        subprocess.run([os.path.join(SOURCE, "scripts/lighttpd-conf"), conf, str(self.port),
                        os.path.join(SOURCE, "web"), cgi, os.path.join(WORK, "lighttpd.log")], check=True)
        return subprocess.Popen(["lighttpd", "-D", "-f", conf])


class BusyBox(Server):
    # BusyBox httpd runs the programs of <home>/cgi-bin/ and serves the rest
    # of <home>; it follows symbolic links, so the home holds links only.
    def start(self):
        home = os.path.join(WORK, "www")
        self.cgi = os.path.join(home, "cgi-bin")
        os.makedirs(self.cgi, exist_ok=True)
        for page in glob.glob(os.path.join(SOURCE, "web", "*")):
            link(page, os.path.join(home, os.path.basename(page)))
        for name, target in (("sethc.cgi", SETHC), ("inspect.cgi", INSPECT)):
            link(target, os.path.join(home, "cgi-bin", name))
        # An empty configuration, so that no /etc/httpd.conf of this machine applies.
        conf = os.path.join(WORK, "httpd.conf")
        open(conf, "w").close()
        busybox = subprocess.run([os.path.join(SOURCE, "scripts/busybox-arm")], check=True,
                                 stdout=subprocess.PIPE, text=True).stdout.strip()
        # The kernel starts the programs through qemu-arm without arguments,
        # but qemu-arm reads its settings from the environment too, and the
        # server hands its environment on to every program it starts.
        env = dict(os.environ, QEMU_UNAME="2.6.32")
        if ARGS.syscall_log:
            os.makedirs(ARGS.syscall_log, exist_ok=True)
            env.update(QEMU_LOG="strace", QEMU_LOG_FILENAME=os.path.join(ARGS.syscall_log, "%d.log"))
        quiet = ["-D", "/dev/null"] if ARGS.syscall_log else []
        return subprocess.Popen(["/usr/bin/qemu-arm", "-r", "2.6.32"] + quiet + [busybox, "httpd", "-f", "-p",
                                 "127.0.0.1:%d" % self.port, "-h", home, "-c", conf], env=env)


BINFMT = "/proc/sys/fs/binfmt_misc"
BINFMT_ENTRY = "sethc-test-arm"
# What identifies a 32-bit little-endian ARM ELF executable (static or
# position-independent: the mask leaves out the lowest bit of e_type).
ARM_ELF = bytes.fromhex("7f454c46010101000000000000000000" "02002800")
ARM_ELF_MASK = bytes.fromhex("ffffffffffffff00ffffffffffffffff" "feffffff")


@contextlib.contextmanager
def arm_programs_run_under_qemu():
    """Lets the kernel start ARM programs through qemu-arm, as the emulated
    server starts its programs with a plain execve. Undoes exactly what it
    did: an entry of its own (the newest entry is tried first, so another
    one for ARM programs does not matter), and the mount of binfmt_misc."""
    mounted = registered = False
    ours = os.path.join(BINFMT, BINFMT_ENTRY)
    try:
        if not os.path.exists(os.path.join(BINFMT, "register")):
            subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
            mounted = True
        with open(os.path.join(BINFMT, "status")) as f:
            if f.read().strip() != "enabled":
                raise RuntimeError("binfmt_misc is disabled on this machine")
        if os.path.exists(ours):  # left by a run that was killed
            with open(ours, "w") as f:
                f.write("-1")
        magic, mask = ("".join("\\x%02x" % c for c in b) for b in (ARM_ELF, ARM_ELF_MASK))
        with open(os.path.join(BINFMT, "register"), "w") as f:
            f.write(":%s:M::%s:%s:/usr/bin/qemu-arm:" % (BINFMT_ENTRY, magic, mask))
        registered = True
        yield
    finally:
        if registered:
            with open(ours, "w") as f:
                f.write("-1")
        if mounted:
            subprocess.run(["umount", BINFMT], check=True)


def curl(*args):
    return subprocess.run(["curl", "-s", "-S", "--max-time", "60", *args], check=True,
                          capture_output=True).stdout


class WebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = BusyBox() if ARGS.server == "busybox" else Lighttpd()
        # Class cleanups run after tearDownClass and when setUpClass fails.
        cls.addClassCleanup(cls.server.stop)

    def setUp(self):
        seed()


class CurlTest(WebTest):
    def test_get_and_post_change_the_file_as_answered(self):
        text = curl(self.server.url("/cgi-bin/sethc.cgi?hc_submit=1&chang=2&hang=-1")).decode()
        self.assertEqual(text, "add V=2,H=-1\n\ncurrent:\nformat=7 V=18,H=32\n\n"
                               "modify:\nformat=7 V=20,H=31\n\nset ok\n")
        self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,20,31\n"))
        text = curl("-d", "hc_submit=1&chang=-5&hang=4", self.server.url("/cgi-bin/sethc.cgi")).decode()
        self.assertIn("format=7 V=15,H=35\n\nset ok\n", text)
        self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,15,35\n"))
        text = curl("-d", "resethc=1&viewhc=1", self.server.url("/cgi-bin/sethc.cgi")).decode()
        self.assertEqual(text, "recover ok\ncurrent:\nformat=7 V=18,H=32\n")
        self.assertEqual(device_file(), FACTORY)

    def test_uploads_arrive_whole(self):
        for size in (0, 20 << 20):
            with self.subTest(size=size), tempfile.NamedTemporaryFile(suffix=".bin") as f:
                data = os.urandom(size)
                f.write(data)
                f.flush()
                page = curl("--form-string", "title=<b>&'x'", "-F", "up=@%s;type=application/x-test" % f.name,
                            "-b", "session=abc", self.server.url("/cgi-bin/inspect.cgi")).decode()
                row = re.search(r'<tr class="file"><th>up</th><td class="filename">([^<]*)</td>'
                                r'<td class="type">([^<]*)</td><td class="size">(\d+)</td>'
                                r'<td class="head">([0-9a-f]*)</td>', page)
                self.assertIsNotNone(row, page)
                self.assertEqual(row.groups(), (os.path.basename(f.name), "application/x-test",
                                                str(size), data[:32].hex()))
                self.assertIn('<tr class="field"><th>title</th><td class="value">&lt;b&gt;&amp;\'x\'</td>',
                              page)
                self.assertIn('<tr class="cookie"><th>session</th><td class="value">abc</td>', page)

    def test_a_body_cut_short_changes_nothing(self):
        for kind, body in (
                (b"application/x-www-form-urlencoded", b"hc_submit=1&chang=1&hang=1"),
                (b"multipart/form-data; boundary=B",
                 b"--B\r\nContent-Disposition: form-data; name=hc_submit\r\n\r\n1\r\n--B\r\n"
                 b"Content-Disposition: form-data; name=chang\r\n\r\n5\r\n--B\r\n")):
            with self.subTest(kind=kind):
                with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as s:
                    s.sendall(b"POST /cgi-bin/sethc.cgi HTTP/1.1\r\nHost: x\r\nContent-Type: " + kind +
                              b"\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n" + body)
                    s.shutdown(socket.SHUT_WR)
                    answer = s.makefile("rb").read()
                # The program answers nothing, so no page comes (no "set ok" either).
                self.assertNotIn(b"200 OK", answer)
                self.assertEqual(device_file(), FACTORY)
                time.sleep(0.2)  # the server reaps the program after the connection is gone


class BrowserTest(WebTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--disable-quic", "--no-first-run", "--disable-background-networking",
                    "--disable-component-update", "--disable-sync", "--window-size=900,700"):
            options.add_argument(arg)
        profile = tempfile.mkdtemp(prefix="chromium-")
        cls.addClassCleanup(shutil.rmtree, profile, ignore_errors=True)
        options.add_argument("--user-data-dir=" + profile)
        # The network events, to see when each request went and when its answer was in.
        options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.addClassCleanup(cls.browser.quit)

    def requests_done(self):
        return int(self.browser.find_element(By.TAG_NAME, "body").get_attribute("data-requests") or 0)

    def pending(self):
        return self.browser.find_element(By.TAG_NAME, "body").get_attribute("data-pending")

    def wire(self):
        """The program's requests since the last call, as the browser sent them:
        the body when one went out, "done" when its answer was in."""
        sent, events = {}, []
        for entry in self.browser.get_log("performance"):
            method, p = (json.loads(entry["message"])["message"][k] for k in ("method", "params"))
            if method == "Network.requestWillBeSent" and p["request"]["url"].endswith("/sethc.cgi"):
                sent[p["requestId"]] = True
                events.append(p["request"].get("postData"))
            elif method in ("Network.loadingFinished", "Network.loadingFailed") and sent.pop(p["requestId"], 0):
                events.append("done")
        return events

    def click(self, element_id):
        before = self.requests_done()
        self.browser.find_element(By.ID, element_id).click()
        WebDriverWait(self.browser, 10).until(lambda b: self.requests_done() > before)

    def picture(self):
        p = self.browser.find_element(By.ID, "picture")
        return p.get_attribute("data-format"), p.get_attribute("data-v"), p.get_attribute("data-h")

    def open_operator_page(self):
        self.browser.get(self.server.url("/"))
        WebDriverWait(self.browser, 10).until(lambda b: self.requests_done() >= 1)
        self.assertEqual(self.picture(), ("7", "18", "32"))

    def test_arrows_move_the_picture_and_the_record(self):
        self.open_operator_page()
        self.click("down")  # V+
        self.click("down")
        if os.environ.get("SETHC_SCREENSHOT"):
            self.browser.save_screenshot(os.environ["SETHC_SCREENSHOT"])
        self.click("left")  # H-
        self.assertEqual(self.picture(), ("7", "20", "31"))
        self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,20,31\n"))
        self.assertIn("format=7 V=20,H=31\n\nset ok", self.browser.find_element(By.ID, "response").text)
        top = self.browser.find_element(By.ID, "picture").value_of_css_property("top")
        self.assertEqual(top, "5px")  # V 20 at a quarter scale
        # A larger step, then a move beyond 512 shows the error.
        Select(self.browser.find_element(By.ID, "step")).select_by_visible_text("10")
        self.click("right")
        self.assertEqual(self.picture(), ("7", "20", "41"))
        with open(os.path.join(MNT, "config.ini"), "w") as f:
            f.write(FACTORY.replace("\n7,18,32\n", "\n7,510,32\n"))
        self.click("down")
        response = self.browser.find_element(By.ID, "response")
        self.assertIn("error,out of range!", response.text)
        self.assertEqual(response.get_attribute("class"), "error")
        # A request the server refuses leaves no picture that looks current.
        program = os.path.join(self.server.cgi, "sethc.cgi")
        os.rename(program, program + ".off")
        try:
            self.click("up")
        finally:
            os.rename(program + ".off", program)
        self.assertRegex(response.text, r"HTTP [45]\d\d")
        self.assertEqual(response.get_attribute("class"), "error")
        self.assertEqual(self.browser.find_element(By.ID, "picture").get_attribute("data-stale"), "")
        self.click("view")
        self.assertIsNone(self.browser.find_element(By.ID, "picture").get_attribute("data-stale"))

    def test_keys_move_one_request_at_a_time_in_order(self):
        self.open_operator_page()
        self.wire()
        before = self.requests_done()
        # While the device directory is locked, the first move waits in the
        # program; the two pressed after it must wait in the page.
        lock = os.open(MNT, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            ActionChains(self.browser).send_keys(Keys.DOWN, Keys.DOWN, Keys.LEFT).perform()
            WebDriverWait(self.browser, 10).until(lambda b: self.pending() == "3")
        finally:
            os.close(lock)
        WebDriverWait(self.browser, 60).until(lambda b: self.requests_done() == before + 3)
        self.assertEqual(self.wire(), ["hc_submit=1&chang=1&hang=0", "done", "hc_submit=1&chang=1&hang=0", "done",
                                       "hc_submit=1&chang=0&hang=-1", "done"])
        self.assertEqual((self.picture(), self.pending()), (("7", "20", "31"), "0"))
        self.assertEqual(device_file(), FACTORY.replace("\n7,18,32\n", "\n7,20,31\n"))
        self.assertIn("current:\nformat=7 V=20,H=32\n\nmodify:\nformat=7 V=20,H=31",
                      self.browser.find_element(By.ID, "response").text)
        # In the step list the arrows choose the step and send nothing (the
        # page keeps the order, so a move would come before the view).
        step = self.browser.find_element(By.ID, "step")
        step.send_keys(Keys.DOWN)
        self.click("view")
        self.assertEqual((step.get_attribute("value"), self.wire()), ("2", ["viewhc=1", "done"]))

    def test_reset_asks_and_restores(self):
        self.open_operator_page()
        self.click("up")
        self.assertEqual(self.picture(), ("7", "17", "32"))
        before = self.requests_done()
        self.browser.find_element(By.ID, "reset").click()
        self.browser.switch_to.alert.dismiss()
        time.sleep(0.3)
        self.assertEqual(self.requests_done(), before, "a dismissed reset was sent")
        self.browser.find_element(By.ID, "reset").click()
        self.browser.switch_to.alert.accept()
        WebDriverWait(self.browser, 10).until(lambda b: self.requests_done() > before)
        self.assertEqual(self.picture(), ("7", "18", "32"))
        self.assertEqual(device_file(), FACTORY)
        self.assertEqual(device_file("config.dvi.ini"), FACTORY_DVI)


def main():
    # Stopped from outside (SIGTERM, or Ctrl-C once), the run ends after the
    # current test and cleans up as usual; stopped harder, it still stops
    # its servers and undoes the binfmt_misc entry.
    signal.signal(signal.SIGTERM, lambda *_: signal.raise_signal(signal.SIGINT))
    with arm_programs_run_under_qemu() if ARGS.server == "busybox" else contextlib.nullcontext():
        try:
            result = unittest.main(verbosity=2, catchbreak=True, exit=False).result
            sys.exit(0 if result.wasSuccessful() and not result.shouldStop else 1)
        finally:
            for server in list(Server.running):
                server.stop()


if __name__ == "__main__":
    main()
