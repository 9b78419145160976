#!/usr/bin/python3
"""Checks hoprate-report's output.

  check_report.py schema SCHEMA JSON...   every JSON file is valid against the schema
  check_report.py svg SVG                 the SVG is well-formed XML with labelled axes
  check_report.py capacity-svg SVG N      the SVG of accurate documents: well-formed, one group
                                          per destination, every capacity where a logarithmic
                                          axis puts it, every lower bound with its arrow
  check_report.py agree RUN_STDOUT JSON   the report's rates agree with the printed ones

Exit status 0 when the check holds, 1 with the reasons when not.
"""
import json
import math
import re
import sys
import xml.etree.ElementTree as ElementTree

import jsonschema


def check_schema(schema_file, json_files):
    with open(schema_file) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    problems = []
    for name in json_files:
        with open(name) as f:
            document = json.load(f)
        errors = [f"{name}: {'/'.join(map(str, e.absolute_path))}: {e.message}"
                  for e in validator.iter_errors(document)]
        problems += errors
        if errors:
            continue
        if "destinations" in document:
            for d in document["destinations"]:
                if [h["hop"] for h in d["hops"]] != sorted({h["hop"] for h in d["hops"]}):
                    problems.append(f"{name}: line {d['line']}: hops not in increasing order")
            continue
        # What the schema cannot say: one row field per size, one hop per TTL, 2n sweeps.
        sizes = len(document["sizes"])
        n = document["hop_count"]
        if [h["hop"] for h in document["hops"]] != list(range(n, 0, -1)):
            problems.append(f"{name}: hops are not n..1")
        if len(document["sweeps"]) != 2 * n:
            problems.append(f"{name}: {len(document['sweeps'])} sweeps, expected {2 * n}")
        for sweep in document["sweeps"]:
            if len(sweep["min_rtt_ms"]) != sizes or len(sweep["avg_rtt_ms"]) != sizes:
                problems.append(f"{name}: sweep {sweep['index']} rows do not match the {sizes} sizes")
    return problems


def check_svg(svg_file):
    root = ElementTree.parse(svg_file).getroot()
    texts = [t.text for t in root.iter("{http://www.w3.org/2000/svg}text")]
    problems = []
    for label in ("probe size (bytes)", "minimum round-trip time (ms)"):
        if label not in texts:
            problems.append(f"{svg_file}: no axis label '{label}'")
    return problems


def check_capacity_svg(svg_file, destinations):
    """Ticks one per shown decade at equal steps; each capacity's marker at the height the
    ticks give log10 of it (within the file's 0.01 px rounding)."""
    ns = "{http://www.w3.org/2000/svg}"
    root = ElementTree.parse(svg_file).getroot()
    groups = [g for g in root.iter(ns + "g") if g.get("class") == "destination"]
    problems = []
    if len(groups) != destinations:
        problems.append(f"{svg_file}: {len(groups)} destination groups, expected {destinations}")
    for group in groups:
        ticks = sorted((int(g.get("data-decade")), float(g.find(ns + "line").get("y1")))
                       for g in group.iter(ns + "g") if g.get("class") == "tick")
        if len(ticks) < 2:
            problems.append(f"{svg_file}: fewer than two ticks")
            continue
        (d0, y0), (d1, y1) = ticks[0], ticks[1]
        per_decade = (y1 - y0) / (d1 - d0)
        if per_decade >= 0:
            problems.append(f"{svg_file}: the axis does not go up")
        for d, y in ticks:
            if abs(y0 + (d - d0) * per_decade - y) > 0.02:
                problems.append(f"{svg_file}: tick {d} at {y}: not a logarithmic axis")
        for link in group.iter(ns + "g"):
            if link.get("class") != "link" or link.get("data-capacity") is None:
                continue
            bound = link.get("data-lower-bound") == "true"
            marker = [c for c in link.iter(ns + "circle")
                      if c.get("class") == ("lower-bound" if bound else "capacity")]
            expected = y0 + (math.log10(float(link.get("data-capacity"))) - d0) * per_decade
            if len(marker) != 1 or abs(float(marker[0].get("cy")) - expected) > 0.02:
                problems.append(f"{svg_file}: hop {link.get('data-hop')}: marker not at {expected:.2f}")
            arrows = [p for p in link.iter(ns + "path") if p.get("class") == "arrow"]
            if len(arrows) != (1 if bound else 0):
                problems.append(f"{svg_file}: hop {link.get('data-hop')}: {len(arrows)} arrows")
    return problems


SCALE = {"M": 1e6, "K": 1e3, "": 1.0, "m": 1e-3, "u": 1e-6}
NUMBER = r"(-?(?:[0-9]+\.[0-9]+|nan|inf))"
LINE = re.compile(rf"^v_n = {NUMBER} \+/- {NUMBER} ([MKmu]?)b/s, v_n' = {NUMBER} \+/- {NUMBER} ([MKmu]?)b/s$")


def printed_value(text, prefix):
    return float(text) * SCALE[prefix]


def agrees(name, printed, reported, unit, rounding):
    """printed: the run's figure (4 decimals in its range), reported: full precision or None.

    Allowed: half a unit of the last printed digit, plus what the file's seven significant
    digits can move the recomputed figure (rounding, a relative bound)."""
    if not math.isfinite(printed) or reported is None:
        if math.isfinite(printed) or reported is not None:
            return [f"{name}: printed {printed}, report {reported}"]
        return []
    allowed = 0.5e-4 * unit * 1.0001 + 2 * abs(reported) * rounding
    if abs(printed - reported) > allowed:
        return [f"{name}: printed {printed!r}, report {reported!r}, allowed difference {allowed:.3g}"]
    return []


def check_agreement(stdout_file, json_file):
    with open(stdout_file) as f:
        lines = [LINE.match(line.rstrip("\n")) for line in f if line.startswith("v_n = ")]
    with open(json_file) as f:
        report = json.load(f)
    problems = []
    if any(m is None for m in lines):
        return [f"{stdout_file}: a per-hop line of unexpected form"]
    if len(lines) != report["hop_count"] or len(report["hops"]) != len(lines):
        return [f"{len(lines)} printed hop lines, report has {len(report['hops'])} hops"]
    sweeps = report["sweeps"]
    slopes = [abs(s["slope_s_per_byte"] or 0.0) for s in sweeps]
    n = report["hop_count"]
    k2, k2p = slopes[0], slopes[1]
    for i, (match, hop) in enumerate(zip(lines, report["hops"])):
        h = n - i
        k1p, k1 = (slopes[2 + 2 * i], slopes[3 + 2 * i]) if h > 1 else (0.0, 0.0)
        v, vp = hop["v_n"], hop["v_n_prime"]
        # Relative error bound of a slope difference rebuilt from seven-digit slopes:
        # each slope is off by at most 5e-7 of itself, the difference d = 8 / v.
        def bound(rate, slope_sum):
            return 0.0 if rate is None else 5e-7 * slope_sum * abs(rate) / 8 + 1e-6
        e_n = bound(v["rate_bps"], k2p + k1p)
        e_np = bound(vp["rate_bps"], k2 + k1 + k2p + k1p)
        unit_n, unit_np = SCALE[match.group(3)], SCALE[match.group(6)]
        problems += agrees(f"hop {h} v_n", printed_value(match.group(1), match.group(3)), v["rate_bps"], unit_n, e_n)
        problems += agrees(f"hop {h} v_n uncertainty", printed_value(match.group(2), match.group(3)),
                           v["uncertainty_bps"], unit_n, 3 * e_n)
        problems += agrees(f"hop {h} v_n'", printed_value(match.group(4), match.group(6)), vp["rate_bps"], unit_np, e_np)
        problems += agrees(f"hop {h} v_n' uncertainty", printed_value(match.group(5), match.group(6)),
                           vp["uncertainty_bps"], unit_np, 3 * e_np)
        print(f"hop {h}: printed {match.group(0)}")
        print(f"hop {h}: report  v_n = {v['text']}, v_n' = {vp['text']}")
        k2, k2p = k1, k1p
    return problems


def main():
    mode = sys.argv[1]
    if mode == "schema":
        problems = check_schema(sys.argv[2], sys.argv[3:])
    elif mode == "svg":
        problems = check_svg(sys.argv[2])
    elif mode == "capacity-svg":
        problems = check_capacity_svg(sys.argv[2], int(sys.argv[3]))
    elif mode == "agree":
        problems = check_agreement(sys.argv[2], sys.argv[3])
    else:
        problems = [f"unknown mode {mode}"]
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
