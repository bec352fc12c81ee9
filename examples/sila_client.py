#!/usr/bin/python3
"""A short SiLA 2 client of sipper-sila: trusts the server's certificate,
reads who it is, brings the sipper into service, homes it and sips one well.

  /usr/bin/python3 examples/sila_client.py --cert sila/certificate.pem --well B7

Needs Debian's python3-grpcio and python3-grpc-tools: the stubs are made
from the server's .proto files (sila/protos) into a temporary directory."""
import argparse
import atexit
import base64
import os
import shutil
import sys
import tempfile

from grpc_tools import protoc
import grpc


def load_stubs(proto_dir):
    out = tempfile.mkdtemp(prefix="sila_stubs_")
    atexit.register(shutil.rmtree, out, True)
    protos = [f for f in os.listdir(proto_dir) if f.endswith(".proto")]
    if protoc.main(["protoc", "-I" + proto_dir, "--python_out=" + out, "--grpc_python_out=" + out] + protos) != 0:
        sys.exit("cannot compile the protos in " + proto_dir)
    sys.path.insert(0, out)


def sila_error(e):
    """The SiLAError a failed call carries (status ABORTED, Base64 text)."""
    import SiLAFramework_pb2 as fw
    return fw.SiLAError.FromString(base64.b64decode(e.details()))


def run_observable(stub, command, parameters):
    """Starts an observable command, follows it to its end, returns its responses."""
    import SiLAFramework_pb2 as fw
    confirmation = getattr(stub, command)(parameters)
    uuid = fw.CommandExecutionUUID(value=confirmation.commandExecutionUUID.value)
    for info in getattr(stub, command + "_Info")(uuid):
        left = info.estimatedRemainingTime
        print("  %s: %s %.0f%%%s" % (command, fw.ExecutionInfo.CommandStatus.Name(info.commandStatus),
                                    100 * info.progressInfo.value,
                                    " (about %.1f s left)" % (left.seconds + left.nanos / 1e9)
                                    if info.HasField("estimatedRemainingTime") else ""))
    return getattr(stub, command + "_Result")(uuid)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    a = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    a.add_argument("--address", default="127.0.0.1:50052")
    a.add_argument("--cert", default="sila/certificate.pem", help="the server's certificate, to trust it")
    a.add_argument("--protos", default=os.path.join(here, "..", "sila", "protos"))
    a.add_argument("--well", default="B7")
    args = a.parse_args()
    load_stubs(args.protos)
    import SiLAFramework_pb2 as fw
    import SiLAService_pb2 as ss, SiLAService_pb2_grpc as ss_grpc
    import SipperController_pb2 as sc, SipperController_pb2_grpc as sc_grpc
    import WellSampler_pb2 as ws, WellSampler_pb2_grpc as ws_grpc

    with open(args.cert, "rb") as f:
        channel = grpc.secure_channel(args.address, grpc.ssl_channel_credentials(root_certificates=f.read()))
    service = ss_grpc.SiLAServiceStub(channel)
    print("server:", service.Get_ServerName(ss.Get_ServerName_Parameters()).ServerName.value,
          service.Get_ServerUUID(ss.Get_ServerUUID_Parameters()).ServerUUID.value)
    for feature in service.Get_ImplementedFeatures(ss.Get_ImplementedFeatures_Parameters()).ImplementedFeatures:
        print("feature:", feature.value)
    try:
        controller = sc_grpc.SipperControllerStub(channel)
        run_observable(controller, "InitializeSipper", sc.InitializeSipper_Parameters())
        run_observable(controller, "HomeAxes", sc.HomeAxes_Parameters())
        sip = ws.SipWell_Parameters(Well=fw.String(value=args.well), Depth=fw.Real(value=0.0),
                                    FirstWashTime=fw.Integer(value=500), SecondWashTime=fw.Integer(value=500),
                                    Tag=fw.Integer(value=1))
        result = run_observable(ws_grpc.WellSamplerStub(channel), "SipWell", sip)
        print("outcome:", result.Outcome.value)
    except grpc.RpcError as e:
        if e.code() != grpc.StatusCode.ABORTED:
            raise
        sys.exit("refused: %s" % sila_error(e))


if __name__ == "__main__":
    main()
