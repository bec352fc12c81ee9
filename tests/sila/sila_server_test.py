#!/usr/bin/python3
"""sipper-sila driven by a SiLA client that shares nothing with it (Python's
grpcio, stubs made from sila/protos at test time) against the simulated
installation, in one scenario: the certificate is trusted and carries the
server's identity; SiLAService's values, each Feature Definition byte for byte
and its identifiers against its proto; a refusal, initialise, home, a sip, a
wash cancelled and a wash stopped by a client without the lock, all followed
through _Info to their results; validation errors with nothing sent; lock
rules; unknown UUIDs; metadata on SiLAService; the sipper killed and started
again; the example client. Then mutual TLS: clients without a certificate or
with one of another CA are refused, and a non-loopback address without
--client-ca is refused at start.

Uses the fixed interface names, so it holds the machine-wide lock that the
C++ tests hold (an flock on /tmp/sipper-test-fixed-names.lock)."""
import argparse
import base64
import fcntl
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

import grpc
from grpc_tools import protoc

LOCK_PATH = "/tmp/sipper-test-fixed-names.lock"
FIXED_NAMES = ["Installation", "LinearMC", "RotaryMC", "SampleInterface", "LogServer", "Supervisor", "Sipper"]
NS = "{http://www.sila-standard.org}"
LOCK_HEADER = "sila-org.silastandard-core-lockcontroller-v1-metadata-lockidentifier-bin"
UUID_OID = "1.3.6.1.4.1.58583"


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


def wait_until(what, condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise Failed("timed out waiting for " + what)


def take_lock():
    fd = os.open(LOCK_PATH, os.O_RDWR | os.O_CREAT, 0o666)
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(Failed("the fixed-names lock stayed taken")))
    signal.alarm(300)
    fcntl.flock(fd, fcntl.LOCK_EX)
    signal.alarm(0)
    return fd


class Run:
    """installation-sim without its sipper, the sipper started by the test, and sipper-sila."""

    def __init__(self, build, source):
        self.bin = os.path.join(build, "bin")
        self.source = source
        self.dir = tempfile.mkdtemp(prefix="sila_server_test_")
        self.procs = {}
        shutil.copytree(os.path.join(source, "examples"), os.path.join(self.dir, "cfg"))
        with open(os.path.join(self.dir, "installation.cfg"), "w") as f:
            f.write('STAGE_FILE = "%s/sim/board/stage-default.cfg";\nTIME_FACTOR = 10.0;\n' % source)
            f.write('CYCLE_STATE_DURATIONS = [300, 150, 150];\nLOG_DIR = "%s/logs";\nSTOP_TIMEOUT = 5.0;\n' % self.dir)
        self.log = os.path.join(self.dir, "logs", "sipper.log")

    def path(self, *p):
        return os.path.join(self.dir, *p)

    def ctl(self, *args):
        return subprocess.run([os.path.join(self.bin, "sipperctl")] + list(args), capture_output=True, text=True,
                              timeout=30)

    def spawn(self, name, argv):
        self.procs[name] = subprocess.Popen(argv, stdout=open(self.path(name + ".out"), "w"),
                                           stderr=subprocess.STDOUT, cwd=self.dir)
        return self.procs[name]

    def start_sipper(self):
        self.spawn("sipper", [os.path.join(self.bin, "sipper"), "Sipper", self.log, self.path("cfg", "sipper.cfg")])
        wait_until("the sipper to answer", lambda: self.ctl("get_state").returncode == 0, 15)

    def start_sila(self, name, *options):
        p = self.spawn(name, [os.path.join(self.bin, "sipper-sila"), "--listen", "127.0.0.1:0",
                              "--state-dir", self.path(name + "-state"), "--log", self.log] + list(options))

        def served():
            check(p.poll() is None, name + " ended: " + open(self.path(name + ".out")).read())
            return re.search(r"serving 127\.0\.0\.1:(\d+) \(TLS\) as server ([0-9a-f-]{36})",
                             open(self.path(name + ".out")).read())
        m = wait_until(name + "'s address", served, 20)
        return int(m.group(1)), m.group(2)

    def stop(self):
        """Stops everything; the names of the servers that did not end cleanly (a sanitizer report, a hang)."""
        bad = []
        for name in [n for n in self.procs if n != "installation"]:
            p = self.procs[name]
            p.send_signal(signal.SIGTERM)
            try:
                if p.wait(10) != 0 and name != "sipper":
                    bad.append(name)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                bad.append(name)
        if "installation" in self.procs:
            self.ctl("--interface", "Installation", "kill")
            try:
                self.procs["installation"].wait(20)
            except subprocess.TimeoutExpired:
                self.procs["installation"].kill()
        self.ctl("clean", *FIXED_NAMES)
        self.ctl("clean", "--board", "1", "2")
        return bad


class Stubs:
    def __init__(self, proto_dir, out):
        os.makedirs(out, exist_ok=True)
        protos = sorted(f for f in os.listdir(proto_dir) if f.endswith(".proto"))
        check(protoc.main(["protoc", "-I" + proto_dir, "--python_out=" + out, "--grpc_python_out=" + out] + protos)
              == 0, "the protos compile")
        sys.path.insert(0, out)
        self.names = [p[:-6] for p in protos]
        self.pb = {n: __import__(n + "_pb2") for n in self.names}
        self.grpc = {n: __import__(n + "_pb2_grpc") for n in self.names if n != "SiLAFramework"}
        self.fw = self.pb["SiLAFramework"]

    def stub(self, channel, feature):
        return getattr(self.grpc[feature], feature + "Stub")(channel)


def sila_error(call, *args, **kw):
    """Makes the call, which must fail with a SiLA error; returns the SiLAError."""
    try:
        call(*args, **kw)
    except grpc.RpcError as e:
        check(e.code() == grpc.StatusCode.ABORTED, "ABORTED, not %s: %s" % (e.code(), e.details()))
        return FW.SiLAError.FromString(base64.b64decode(e.details()))
    raise Failed("the call succeeded")


def framework_error(kind, call, *args, **kw):
    e = sila_error(call, *args, **kw)
    check(e.WhichOneof("error") == "frameworkError" and e.frameworkError.errorType == kind,
          "framework error %d, got %s" % (kind, e))


def defined_error(fqi, call, *args, **kw):
    e = sila_error(call, *args, **kw)
    check(e.WhichOneof("error") == "definedExecutionError" and e.definedExecutionError.errorIdentifier == fqi,
          "defined error %s, got %s" % (fqi, e))
    return e.definedExecutionError.message


def follow(stub, command, uuid):
    """Every ExecutionInfo of the execution to its end: statuses only move forward."""
    infos = list(getattr(stub, command + "_Info")(FW.CommandExecutionUUID(value=uuid), timeout=120))
    statuses = [i.commandStatus for i in infos]
    check(statuses == sorted(statuses) and statuses[-1] >= 2, "%s statuses %s" % (command, statuses))
    check(all(i.HasField("updatedLifetimeOfExecution") for i in infos), "lifetime in every ExecutionInfo")
    return infos[-1]


def start(stub, command, params, metadata=()):
    c = getattr(stub, command)(params, metadata=metadata)
    check(c.lifetimeOfExecution.seconds > 0, "a lifetime")
    return c.commandExecutionUUID.value


def check_features(stubs, service, feature_dir):
    """Each implemented feature's definition is its file, byte for byte, and names what its proto serves."""
    ss = stubs.pb["SiLAService"]
    fqis = [f.value for f in service.Get_ImplementedFeatures(ss.Get_ImplementedFeatures_Parameters()).ImplementedFeatures]
    check(len(fqis) == len(stubs.grpc) and "org.silastandard/core/SiLAService/v1" in fqis, "features %s" % fqis)
    for fqi in fqis:
        originator, category, ident, major = fqi.split("/")
        text = service.GetFeatureDefinition(ss.GetFeatureDefinition_Parameters(
            FeatureIdentifier=FW.String(value=fqi.upper() if ident == "WellSampler" else fqi))).FeatureDefinition.value
        check(text.encode() == open(os.path.join(feature_dir, ident + "-v1_0.sila.xml"), "rb").read(), fqi + " bytes")
        root = ET.fromstring(text.encode())
        check(root.tag == NS + "Feature" and root.findtext(NS + "Identifier") == ident and
              root.get("Originator") == originator and root.get("Category") == category and
              "v" + root.get("FeatureVersion").split(".")[0] == major, fqi + " root")
        pb = stubs.pb[ident]
        service_desc = pb.DESCRIPTOR.services_by_name[ident]
        check(pb.DESCRIPTOR.package == "sila2.%s.%s.%s.%s" % (originator, category, ident.lower(), major), "package")
        expected = set()
        for c in root.findall(NS + "Command"):
            name = c.findtext(NS + "Identifier")
            observable = c.findtext(NS + "Observable") == "Yes"
            expected |= {name, name + "_Info", name + "_Result"} if observable else {name}
            params = [p.findtext(NS + "Identifier") for p in c.findall(NS + "Parameter")]
            fields = pb.DESCRIPTOR.message_types_by_name[name + "_Parameters"].fields
            check([(f.name, f.number) for f in fields] == [(p, i + 1) for i, p in enumerate(params)],
                  "%s parameters %s" % (name, params))
            responses = [p.findtext(NS + "Identifier") for p in c.findall(NS + "Response")]
            fields = pb.DESCRIPTOR.message_types_by_name[name + "_Responses"].fields
            check([f.name for f in fields] == responses, "%s responses" % name)
        for p in root.findall(NS + "Property"):
            name = p.findtext(NS + "Identifier")
            rpc = ("Subscribe_" if p.findtext(NS + "Observable") == "Yes" else "Get_") + name
            expected.add(rpc)
            check(pb.DESCRIPTOR.message_types_by_name[rpc + "_Responses"].fields[0].name == name, rpc)
        expected |= {"Get_FCPAffectedByMetadata_" + m.findtext(NS + "Identifier") for m in root.findall(NS + "Metadata")}
        check({m.name for m in service_desc.methods} == expected, "%s serves %s" % (ident, expected))
        errors = {e.findtext(NS + "Identifier") for e in root.findall(NS + "DefinedExecutionError")}
        used = {i.text for refs in root.iter(NS + "DefinedExecutionErrors") for i in refs}
        check(used <= errors, "%s errors defined: %s" % (ident, used - errors))
    return fqis


def scenario(run, stubs):
    port, uuid = run.start_sila("sila")
    pem = open(run.path("sila-state", "certificate.pem"), "rb").read()
    decoded = ssl._ssl._test_decode_cert(run.path("sila-state", "certificate.pem"))
    check(dict(x[0] for x in decoded["subject"]).get("commonName") == "SiLA2", "CN SiLA2")
    der = ssl.PEM_cert_to_DER_cert(pem.decode())
    check(uuid.encode() in der, "the UUID extension")
    channel = grpc.secure_channel("127.0.0.1:%d" % port, grpc.ssl_channel_credentials(root_certificates=pem))
    ss, sc, ws, pp, pm, lc, cc = (stubs.pb[n] for n in ["SiLAService", "SipperController", "WellSampler",
                                                         "ProbePositioner", "PlateManager", "LockController",
                                                         "CancelController"])
    service = stubs.stub(channel, "SiLAService")
    controller, sampler = stubs.stub(channel, "SipperController"), stubs.stub(channel, "WellSampler")
    plates, lock, cancel = stubs.stub(channel, "PlateManager"), stubs.stub(channel, "LockController"), \
        stubs.stub(channel, "CancelController")

    # SiLAService: identity, name kept, definitions, and no metadata.
    check(service.Get_ServerUUID(ss.Get_ServerUUID_Parameters()).ServerUUID.value == uuid, "UUID")
    check(service.Get_ServerType(ss.Get_ServerType_Parameters()).ServerType.value == "Sipper", "type")
    check(re.fullmatch(r"\d+\.\d+(\.\d+)?", service.Get_ServerVersion(ss.Get_ServerVersion_Parameters())
                       .ServerVersion.value), "version")
    check(service.Get_ServerName(ss.Get_ServerName_Parameters()).ServerName.value == "Sipper", "default name")
    service.SetServerName(ss.SetServerName_Parameters(ServerName=FW.String(value="Sipper bay 3")))
    feature_fqis = check_features(stubs, service, os.path.join(run.source, "sila", "features"))
    defined_error("org.silastandard/core/SiLAService/v1/DefinedExecutionError/UnimplementedFeature",
                  service.GetFeatureDefinition, ss.GetFeatureDefinition_Parameters(
                      FeatureIdentifier=FW.String(value="org.example/sipper/Teleporter/v1")))
    key = [(LOCK_HEADER, lc.Metadata_LockIdentifier(LockIdentifier=FW.String(value="k1")).SerializeToString())]
    framework_error(4, service.Get_ServerName, ss.Get_ServerName_Parameters(), metadata=key)

    # Before initialising, the sipper refuses to home: the defined error carries its words.
    home = start(controller, "HomeAxes", sc.HomeAxes_Parameters())
    check(follow(controller, "HomeAxes", home).commandStatus == 3, "home refused")
    e = sila_error(controller.HomeAxes_Result, FW.CommandExecutionUUID(value=home))
    check(e.definedExecutionError.errorIdentifier.startswith("org.example/sipper/SipperController/v1/"
                                                             "DefinedExecutionError/") and
          e.definedExecutionError.message, "refusal %s" % e)
    log = open(run.log).read()
    check(e.definedExecutionError.message in log or "worker task" in e.definedExecutionError.message,
          "the sipper's words: %s" % e.definedExecutionError.message)

    for command, params in [("InitializeSipper", sc.InitializeSipper_Parameters()),
                            ("HomeAxes", sc.HomeAxes_Parameters())]:
        u = start(controller, command, params)
        check(follow(controller, command, u).commandStatus == 2, command)
        getattr(controller, command + "_Result")(FW.CommandExecutionUUID(value=u))
    homed = controller.Subscribe_Homed(sc.Subscribe_Homed_Parameters())
    check(next(homed).Homed.value, "homed")
    homed.cancel()
    active = plates.Get_ActivePlate(pm.Get_ActivePlate_Parameters()).ActivePlate

    # Parameters outside their constraints: validation errors, nothing sent.
    size = os.path.getsize(run.log)
    sip = dict(Well=FW.String(value="B7"), Depth=FW.Real(value=0), FirstWashTime=FW.Integer(value=100),
               SecondWashTime=FW.Integer(value=100), Tag=FW.Integer(value=7))
    sip_fqi = "org.example/sipper/WellSampler/v1/Command/SipWell/Parameter/"
    for field, value, parameter in [("Well", FW.String(value="%s1" % chr(ord("A") + active.Rows.value)), "Well"),
                                    ("Well", FW.String(value="B0"), "Well"), ("Depth", FW.Real(value=101), "Depth"),
                                    ("FirstWashTime", FW.Integer(value=-1), "FirstWashTime"),
                                    ("Tag", None, "Tag")]:
        bad = dict(sip, **{field: value})
        e = sila_error(sampler.SipWell, ws.SipWell_Parameters(**{k: v for k, v in bad.items() if v is not None}))
        check(e.validationError.parameter == sip_fqi + parameter, "validation of %s: %s" % (field, e))
    e = sila_error(plates.SelectPlate, pm.SelectPlate_Parameters(PlateName=FW.String(value="plate7")))
    check(e.validationError.parameter == "org.example/sipper/PlateManager/v1/Command/SelectPlate/Parameter/PlateName",
          "plate validation")
    tail = open(run.log).read()[size:]
    check("sip" not in tail.lower() and "set_active_plate" not in tail, "nothing sent: " + tail)

    # Locked: no key, a wrong key, the right one; stop is for everybody.
    lock.LockServer(lc.LockServer_Parameters(LockIdentifier=FW.String(value="k1"), Timeout=FW.Integer(value=60)))
    check(lock.Get_IsLocked(lc.Get_IsLocked_Parameters()).IsLocked.value, "locked")
    affected = [a.value for a in lock.Get_FCPAffectedByMetadata_LockIdentifier(
        lc.Get_FCPAffectedByMetadata_LockIdentifier_Parameters()).AffectedCalls]
    check("org.example/sipper/WellSampler/v1" in affected and not any("StopAllMotion" in a or "SiLAService" in a
                                                                     for a in affected), "affected %s" % affected)
    framework_error(3, sampler.SipWell, ws.SipWell_Parameters(**sip))
    wrong = [(LOCK_HEADER, lc.Metadata_LockIdentifier(LockIdentifier=FW.String(value="k2")).SerializeToString())]
    defined_error("org.silastandard/core/LockController/v1/DefinedExecutionError/InvalidLockIdentifier",
                  plates.Get_ActivePlate, pm.Get_ActivePlate_Parameters(), metadata=wrong)
    defined_error("org.silastandard/core/LockController/v1/DefinedExecutionError/ServerAlreadyLocked",
                  lock.LockServer, lc.LockServer_Parameters(LockIdentifier=FW.String(value="k2"),
                                                            Timeout=FW.Integer(value=0)))

    u = start(sampler, "SipWell", ws.SipWell_Parameters(**sip), metadata=key)
    framework_error(2, sampler.SipWell_Result, FW.CommandExecutionUUID(value=u))
    check(follow(sampler, "SipWell", u).commandStatus == 2, "sip")
    outcome = sampler.SipWell_Result(FW.CommandExecutionUUID(value=u)).Outcome.value
    check(outcome in ("SampleSeen", "SampleMissed", "DoneWithoutSensor"), "outcome " + outcome)
    check(sampler.SipWell_Result(FW.CommandExecutionUUID(value=u)).Outcome.value == outcome, "result repeatable")

    # A long wash cancelled; another stopped by a client without the key.
    wash = ws.WashProbe_Parameters(FirstWashTime=FW.Integer(value=600000), SecondWashTime=FW.Integer(value=100))
    for how in ["cancel", "stop"]:
        u = start(sampler, "WashProbe", wash, metadata=key)
        wait_until("the wash to run", lambda: next(sampler.WashProbe_Info(FW.CommandExecutionUUID(value=u)))
                   .commandStatus == 1, 10)
        if how == "cancel":
            cancel.CancelCommand(cc.CancelCommand_Parameters(CommandExecutionUUID=cc.DataType_UUID(
                UUID=FW.String(value=u))), metadata=key)
        else:
            controller.StopAllMotion(sc.StopAllMotion_Parameters())
        check(follow(sampler, "WashProbe", u).commandStatus == 3, how)
        e = sila_error(sampler.WashProbe_Result, FW.CommandExecutionUUID(value=u))
        text = e.undefinedExecutionError.message if how == "cancel" else e.definedExecutionError.message
        check(("cancel" in text.lower()) if how == "cancel" else text and text in open(run.log).read(),
              "%s: %s" % (how, e))
        wait_until("the sipper in its error state after the stop", lambda: next(controller.Subscribe_SipperStatus(
            sc.Subscribe_SipperStatus_Parameters(), metadata=key)).SipperStatus.value != "busy", 10)
        controller.ResetErrorState(sc.ResetErrorState_Parameters(), metadata=key)

    # Unknown UUIDs.
    nobody = FW.CommandExecutionUUID(value="00000000-0000-4000-8000-000000000000")
    framework_error(1, lambda: list(sampler.SipWell_Info(nobody)))
    framework_error(1, sampler.SipWell_Result, nobody)
    framework_error(1, controller.HomeAxes_Result, FW.CommandExecutionUUID(value=u))  # another command's UUID
    defined_error("org.silastandard/core.commands/CancelController/v1/DefinedExecutionError/"
                  "InvalidCommandExecutionUUID", cancel.CancelCommand, cc.CancelCommand_Parameters(
                      CommandExecutionUUID=cc.DataType_UUID(UUID=FW.String(value=nobody.value))), metadata=key)
    lock.UnlockServer(lc.UnlockServer_Parameters(LockIdentifier=FW.String(value="k1")))
    check(not lock.Get_IsLocked(lc.Get_IsLocked_Parameters()).IsLocked.value, "unlocked")
    lock.LockServer(lc.LockServer_Parameters(LockIdentifier=FW.String(value="k3"), Timeout=FW.Integer(value=1)))
    wait_until("the lock's timeout", lambda: not lock.Get_IsLocked(lc.Get_IsLocked_Parameters()).IsLocked.value, 5)

    # The sipper killed: its own defined error, and served again once it is back.
    run.procs["sipper"].kill()
    run.procs["sipper"].wait()
    defined_error("org.example/sipper/PlateManager/v1/DefinedExecutionError/SipperNotAnswering",
                  plates.Get_AvailablePlates, pm.Get_AvailablePlates_Parameters())
    run.start_sipper()
    wait_until("sipper-sila to reach the new sipper", lambda: len(plates.Get_AvailablePlates(
        pm.Get_AvailablePlates_Parameters()).AvailablePlates) > 0, 10)

    # The example client drives the new sipper through a sip; the name was kept across a restart.
    example = subprocess.run(["/usr/bin/python3", os.path.join(run.source, "examples", "sila_client.py"),
                              "--address", "127.0.0.1:%d" % port, "--cert", run.path("sila-state", "certificate.pem"),
                              "--well", "A1"], capture_output=True, text=True, timeout=120)
    check(example.returncode == 0 and re.search(r"outcome: (SampleSeen|SampleMissed|DoneWithoutSensor)",
                                                example.stdout), "example: " + example.stdout + example.stderr)
    # A second homing is estimated from the first.
    check(re.search(r"HomeAxes: running \d+% \(about \d+\.\d s left\)", example.stdout), "estimate: " + example.stdout)
    run.procs["sila"].send_signal(signal.SIGTERM)
    check(run.procs.pop("sila").wait(10) == 0, "sipper-sila stops on SIGTERM")
    port, again = run.start_sila("sila")
    channel = grpc.secure_channel("127.0.0.1:%d" % port, grpc.ssl_channel_credentials(root_certificates=pem))
    service = stubs.stub(channel, "SiLAService")
    check(again == uuid and service.Get_ServerName(ss.Get_ServerName_Parameters()).ServerName.value ==
          "Sipper bay 3", "identity kept")
    return feature_fqis


def mutual_tls(run, stubs):
    """Only clients with a certificate of the --client-ca CA are served."""
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True, cwd=run.dir)
    for ca in ["ca", "other"]:
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                "-subj", "/CN=%s" % ca, "-keyout", ca + ".key", "-out", ca + ".pem")
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=client",
                "-keyout", ca + "-client.key", "-out", ca + "-client.csr")
        openssl("x509", "-req", "-in", ca + "-client.csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-days", "2", "-out", ca + "-client.pem")
    port, _ = run.start_sila("mtls", "--client-ca", run.path("ca.pem"))
    server_pem = open(run.path("mtls-state", "certificate.pem"), "rb").read()
    ss = stubs.pb["SiLAService"]
    for client, served in [(None, False), ("other", False), ("ca", True)]:
        pair = {} if client is None else dict(
            private_key=open(run.path(client + "-client.key"), "rb").read(),
            certificate_chain=open(run.path(client + "-client.pem"), "rb").read())
        channel = grpc.secure_channel("127.0.0.1:%d" % port,
                                      grpc.ssl_channel_credentials(root_certificates=server_pem, **pair))
        try:
            stubs.stub(channel, "SiLAService").Get_ServerType(ss.Get_ServerType_Parameters(), timeout=5)
            check(served, "client %s served" % client)
        except grpc.RpcError as e:
            check(not served and e.code() == grpc.StatusCode.UNAVAILABLE, "client %s: %s" % (client, e))
    refused = subprocess.run([os.path.join(run.bin, "sipper-sila"), "--listen", "0.0.0.0:0", "--state-dir",
                              run.path("open-state")], capture_output=True, text=True, timeout=10)
    check(refused.returncode == 64 and len(refused.stderr.strip().splitlines()) == 1 and
          "--client-ca" in refused.stderr, "open address refused: " + refused.stderr)


def main():
    global FW
    a = argparse.ArgumentParser()
    a.add_argument("--build", required=True)
    a.add_argument("--source", required=True)
    args = a.parse_args()
    args.build, args.source = os.path.abspath(args.build), os.path.abspath(args.source)
    lock_fd = take_lock()
    run = Run(args.build, args.source)
    ok = False
    try:
        stubs = Stubs(os.path.join(args.source, "sila", "protos"), run.path("stubs"))
        FW = stubs.fw
        run.ctl("clean", *FIXED_NAMES)
        run.ctl("clean", "--board", "1", "2")
        run.spawn("installation", [os.path.join(run.bin, "installation-sim"), run.path("installation.cfg")])
        wait_until("the installation", lambda: run.ctl("--interface", "SampleInterface", "get_state").returncode == 0,
                   15)
        run.start_sipper()
        scenario(run, stubs)
        mutual_tls(run, stubs)
        ok = True
    except Failed as e:
        print("FAILED: %s" % e, file=sys.stderr)
    finally:
        bad = run.stop()
        if bad:
            print("FAILED: did not end cleanly on SIGTERM: %s (see their .out)" % ", ".join(bad), file=sys.stderr)
            ok = False
        os.close(lock_fd)
        if ok:
            shutil.rmtree(run.dir, ignore_errors=True)
        else:
            print("run directory kept: " + run.dir, file=sys.stderr)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    os.makedirs(tempfile.gettempdir(), exist_ok=True)
    main()
