#!/usr/bin/python3
"""The CGI programs behind a real lighttpd, driven by curl and by headless
Chromium (Selenium with chromedriver).

    test_web.py SOURCE_DIR SETHC_CGI DEVICE_ROOT INSPECT_CGI WORK_DIR

The server listens on a free port of 127.0.0.1 and is stopped on every path.
With SETHC_SCREENSHOT set, the operator page after V+ twice is saved there.
"""
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

SOURCE, SETHC, ROOT, INSPECT, WORK = sys.argv[1:6]
del sys.argv[1:6]
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


def tmp_files():
    return sorted(glob.glob("/tmp/cgic*"))


class Server:
    """lighttpd serving web/ and the two programs under /cgi-bin/."""

    def __init__(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        cgi = os.path.join(WORK, "cgi-bin")
        os.makedirs(cgi, exist_ok=True)
        for name, target in (("sethc.cgi", SETHC), ("inspect.cgi", INSPECT)):
            link = os.path.join(cgi, name)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(target, link)
        conf = os.path.join(WORK, "lighttpd.conf")
        subprocess.run([os.path.join(SOURCE, "scripts/lighttpd-conf"), conf, str(self.port),
                        os.path.join(SOURCE, "web"), cgi, os.path.join(WORK, "lighttpd.log")], check=True)
        self.process = subprocess.Popen(["lighttpd", "-D", "-f", conf])
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("lighttpd did not start")

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def curl(*args):
    return subprocess.run(["curl", "-s", "-S", "--max-time", "60", *args], check=True,
                          capture_output=True).stdout


class WebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        seed()
        self.before = tmp_files()

    def tearDown(self):
        self.assertEqual(tmp_files(), self.before, "temporary files left in /tmp")


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
        for size in (0, 3 << 20, 20 << 20):
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
        for path, body in (("/cgi-bin/sethc.cgi", b"hc_submit=1&chang=1&hang=1"),
                           ("/cgi-bin/inspect.cgi", b"--B\r\nContent-Disposition: form-data; name=f; "
                                                    b"filename=x\r\n\r\n" + b"x" * 5000)):
            with self.subTest(path=path):
                kind = b"multipart/form-data; boundary=B" if b"--B" in body else \
                    b"application/x-www-form-urlencoded"
                with socket.create_connection(("127.0.0.1", self.server.port), timeout=30) as s:
                    s.sendall(b"POST " + path.encode() + b" HTTP/1.1\r\nHost: x\r\nContent-Type: " + kind +
                              b"\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n" + body)
                    s.shutdown(socket.SHUT_WR)
                    answer = b""
                    while True:
                        piece = s.recv(65536)
                        if not piece:
                            break
                        answer += piece
                self.assertNotIn(b"set ok", answer)
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
        cls.profile = tempfile.mkdtemp(prefix="chromium-")
        options.add_argument("--user-data-dir=" + cls.profile)
        try:
            cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        except Exception:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        shutil.rmtree(cls.profile, ignore_errors=True)
        super().tearDownClass()

    def requests_done(self):
        return int(self.browser.find_element(By.TAG_NAME, "body").get_attribute("data-requests") or 0)

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

    def test_inspector_shows_a_real_form(self):
        self.browser.get(self.server.url("/inspect.html"))
        with tempfile.NamedTemporaryFile(suffix=".txt", delete=False) as f:
            f.write(b"hello <inspector>\r\n")
        try:
            self.browser.find_element(By.NAME, "upload").send_keys(f.name)
            steps = Select(self.browser.find_element(By.NAME, "step"))
            steps.select_by_visible_text("5")
            self.browser.find_element(By.CSS_SELECTOR, "input[value=dvi]").click()
            self.browser.find_element(By.ID, "send").click()
            WebDriverWait(self.browser, 10).until(lambda b: "Fields" in b.page_source)
            page = self.browser.page_source
        finally:
            os.remove(f.name)
        rows = re.findall(r'<tr class="(field|file|cookie)"><th>([^<]*)</th>(.*?)</tr>', page, re.S)
        values = [(kind, name, re.sub(r"<[^>]+>", "|", cells).strip("|")) for kind, name, cells in rows]
        self.assertIn(("field", "name", "Operator One"), values)
        self.assertIn(("field", "note", "first line\nsecond line &lt;b&gt;"), values)
        self.assertEqual([v for k, n, v in values if n == "step"], ["2", "5"])
        self.assertEqual([v for k, n, v in values if n == "opt"], ["dvi", "hdmi"])
        self.assertIn(("file", "upload", "%s||text/plain||19||%s" % (os.path.basename(f.name),
                                                                       b"hello <inspector>\r\n".hex())),
                      values)
        self.assertIn(("cookie", "inspector", "on"), values)


if __name__ == "__main__":
    unittest.main(verbosity=2)
