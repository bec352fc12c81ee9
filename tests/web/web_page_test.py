#!/usr/bin/python3
"""The sipper-web page in a real browser (headless chromium) against the
simulated installation: Reset, Run and Home light the homed indicator; a
click on a well and its confirmation sip it, the probe marker reaches the
well's place and the well takes the colour of the outcome; Stop during a
wash puts the sipper in its error state. Saves screenshots of the page in
the build directory (and, with --docs-shot, the one the README shows).

Uses the fixed interface names, so it holds the machine-wide lock that the
C++ tests hold (an flock on /tmp/sipper-test-fixed-names.lock)."""

import argparse
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
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
    return webdriver.Chrome(service=Service(chromedriver), options=options)


def indicator(d, name):
    return d.find_element(By.ID, "ind-" + name).get_attribute("data-value")


def scenario(d, inst, build, docs_shot):
    d.get(inst.url)
    wait_until("the link indicator", lambda: indicator(d, "link") == "ok", 15)
    # The page fits a 1280x800 screen: no scrolling needed for the controls.
    width, height = d.execute_script("return [document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
    viewport = d.execute_script("return [window.innerWidth, window.innerHeight]")
    if width > viewport[0] or height > viewport[1]:
        raise Failed("the page needs %dx%d but the window shows %dx%d" % (width, height, viewport[0], viewport[1]))
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
    d.find_element(By.ID, "btn-stop").click()
    wait_until("the error state after Stop", lambda: indicator(d, "status") == "error", 15)
    d.save_screenshot(os.path.join(build, "web_page_stopped.png"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--source", required=True)
    p.add_argument("--chromium", default="/usr/bin/chromium")
    p.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    p.add_argument("--docs-shot", default="")
    a = p.parse_args()

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
        scenario(d, inst, a.build, a.docs_shot)
        failed = False
        print("web page test passed; screenshots in " + a.build)
    except Failed as e:
        print("FAILED: " + str(e), file=sys.stderr)
        if d:
            d.save_screenshot(os.path.join(a.build, "web_page_failed.png"))
    finally:
        if d:
            d.quit()
        shutil.rmtree(profile, ignore_errors=True)
        inst.stop(keep=failed)
        os.close(lock)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
