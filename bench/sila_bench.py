#!/usr/bin/python3
"""Prints sipper-sila's figures beside sipper-web's, in one run against the
simulated installation (fixed names, under their lock):
  - Get_Configured (an unobservable property) round trip over TLS on
    loopback, median and p99, beside sipper-web's GET /api/v1/status;
  - the delay from a state change of the sipper (a wash taken: idle -> busy)
    to the update of the observable property SipperStatus.
Both clients are Python (grpcio, http.client), so each figure includes the
same client overhead.

  /usr/bin/python3 bench/sila_bench.py --build build [--count 500]"""
import argparse
import http.client
import os
import re
import statistics
import subprocess
import sys
import threading
import time

import grpc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sila"))
import sila_server_test as harness  # noqa: E402  (the scenario's installation and stubs)


def figures(samples_s):
    s = sorted(samples_s)
    return "median %.3f ms, p99 %.3f ms" % (1000 * statistics.median(s), 1000 * s[int(0.99 * (len(s) - 1))])


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--build", required=True)
    a.add_argument("--count", type=int, default=500)
    args = a.parse_args()
    source = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    lock_fd = harness.take_lock()
    run = harness.Run(os.path.abspath(args.build), source)
    try:
        stubs = harness.Stubs(os.path.join(source, "sila", "protos"), run.path("stubs"))
        fw, sc = stubs.fw, stubs.pb["SipperController"]
        run.ctl("clean", *harness.FIXED_NAMES)
        run.spawn("installation", [os.path.join(run.bin, "installation-sim"), run.path("installation.cfg")])
        harness.wait_until("the installation", lambda: run.ctl("--interface", "SampleInterface", "get_state")
                           .returncode == 0, 15)
        run.start_sipper()
        for c in (["reset"], ["run"], ["home"], ["wait"]):
            run.ctl("--timeout", "60000", *c)
        port, _ = run.start_sila("sila")
        web = run.spawn("web", [os.path.join(run.bin, "sipper-web"), "--listen", "127.0.0.1:0", "--log", run.log])
        web_port = int(harness.wait_until("sipper-web", lambda: re.search(
            r"127\.0\.0\.1:(\d+)", open(run.path("web.out")).read()), 10).group(1))
        del web
        pem = open(run.path("sila-state", "certificate.pem"), "rb").read()
        channel = grpc.secure_channel("127.0.0.1:%d" % port, grpc.ssl_channel_credentials(root_certificates=pem))
        controller = stubs.stub(channel, "SipperController")

        def timed(call):
            call()
            samples = []
            for _ in range(args.count):
                t = time.perf_counter()
                call()
                samples.append(time.perf_counter() - t)
            return samples
        sila = timed(lambda: controller.Get_Configured(sc.Get_Configured_Parameters()))
        conn = http.client.HTTPConnection("127.0.0.1", web_port)

        def status():
            conn.request("GET", "/api/v1/status")
            conn.getresponse().read()
        web_samples = timed(status)

        delays = []
        for _ in range(10):
            updates = controller.Subscribe_SipperStatus(sc.Subscribe_SipperStatus_Parameters())
            seen = {}
            subscribed = threading.Event()

            def read():
                for u in updates:
                    subscribed.set()
                    if u.SipperStatus.value == "busy":
                        seen["t"] = time.perf_counter()
                        return
            reader = threading.Thread(target=read)
            reader.start()
            subscribed.wait(5)
            # From before sipperctl starts: the figure includes starting it.
            sent = time.perf_counter()
            run.ctl("wash", "200", "200")
            reader.join(10)
            updates.cancel()
            if "t" in seen:
                delays.append(max(seen["t"] - sent, 0.0))
            run.ctl("--timeout", "60000", "wait")
        print("machine: %d cores, load average %s" % (os.cpu_count(), open("/proc/loadavg").read().split()[0]))
        print("| measurement | result |\n|---|---|")
        print("| sipper-sila Get_Configured round trip (TLS, loopback, %d) | %s |" % (args.count, figures(sila)))
        print("| sipper-web GET /api/v1/status round trip (%d) | %s |" % (args.count, figures(web_samples)))
        print("| sipperctl wash started to SipperStatus update busy, %d changes | %s |"
              % (len(delays), figures(delays) if delays else "no update seen"))
    finally:
        run.stop()
        os.close(lock_fd)


if __name__ == "__main__":
    main()
