#!/usr/bin/python3
"""Validates recorded sipper-web answers against web/openapi.json with jsonschema.

usage: check_answers.py openapi.json answers.jsonl
Each line of answers.jsonl: {"method": "get", "target": "/api/v1/status", "status": 200, "body": ...}.
An answer whose status the document does not list, or whose body breaks its
schema, is printed; the exit status is 1 when there is any.
"""
import json
import re
import sys

import jsonschema


def as_json_schema(node):
    """OpenAPI 3.0 schema objects to JSON Schema: `nullable` becomes a null type."""
    if isinstance(node, list):
        return [as_json_schema(n) for n in node]
    if not isinstance(node, dict):
        return node
    out = {k: as_json_schema(v) for k, v in node.items() if k not in ("nullable", "example")}
    if node.get("nullable"):
        if "type" in out:
            out["type"] = [out["type"], "null"]
            if "enum" in out:
                out["enum"] = out["enum"] + [None]
        else:
            out = {"anyOf": [out, {"type": "null"}]}
    return out


def main():
    document = as_json_schema(json.load(open(sys.argv[1])))
    resolver = jsonschema.RefResolver.from_schema(document)
    routes = [(re.compile("^" + re.sub(r"\{[^}]+\}", "[^/]+", p) + "$"), item) for p, item in document["paths"].items()]
    faults, checked = [], 0
    for line in open(sys.argv[2]):
        a = json.loads(line)
        path = a["target"].split("?")[0]
        item = next((i for r, i in routes if r.match(path)), None)
        what = "%s %s -> %s" % (a["method"].upper(), a["target"][:80], a["status"])
        operation = (item or {}).get(a["method"])
        if operation is None and item is not None and a["status"] == 405:
            # A method a documented path does not take: the error body of every path.
            operation = {"responses": {"405": {"content": {"application/json": {
                "schema": {"$ref": "#/components/schemas/Error"}}}}}}
        if operation is None:
            faults.append(what + ": not in the document")
            continue
        response = operation["responses"].get(str(a["status"]), operation["responses"].get("default"))
        if response is None:
            faults.append(what + ": status not documented")
            continue
        if "$ref" in response:
            response = resolver.resolve(response["$ref"])[1]
        schema = response.get("content", {}).get("application/json", {}).get("schema")
        if schema is None:
            continue
        try:
            jsonschema.Draft7Validator(schema, resolver=resolver).validate(a["body"])
            checked += 1
        except jsonschema.ValidationError as e:
            faults.append("%s: %s at %s" % (what, e.message[:300], "/".join(map(str, e.absolute_path))))
    for f in faults:
        print(f)
    print("%d answers checked against the document, %d faults" % (checked, len(faults)))
    return 1 if faults or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
