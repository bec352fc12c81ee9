#!/usr/bin/python3
"""sipper-web's /metrics scraped by Debian's prometheus and read back through
its query API, with the example alert rules loaded (and checked by promtool).

usage: web_metrics_test.py --build DIR --source DIR
sipper-web runs under an interface nobody serves: the sipper does not answer,
and each command sent is an operation that failed.
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(read, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = read()
        if value is not None:
            return value
        time.sleep(0.2)
    return read()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    args = ap.parse_args()
    rules = os.path.abspath(args.source + "/examples/sipper-alerts.yml")
    check = subprocess.run(["promtool", "check", "rules", rules], capture_output=True, text=True)
    if check.returncode != 0:
        print("promtool refused the rules:", check.stdout, check.stderr)
        return 1
    run = tempfile.mkdtemp(prefix="web_metrics_test_")
    web = subprocess.Popen([args.build + "/bin/sipper-web", "--interface", "WebMetricsTest", "--listen", "127.0.0.1:0"],
                           stdout=subprocess.PIPE, text=True)
    prometheus = None
    failed = True
    try:
        port = int(web.stdout.readline().split("127.0.0.1:")[1].split("/")[0])
        for _ in range(3):
            request = urllib.request.Request("http://127.0.0.1:%d/api/v1/commands" % port, data=b'{"command":"home"}',
                                             headers={"Content-Type": "application/json"})
            try:
                urllib.request.urlopen(request)
            except urllib.error.HTTPError as e:
                assert e.code == 503, e.code
        config = run + "/prometheus.yml"
        with open(config, "w") as f:
            f.write("global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: ['%s']\n"
                    "scrape_configs:\n  - job_name: sipper-web\n    static_configs: [{targets: ['127.0.0.1:%d']}]\n"
                    % (rules, port))
        listen = free_port()
        prometheus = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + run + "/data",
                                       "--web.listen-address=127.0.0.1:%d" % listen],
                                      stdout=subprocess.DEVNULL, stderr=open(run + "/prometheus.log", "w"))

        def query(q):
            url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (listen, urllib.parse.quote(q))
            try:
                result = json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]
            except (OSError, ValueError, KeyError):
                return None
            return result[0]["value"][1] if result else None

        values = {
            'sipper_operations_total{outcome="failed"}': eventually(lambda: query('sipper_operations_total{outcome="failed"}'), 60),
            "sipper_up": query("sipper_up"),
            'ALERTS{alertname="SipperInErrorOrNotAnswering",alertstate="pending"}': eventually(
                lambda: query('ALERTS{alertname="SipperInErrorOrNotAnswering",alertstate="pending"}'), 30),
        }
        expected = {'sipper_operations_total{outcome="failed"}': "3", "sipper_up": "0",
                    'ALERTS{alertname="SipperInErrorOrNotAnswering",alertstate="pending"}': "1"}
        for name, value in values.items():
            print("%s = %s (expected %s)" % (name, value, expected[name]))
        failed = values != expected
    finally:
        for p in (prometheus, web):
            if p is not None:
                p.terminate()
                p.wait(timeout=30)
        if failed:
            print("kept", run)
        else:
            shutil.rmtree(run)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
