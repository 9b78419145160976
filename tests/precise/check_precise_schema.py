#!/usr/bin/python3
"""The accurate mode's JSON document against its schema.

  check_precise_schema.py JSON_SAMPLES SCHEMA

Runs JSON_SAMPLES (it writes the documents of the hand-built runs into a directory),
validates each document against SCHEMA (draft 2020-12), checks that the schema
describes every field and requires every field the document always writes, and that
documents broken in one place each fail validation. Exit status 0 when all holds, 1
with the reasons when not, 77 when python3-jsonschema is missing.
"""
import copy
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("SKIP: /usr/bin/python3 has no jsonschema module (Debian package python3-jsonschema)")
    sys.exit(77)


def undescribed_or_optional(schema, where="$"):
    """Fields without a description, and object fields missing from "required"."""
    problems = []
    if isinstance(schema, dict):
        properties = schema.get("properties")
        if properties is not None and schema.get("additionalProperties") is False:
            for name, field in properties.items():
                if "description" not in field:
                    problems.append(f"{where}.{name}: no description")
                if name not in schema.get("required", []):
                    problems.append(f"{where}.{name}: not required, but always written")
        for key, value in schema.items():
            if key not in ("if", "then", "else"):
                problems += undescribed_or_optional(value, f"{where}.{key}")
    elif isinstance(schema, list):
        for i, value in enumerate(schema):
            problems += undescribed_or_optional(value, f"{where}[{i}]")
    return problems


def set_field(path, value):
    def mutate(doc):
        target = doc
        for step in path[:-1]:
            target = target[step]
        target[path[-1]] = value
    return mutate


def delete_field(path):
    def mutate(doc):
        target = doc
        for step in path[:-1]:
            target = target[step]
        del target[path[-1]]
    return mutate


# Each of these breaks the six-hop document in one place: hop 1 is measured and named, hop 2
# silent, hop 4 a lower bound, hop 6 has other responders.
MUTATIONS = {
    "no probes_sent": delete_field(["probes_sent"]),
    "no hop address field": delete_field(["hops", 0, "address"]),
    "unknown top-level field": set_field(["version"], 1),
    "unknown hop field": set_field(["hops", 0, "capacity_mbps"], 100.0),
    "wall_s null": set_field(["wall_s"], None),
    "probes_sent as text": set_field(["probes_sent"], "2712"),
    "hop as a number with a fraction": set_field(["hops", 0, "hop"], 1.5),
    "capacity as text": set_field(["hops", 0, "capacity_bps"], "100 Mb/s"),
    "capacity zero": set_field(["hops", 0, "capacity_bps"], 0),
    "interval of one number": set_field(["hops", 0, "ci90_bps"], [99.5e6]),
    "interval of three numbers": set_field(["hops", 0, "ci90_bps"], [1.0, 2.0, 3.0]),
    "interval with a null end": set_field(["hops", 0, "ci90_bps"], [99.5e6, None]),
    "measured capacity without an interval": set_field(["hops", 0, "ci90_bps"], None),
    "lower bound with an interval": set_field(["hops", 3, "ci90_bps"], [1.0, 2.0]),
    "lower bound of nothing": set_field(["hops", 1, "lower_bound"], True),
    "interval without a capacity": set_field(["hops", 1, "ci90_bps"], [1.0, 2.0]),
    "silent hop with an address": set_field(["hops", 1, "address"], "10.0.2.1"),
    "measured hop without an address": set_field(["hops", 0, "address"], None),
    "address out of range": set_field(["hops", 0, "address"], "10.0.1.256"),
    "no hop name field": delete_field(["hops", 0, "name"]),
    "empty name": set_field(["hops", 0, "name"], ""),
    "name as a list": set_field(["hops", 0, "name"], ["r1.example"]),
    "silent hop with a name": set_field(["hops", 1, "name"], "r2.example"),
    "destination address as a name": set_field(["address"], "example.net"),
    "unknown method": set_field(["hops", 0, "method"], "udp"),
    "loss above one": set_field(["hops", 0, "loss"], 1.5),
    "negative replies": set_field(["hops", 0, "replies"], -1),
    "merged_from zero": set_field(["hops", 2, "merged_from"], 0),
    "flag as a number": set_field(["hops", 0, "hidden_device"], 0),
    "other responder without replies": delete_field(["hops", 5, "other_addresses", 0, "replies"]),
    "note that is no text": set_field(["hops", 1, "notes", 0], 7),
}


def main():
    samples, schema_file = sys.argv[1], sys.argv[2]
    with open(schema_file) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    problems = undescribed_or_optional(schema)

    with tempfile.TemporaryDirectory() as work:
        subprocess.run([samples, work], check=True, timeout=30)
        documents = {}
        for name in sorted(os.listdir(work)):
            with open(os.path.join(work, name)) as f:
                documents[name] = json.load(f)
    if len(documents) < 3:
        problems.append(f"{len(documents)} sample documents, expected 3")
    for name, document in documents.items():
        problems += [f"{name}: {'/'.join(map(str, e.absolute_path))}: {e.message}"
                     for e in validator.iter_errors(document)]

    six_hops = documents.get("six_hops.json")
    if six_hops is not None:
        for what, mutate in MUTATIONS.items():
            broken = copy.deepcopy(six_hops)
            mutate(broken)
            if validator.is_valid(broken):
                problems.append(f"a document with {what} passed the schema")

    for problem in problems:
        print("FAIL:", problem)
    if problems:
        return 1
    print(f"PASS: {len(documents)} documents valid, {len(MUTATIONS)} broken ones refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
