#!/usr/bin/python3
"""The sipper-web page in a real browser (headless chromium) against the
simulated installation: Reset, Run and Home light the homed indicator; a
click on a well and its confirmation sip it, the probe marker reaches the
well's place and the well takes the colour of the outcome; Stop during a
wash, sent from the seventh tab of the browser, puts the sipper in its error
state and the banner gives the reason. At phone width (390x844) the page is
no wider than the screen and Stop stays in sight; a page of another origin
cannot frame it; axe-core finds nothing critical or serious. Saves
screenshots of the page in the build directory (and, with --docs-shot, the
one the README shows).

Uses the fixed interface names, so it holds the machine-wide lock that the
C++ tests hold (an flock on /tmp/sipper-test-fixed-names.lock)."""

import argparse
import fcntl
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

LOCK_PATH = "/tmp/sipper-test-fixed-names.lock"
LOCK_WAIT_S = 300
FIXED_NAMES = ["Installation", "LinearMC", "RotaryMC", "SampleInterface", "LogServer", "Supervisor", "Sipper"]


class Failed(Exception):
    pass


def wait_until(what, condition, seconds):
    """Polls condition until it gives something true; fails the test at the deadline."""
    deadline = time.monotonic() + seconds
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = condition()
            if value:
                return value
        except (WebDriverException, OSError, ValueError, KeyError) as e:
            last_error = e
        time.sleep(0.05)
    raise Failed("timed out waiting for " + what + (" (last error: %s)" % last_error if last_error else ""))


def take_lock():
    """Waits in the kernel's queue for the lock, at most LOCK_WAIT_S."""
    fd = os.open(LOCK_PATH, os.O_RDWR | os.O_CREAT, 0o666)

    def expired(signum, frame):
        raise Failed("the fixed-names lock stayed taken for %d s" % LOCK_WAIT_S)
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(LOCK_WAIT_S)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    return fd


class Installation:
    """installation-sim with the sipper and sipper-web, in a run directory of their own."""

    def __init__(self, build, source):
        self.bin = os.path.join(build, "bin")
        self.run = tempfile.mkdtemp(prefix="web_page_test_")
        self.sim = None
        self.web = None
        shutil.copytree(os.path.join(source, "examples"), os.path.join(self.run, "cfg"))
        with open(os.path.join(self.run, "installation.cfg"), "w") as f:
            f.write('STAGE_FILE = "%s/sim/board/stage-default.cfg";\n' % source)
            f.write("TIME_FACTOR = 10.0;\n")
            f.write("CYCLE_STATE_DURATIONS = [300, 150, 150];\n")
            f.write('LOG_DIR = "%s/logs";\n' % self.run)
            f.write("STOP_TIMEOUT = 5.0;\n")
            f.write('COMPONENTS = ["%s/sipper Sipper %s/logs/sipper.log %s/cfg/sipper.cfg"];\n'
                    % (self.bin, self.run, self.run))

    def ctl(self, *args, timeout=10):
        return subprocess.run([os.path.join(self.bin, "sipperctl")] + list(args), capture_output=True,
                              text=True, timeout=timeout)

    def clean(self):
        self.ctl("clean", *FIXED_NAMES)
        self.ctl("clean", "--board", "1", "2")

    def start(self):
        self.clean()
        out = open(os.path.join(self.run, "installation-sim.out"), "w")
        self.sim = subprocess.Popen([os.path.join(self.bin, "installation-sim"),
                                     os.path.join(self.run, "installation.cfg")],
                                    stdout=out, stderr=subprocess.STDOUT, cwd=self.run)
        wait_until("the sipper to answer", lambda: self.ctl("--timeout", "300", "get_state").returncode == 0, 15)
        web_out = os.path.join(self.run, "sipper-web.out")
        self.web = subprocess.Popen([os.path.join(self.bin, "sipper-web"), "--listen", "127.0.0.1:0",
                                     "--log", os.path.join(self.run, "logs", "sipper.log")],
                                    stdout=open(web_out, "w"), stderr=subprocess.STDOUT)

        def address():
            m = re.search(r"serving (http://127\.0\.0\.1:\d+/)", open(web_out).read())
            return m.group(1) if m else None
        self.url = wait_until("sipper-web's address", address, 10)

    def api(self, path):
        with urllib.request.urlopen(self.url + "api/v1/" + path, timeout=30) as r:
            return json.load(r)

    def stop(self, keep):
        if self.web:
            self.web.send_signal(signal.SIGTERM)
            try:
                self.web.wait(10)
            except subprocess.TimeoutExpired:
                self.web.kill()
                self.web.wait()
                print("sipper-web did not stop on SIGTERM", file=sys.stderr)
                keep = True
        if self.sim:
            self.ctl("--interface", "Installation", "kill")
            try:
                self.sim.wait(20)
            except subprocess.TimeoutExpired:
                self.sim.kill()
                self.sim.wait()
        self.clean()
        if keep:
            print("run directory kept: " + self.run)
        else:
            shutil.rmtree(self.run, ignore_errors=True)


def browser(chromium, chromedriver, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=1280,800"]:
        options.add_argument(flag)
    d = webdriver.Chrome(service=Service(chromedriver), options=options)
    # A page that cannot load (no connection left to the host) fails here, not at the test's timeout.
    d.set_page_load_timeout(30)
    return d


def indicator(d, name):
    return d.find_element(By.ID, "ind-" + name).get_attribute("data-value")


def check_phone_width(d, build):
    """At 390x844 nothing is wider than the screen and Stop is in sight, scrolled or not."""
    d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 1,
                                                             "mobile": True})
    for scroll in ("0", "document.documentElement.scrollHeight"):
        wait_until("the page at phone width, scrolled to " + scroll, lambda: d.execute_script(
            "window.scrollTo(0, %s); const r = document.getElementById('btn-stop').getBoundingClientRect();"
            # A phone widens its layout to a page wider than the screen: innerWidth stays 390 only if it fits.
            "return innerWidth == 390 && document.documentElement.scrollWidth <= innerWidth &&"
            "  r.left >= 0 && r.top >= 0 && r.right <= innerWidth && r.bottom <= innerHeight;" % scroll), 5)
    d.execute_script("window.scrollTo(0, 0)")
    d.save_screenshot(os.path.join(build, "web_page_phone.png"))
    d.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def check_axe(d, axe):
    d.execute_script(open(axe).read())
    d.set_script_timeout(60)
    found = d.execute_async_script("""
        const done = arguments[arguments.length - 1];
        axe.run(document, {resultTypes: ['violations']}).then(function (r) {
          done(r.violations.filter(v => v.impact === 'critical' || v.impact === 'serious')
                           .map(v => v.impact + ' ' + v.id + ' ' + JSON.stringify(v.nodes.map(n => n.target))));
        }, function (e) { done(['axe failed: ' + e]); });""")
    if found:
        raise Failed("axe-core: " + "; ".join(found))


def check_not_framed(d, url):
    """A page of another origin frames sipper-web: the frame must stay empty of it."""
    page = ('<iframe src="%s" onload="document.title = \'loaded\'"></iframe>' % url).encode()

    class Framing(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page)
        log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Framing)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        d.get("http://127.0.0.1:%d/" % server.server_address[1])
        wait_until("the frame to load", lambda: d.title == "loaded", 15)
        d.switch_to.frame(d.find_element(By.TAG_NAME, "iframe"))
        if d.find_elements(By.ID, "btn-stop"):
            raise Failed("a page of another origin shows sipper-web in a frame")
        d.switch_to.default_content()
    finally:
        server.shutdown()
        server.server_close()


def scenario(d, inst, build, docs_shot, axe):
    d.get(inst.url)
    wait_until("the link indicator", lambda: indicator(d, "link") == "ok", 15)
    # The page fits a 1280x800 screen: no scrolling needed for the controls.
    width, height = d.execute_script("return [document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
    viewport = d.execute_script("return [window.innerWidth, window.innerHeight]")
    if width > viewport[0] or height > viewport[1]:
        raise Failed("the page needs %dx%d but the window shows %dx%d" % (width, height, viewport[0], viewport[1]))
    check_axe(d, axe)  # with the warning colours of a sipper not yet homed; again below in the error state
    # Every probe position the page draws, kept for the checks below.
    d.execute_script("""
        window.probeTrace = [];
        new MutationObserver(function () {
          const p = document.getElementById('probe');
          if (p && p.dataset.x) window.probeTrace.push([Number(p.dataset.x), Number(p.dataset.y)]);
        }).observe(document.getElementById('deck'), {subtree: true, attributes: true, childList: true});
    """)

    d.find_element(By.ID, "btn-reset").click()
    wait_until("state READY", lambda: indicator(d, "state") == "READY", 15)
    d.find_element(By.ID, "btn-run").click()
    wait_until("state RUNNING", lambda: indicator(d, "state") == "RUNNING", 15)
    if indicator(d, "homed") != "no":
        raise Failed("homed before homing")
    d.find_element(By.ID, "btn-home").click()
    wait_until("the homed indicator", lambda: indicator(d, "homed") == "yes" and indicator(d, "status") == "idle", 60)
    if indicator(d, "inhibit") != "closed":
        raise Failed("kill switch indicator shows " + indicator(d, "inhibit"))

    deck = inst.api("deck")
    well = next(w for w in deck["wells"] if w["name"] == "C5")
    circle = wait_until("well C5 drawn", lambda: d.find_element(By.ID, "well-C5"), 10)
    if abs(float(circle.get_attribute("cx")) - well["x"]) > 1e-6 or abs(float(circle.get_attribute("cy")) - well["y"]) > 1e-6:
        raise Failed("well C5 drawn away from its place")
    circle.click()
    alert = wait_until("the confirmation", lambda: d.switch_to.alert, 5)
    if "C5" not in alert.text:
        raise Failed("the confirmation does not name the well: " + alert.text)
    alert.accept()
    wait_until("the probe marker over C5", lambda: any(abs(x - well["x"]) < 0.5 and abs(y - well["y"]) < 0.5
                                                      for x, y in d.execute_script("return window.probeTrace")), 60)
    wait_until("C5 coloured by its outcome",
               lambda: "seen" in (d.find_element(By.ID, "well-C5").get_attribute("class") or ""), 60)
    wait_until("idle after the sip", lambda: indicator(d, "status") == "idle", 60)

    # 15 mm short of the wells' depth the simulated sensor stays dry: a miss.
    depth = d.find_element(By.ID, "sip-depth")
    depth.clear()
    depth.send_keys("15")
    d.find_element(By.ID, "well-F9").click()
    wait_until("the confirmation", lambda: d.switch_to.alert, 5).accept()
    wait_until("F9 coloured as missed",
               lambda: "missed" in (d.find_element(By.ID, "well-F9").get_attribute("class") or ""), 60)
    wait_until("idle after the second sip", lambda: indicator(d, "status") == "idle", 60)
    if "seen" not in d.find_element(By.ID, "well-C5").get_attribute("class"):
        raise Failed("C5 lost its colour")
    log_text = d.find_element(By.ID, "log").text
    if "SIP SENSOR" not in log_text:
        raise Failed("the log tail does not show the sip")
    d.save_screenshot(os.path.join(build, "web_page.png"))
    if docs_shot:
        d.save_screenshot(docs_shot)
    check_phone_width(d, build)

    # Six more tabs: with a stream each they would hold the browser's six
    # connections to the host and Stop from the last would never be sent.
    first = d.current_window_handle
    for _ in range(6):
        d.switch_to.new_window("tab")
        d.get(inst.url)
    wait_until("the link in the last tab", lambda: indicator(d, "link") == "ok", 15)
    last = d.current_window_handle
    d.switch_to.window(first)

    # A long wash, stopped: the sipper ends in its error state.
    for field, value in (("sip-wash1", "20000"), ("sip-wash2", "20000")):
        e = d.find_element(By.ID, field)
        e.clear()
        e.send_keys(value)
    d.execute_script("window.probeTrace = []")
    d.find_element(By.ID, "btn-wash").click()
    wait_until("busy washing", lambda: indicator(d, "status") == "busy", 15)
    wash1 = deck["wash_stations"][0]
    wait_until("the probe at wash station 1", lambda: any(abs(x - wash1["x"]) < 0.5 and abs(y - wash1["y"]) < 0.5
                                                         for x, y in d.execute_script("return window.probeTrace")), 60)
    if indicator(d, "status") != "busy":
        raise Failed("not busy while washing")
    d.switch_to.window(last)
    d.find_element(By.ID, "btn-stop").click()
    wait_until("the error state after Stop", lambda: indicator(d, "status") == "error", 15)
    reason = inst.api("status")["error_reason"] or "no reason"
    wait_until("the banner with the reason", lambda: reason in d.find_element(By.ID, "banner").text, 10)
    d.save_screenshot(os.path.join(build, "web_page_stopped.png"))
    check_axe(d, axe)
    check_not_framed(d, inst.url)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--chromium", default="/usr/bin/chromium")
    p.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    p.add_argument("--docs-shot", default="")
    p.add_argument("--axe", required=True, help="axe.min.js of axe-core")
    a = p.parse_args()
    if not os.path.isfile(a.axe):
        print("FAILED: no axe-core at %s (scripts/setup installs it)" % a.axe, file=sys.stderr)
        return 1

    try:
        lock = take_lock()
    except Failed as e:
        print("FAILED: " + str(e), file=sys.stderr)
        return 1
    inst = Installation(a.build, a.source)
    profile = tempfile.mkdtemp(prefix="web_page_test_profile_")
    d = None
    failed = True
    try:
        inst.start()
        d = browser(a.chromium, a.chromedriver, profile)
        scenario(d, inst, a.build, a.docs_shot, a.axe)
        failed = False
        print("web page test passed; screenshots in " + a.build)
    except (Failed, WebDriverException) as e:
        print("FAILED: " + str(e), file=sys.stderr)
        try:
            if d:
                d.save_screenshot(os.path.join(a.build, "web_page_failed.png"))
        except WebDriverException:
            pass  # a tab that hangs gives none
    finally:
        if d:
            d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        inst.stop(keep=failed)
        os.close(lock)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
