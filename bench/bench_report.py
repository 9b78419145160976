#!/usr/bin/env python3
"""Writes bench/RESULTS.md and its SVG plot from the raw outputs of bench/run-bench.sh.

  bench_report.py WORK_DIR OUTPUT.md OUTPUT.svg

WORK_DIR holds meta.env (KEY=VALUE lines about the run), scenarios.tsv (name, links,
lab options, description), runs.tsv (scenario, tool, settings, note, status, wall
seconds, probes sent, output directory) and, per run, the tool's output: rates.txt
for the classic mode (lab/hoprate-rates.awk), out.txt for pchar, out.json for the
accurate mode.

A link's rate is toward the destination; back= gives its rate toward the source. Every
tool is scored against the rate toward the destination; the accurate mode's return
estimates (return_capacity_bps, missing in older documents) against the rate back.
"""
import json
import math
import os
import re
import statistics
import sys

TOOLS = ["classic", "classic600", "pchar64", "pchar128", "precise", "precise-quick", "precise-one"]
TOOL_NAMES = {
    "classic": "hoprate, defaults",
    "classic600": "hoprate, sizes ≥ 600",
    "pchar64": "pchar -I 64 -R 16",
    "pchar128": "pchar -I 128 -R 8",
    "precise": "hoprate --precise",
    "precise-quick": "hoprate --precise --quick",
    "precise-one": "hoprate --precise --directions off",
}
COLOURS = {
    "classic": "#9e9e9e",
    "classic600": "#424242",
    "pchar64": "#1f77b4",
    "pchar128": "#74add1",
    "precise": "#d62728",
    "precise-quick": "#fc8d59",
    "precise-one": "#8c564b",
}


# ---- the path's truth ---------------------------------------------------------------

def parse_rate(text):
    """'10M' -> 10e6, '800K' -> 800e3, '64000' -> 64000."""
    m = re.fullmatch(r"([0-9]+(?:\.[0-9]+)?)([KkMG]?)", text)
    if not m:
        raise ValueError("bad rate %r" % text)
    return float(m.group(1)) * {"": 1, "K": 1e3, "k": 1e3, "M": 1e6, "G": 1e9}[m.group(2)]


def parse_links(links):
    """The lab's --links text -> one dict per link: rate (bit/s, toward the destination),
    back (bit/s, toward the source: back= or else the rate), attrs (name -> value)."""
    result = []
    for text in links.split(","):
        head, *attrs = text.split(":")
        values = {}
        for attr in attrs:
            name, _, value = attr.partition("=")
            values[name] = value
        rate = parse_rate(head.split("/")[0])
        back = parse_rate(values["back"]) if "back" in values else rate
        result.append({"text": text, "rate": rate, "back": back, "attrs": values})
    return result


def fmt_rate(bps):
    if bps is None or not math.isfinite(bps):
        return "–"
    for unit, scale in (("G", 1e9), ("M", 1e6), ("K", 1e3)):
        if bps >= scale:
            return "%.4g%s" % (bps / scale, unit)
    return "%.4g" % bps


# ---- reading each tool's output -------------------------------------------------------

def read_classic(path, hops):
    """rates.txt ("hop v_n dv_n v_n' dv_n'") -> {hop: [v_n, v_n']} with None for non-finite."""
    result = {}
    if not os.path.exists(path):
        return result
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 5:
                continue
            hop = int(parts[0])
            values = []
            for text in (parts[1], parts[3]):
                value = float(text)
                values.append(value if math.isfinite(value) and value > 0 else None)
            if 1 <= hop <= hops:
                result[hop] = values
    return result


def read_pchar(path):
    """pchar's report -> {link: bit/s or None}. The "Hop char" line printed under "N:"
    describes the link from hop N to hop N+1, so it belongs to link N+1; a bandwidth of 0
    means no answers."""
    result = {}
    if not os.path.exists(path):
        return result
    index = None
    with open(path, errors="replace") as f:
        for line in f:
            m = re.match(r"\s*(\d+): ", line)
            if m:
                index = int(m.group(1))
                continue
            m = re.match(r"\s*Hop char:\s+rtt = (\S+) ms, bw = (\S+) Kbps", line)
            if m and index is not None:
                bw = float(m.group(2)) * 1e3
                result[index + 1] = bw if math.isfinite(bw) and bw > 0 else None
    return result


def read_precise(path):
    """The accurate mode's --json document, or None when missing or malformed."""
    try:
        with open(path) as f:
            doc = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(doc, dict) or not isinstance(doc.get("hops"), list):
        return None
    return doc


# ---- scoring ---------------------------------------------------------------------------

def number(value):
    """A positive finite number from untrusted JSON, else None."""
    ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value) and value > 0
    return value if ok else None


def interval(value):
    """[low, high] from untrusted JSON, else None."""
    if isinstance(value, list) and len(value) == 2 and all(
            isinstance(x, (int, float)) and not isinstance(x, bool) for x in value):
        return value
    return None


# The accurate mode's fields about the direction toward the source; a document without
# any of them comes from a build that measures both directions as one.
DIRECTION_FIELDS = ("return_capacity_bps", "return_ci90_bps", "asymmetric", "directions")


def score_return(hop, cell, truth):
    """The return direction of an accurate-mode hop against the rate toward the source:
    sets the cell's return_estimate, return_error, return_covers (when it has an
    interval) and asymmetric (True, False, or None where the document does not say)."""
    value = number(hop.get("return_capacity_bps")) if hop else None
    cell["return_truth"] = truth
    cell["return_estimate"] = value
    cell["return_error"] = None if value is None else value / truth - 1.0
    ci = interval(hop.get("return_ci90_bps")) if hop else None
    if ci is not None:
        cell["return_covers"] = ci[0] <= truth <= ci[1]
    flag = hop.get("asymmetric") if hop else None
    cell["asymmetric"] = flag if isinstance(flag, bool) else None

def score_run(tool, links, raw):
    """Compares a run's estimates with the configured rates. raw is what the reader of the
    tool returned. Returns {"cells": [per link], "worst": float|None, "scored": int, ...}.

    A link whose far-end router is silent cannot be measured alone: when the tool has no
    estimate for it, the next link's estimate is compared with the series capacity of both
    (1 / (1/C1 + 1/C2)), which is what a per-hop tool sees across a silent hop."""
    cells = []
    pending = []  # rates of silent links without an estimate, to merge into the next
    pending_back = []  # the same links' rates toward the source
    hop_probes = []
    covered = 0
    intervals = 0
    directions = False
    for j, link in enumerate(links, start=1):
        truth = link["rate"]
        back = link.get("back", truth)
        if pending:
            truth = 1.0 / (sum(1.0 / r for r in pending) + 1.0 / link["rate"])
            back = 1.0 / (sum(1.0 / r for r in pending_back) + 1.0 / back)
        cell = {"link": j, "truth": truth, "merged": bool(pending), "estimates": [], "errors": [],
                "text": "", "ci": None, "lower_bound": False}
        if tool.startswith("classic"):
            values = raw.get(j, [None, None])
            cell["estimates"] = values
        elif tool.startswith("pchar"):
            cell["estimates"] = [raw.get(j)]
        else:
            hop = next((h for h in raw.get("hops", []) if isinstance(h, dict) and h.get("hop") == j),
                       None) if raw else None
            value = None
            score_return(hop, cell, back)
            directions = directions or (hop is not None and any(k in hop for k in DIRECTION_FIELDS))
            if hop is not None:
                value = hop.get("capacity_bps")
                cell["lower_bound"] = bool(hop.get("lower_bound"))
                cell["ci"] = hop.get("ci90_bps")
                if isinstance(hop.get("probes"), int):
                    hop_probes.append(hop["probes"])
            cell["estimates"] = [value if isinstance(value, (int, float)) and value > 0 else None]
        silent = "silent" in link["attrs"] and j < len(links)
        if silent and all(v is None for v in cell["estimates"]):
            cell["unscored"] = "silent"
            pending.append(link["rate"])
            pending_back.append(link.get("back", link["rate"]))
            cells.append(cell)
            continue
        pending = []
        pending_back = []
        for value in cell["estimates"]:
            if value is None:
                cell["errors"].append(None)
                continue
            error = value / truth - 1.0
            if cell["lower_bound"] and value <= truth:
                error = 0.0  # a lower bound below the truth is right, not off
            cell["errors"].append(error)
        if cell["ci"] and isinstance(cell["ci"], list) and len(cell["ci"]) == 2 \
                and all(isinstance(x, (int, float)) for x in cell["ci"]):
            intervals += 1
            cell["covers"] = cell["ci"][0] <= truth <= cell["ci"][1]
            covered += int(cell["covers"])
        cells.append(cell)
    errors = [abs(e) for c in cells for e in c["errors"] if e is not None]
    missing = sum(1 for c in cells for e in c["errors"] if e is None)
    scored = [c for c in cells if "return_truth" in c and not c.get("unscored")]
    return_errors = [abs(c["return_error"]) for c in scored if c["return_error"] is not None]
    return {
        "cells": cells,
        "worst": max(errors) if errors else None,
        "missing": missing,
        "hop_probes_median": statistics.median(hop_probes) if hop_probes else None,
        "covered": covered,
        "intervals": intervals,
        # The return direction (accurate mode only; directions: the document has its fields).
        "directions": directions,
        "return_worst": max(return_errors) if return_errors else None,
        "return_covered": sum(1 for c in scored if c.get("return_covers")),
        "return_intervals": sum(1 for c in scored if "return_covers" in c),
        "asymmetric": sum(1 for c in scored if c.get("asymmetric") is True),
    }


def fmt_error(e):
    if e is None:
        return "no estimate"
    return "%+.2f %%" % (100 * e) if abs(e) < 10 else "%+.0f %%" % (100 * e)


def cell_text(tool, cell):
    if cell.get("unscored"):
        return "silent: no answer"
    prefix = "≈ " if cell["merged"] else ""
    if tool.startswith("classic"):
        return prefix + " / ".join(fmt_error(e) for e in cell["errors"])
    text = prefix + fmt_error(cell["errors"][0])
    if cell["lower_bound"]:
        text = "≥ %s (%s)" % (fmt_rate(cell["estimates"][0]), text)
    if "covers" in cell:
        text += " ci ✓" if cell["covers"] else " ci ✗"
    return text


def return_cell_text(cell):
    """A link's return direction in an accurate-mode run: its error, "—" without an estimate."""
    if cell.get("unscored"):
        return "silent: no answer"
    if cell.get("return_estimate") is None:
        return "—"
    text = ("≈ " if cell["merged"] else "") + fmt_error(cell["return_error"])
    if "return_covers" in cell:
        text += " ci ✓" if cell["return_covers"] else " ci ✗"
    return text


def link_list(numbers):
    """[2] -> "link 2", [1, 3] -> "links 1, 3", [] -> "none"."""
    if not numbers:
        return "none"
    return ("link " if len(numbers) == 1 else "links ") + ", ".join(str(n) for n in numbers)


def flagged_text(score):
    """The links an accurate-mode run flagged asymmetric; "—" for a document without the field."""
    if not score["directions"]:
        return "—"
    return link_list([c["link"] for c in score["cells"] if c.get("asymmetric") is True])


def configured_asymmetric(links):
    return [j for j, link in enumerate(links, 1) if link.get("back", link["rate"]) != link["rate"]]


def shows_directions(links, runs):
    """A scenario gets the return tables when a link's rates differ or a run has the fields."""
    return bool(configured_asymmetric(links)) or any(
        r.get("ok") and r["score"]["directions"] for r in runs)


def fmt_coverage(covered, intervals):
    return "—" if not intervals else "%d of %d (%.0f %%)" % (covered, intervals, 100.0 * covered / intervals)


# ---- goals of the accurate mode --------------------------------------------------------

# The accurate mode's goals, in the order the report lists them, with the scenarios that
# judge them.
G_WORST = "default: worst \\|error\\| ≤ max(0.1 %, pchar -I 64 -R 16) on links ≤ 20 Mbit/s"
G_FAST = "default: ≤ 1 % on 100 Mbit/s links"
G_WALL = "default: wall ≤ ½ pchar -I 64 -R 16"
G_PROBES = "default: ≤ 370 probes per hop (median)"
G_QUICK = "quick: better than pchar -I 128 -R 8 in worst error and wall time"
G_TENHOP = "10 hops: wall ≤ 4 × 3-hop wall, every link within 1 %"
G_RATELIMIT = "rate-limited 3-hop path: ≤ 3 min, within 0.5 %"
G_CROSS = "cross traffic: as accurate as pchar -I 64 -R 16 in no more time"
G_COVERAGE = "90 % interval covers the configured rate for ≥ 85 % of links"
G_IPV6 = "IPv6: worst \\|error\\| ≤ max(0.2 %, pchar's best IPv6 setting) in ≤ ½ its wall"
G_NOECHO = "destination ignoring echo: every link within 0.5 %, status 0"
G_FILTERED = "no node answers echo: within 0.5 %"
G_FILTERED_LIMITED = "no node answers echo, default rate limits: within 1 % in ≤ 3 min"
G_PROTO = "--proto udp / tcp: within 0.5 %"
GOALS = [(G_WORST, "every"), (G_FAST, "fast"), (G_WALL, "every"), (G_PROBES, "every"), (G_QUICK, "every"),
         (G_TENHOP, "tenhop, basic"), (G_RATELIMIT, "ratelimit"), (G_CROSS, "cross"),
         (G_IPV6, "ipv6, ipv6icmp"), (G_NOECHO, "noecho-dst, noecho-dst6"), (G_FILTERED, "filtered"),
         (G_FILTERED_LIMITED, "filtered-limited"), (G_PROTO, "udp, tcp"), (G_COVERAGE, "all")]
# Scenarios whose goals are their own, not the general accuracy and time goals.
OWN_GOALS = {"ratelimit", "filtered-limited", "asym-limited"}


def evaluate_goals(results, scenarios):
    """results: {(scenario, tool): run}. Returns rows (goal, scenario, measured, verdict),
    goal by goal; a goal without the runs to judge it gets one row saying "no data".
    Comparisons with pchar are made only where pchar ran with its usual settings."""
    rows = []

    def run(s, t):
        r = results.get((s, t))
        return r if r and r.get("ok") else None

    standard = [s for s in scenarios
                if all(run(s, t) is None or not run(s, t)["note"] for t in ("pchar64", "pchar128"))]

    def verdict(ok):
        return "met" if ok else "**missed**"

    def worst_up_to(r, limit):
        errs = [abs(e) for c in r["score"]["cells"] if c["truth"] <= limit for e in c["errors"] if e is not None]
        miss = any(e is None for c in r["score"]["cells"] if c["truth"] <= limit for e in c["errors"])
        return (None if miss else (max(errs) if errs else None))

    for s in scenarios:
        p, q64, q128, quick = run(s, "precise"), run(s, "pchar64"), run(s, "pchar128"), run(s, "precise-quick")
        if p:
            w = worst_up_to(p, 20e6)
            # The rate-limited path has its own accuracy and time goal.
            if s not in OWN_GOALS and any(c["truth"] <= 20e6 for c in p["score"]["cells"]):
                bound = max(0.001, q64["score"]["worst"]) if (q64 and q64["score"]["worst"] is not None
                                                               and s in standard) else 0.001
                rows.append((G_WORST, s,
                             "%s (bound %.2f %%)" % ("no estimate" if w is None else "%.3f %%" % (100 * w), 100 * bound),
                             verdict(w is not None and w <= bound)))
            fast = [e for c in p["score"]["cells"] if c["truth"] >= 100e6 for e in c["errors"]]
            if fast:
                ok = all(e is not None and abs(e) <= 0.01 for e in fast)
                rows.append((G_FAST, s,
                             ", ".join(fmt_error(e) for e in fast), verdict(ok)))
            if q64 and s in standard:
                rows.append((G_WALL, s, "%.1f s vs %.1f s" % (p["wall"], q64["wall"]),
                             verdict(p["wall"] <= 0.5 * q64["wall"])))
            m = p["score"]["hop_probes_median"]
            rows.append((G_PROBES, s, "–" if m is None else "%g" % m,
                         "no data" if m is None else verdict(m <= 370)))
        if quick and q128 and s in standard:
            wq, w128 = quick["score"]["worst"], q128["score"]["worst"]
            ok = wq is not None and w128 is not None and wq < w128 and quick["wall"] < q128["wall"]
            rows.append((G_QUICK, s,
                         "%s in %.1f s vs %s in %.1f s" % (fmt_pct(wq), quick["wall"], fmt_pct(w128), q128["wall"]),
                         verdict(ok)))
    if run("tenhop", "precise") and run("basic", "precise"):
        t, b = run("tenhop", "precise"), run("basic", "precise")
        w = t["score"]["worst"]
        ok = t["wall"] <= 4 * b["wall"] and w is not None and w <= 0.01 and t["score"]["missing"] == 0
        rows.append((G_TENHOP, "tenhop",
                     "%.1f s vs 4 × %.1f s, worst %s" % (t["wall"], b["wall"], fmt_pct(w)), verdict(ok)))
    if run("ratelimit", "precise"):
        r = run("ratelimit", "precise")
        w = r["score"]["worst"]
        ok = r["wall"] <= 180 and w is not None and w <= 0.005 and r["score"]["missing"] == 0
        rows.append((G_RATELIMIT, "ratelimit",
                     "%.1f s, worst %s" % (r["wall"], fmt_pct(w)), verdict(ok)))
    if run("cross", "precise") and run("cross", "pchar64"):
        p, q = run("cross", "precise"), run("cross", "pchar64")
        ok = (p["score"]["worst"] is not None and q["score"]["worst"] is not None
              and p["score"]["worst"] <= q["score"]["worst"] and p["wall"] <= q["wall"])
        rows.append((G_CROSS, "cross",
                     "%s in %.1f s vs %s in %.1f s" % (fmt_pct(p["score"]["worst"]), p["wall"],
                                                       fmt_pct(q["score"]["worst"]), q["wall"]), verdict(ok)))
    pchar6 = [r for r in (run(s, t) for s in ("ipv6", "ipv6icmp") for t in ("pchar64", "pchar128"))
              if r and r["score"]["worst"] is not None and not r["score"]["missing"]]
    if run("ipv6", "precise"):
        p = run("ipv6", "precise")
        w = p["score"]["worst"]
        best = min(pchar6, key=lambda r: (r["score"]["worst"], r["wall"])) if pchar6 else None
        bound = max(0.002, best["score"]["worst"]) if best else 0.002
        ok = w is not None and not p["score"]["missing"] and w <= bound and (best is None or p["wall"] <= 0.5 * best["wall"])
        rows.append((G_IPV6, "ipv6", "%s in %.1f s vs %s" % (
            fmt_pct(w), p["wall"], "no pchar result" if best is None else "%s in %.1f s (%s)" % (
                fmt_pct(best["score"]["worst"]), best["wall"], best["settings"])), verdict(ok)))

    def within(s, bound, seconds=None):
        r = run(s, "precise")
        if not r:
            return
        w = r["score"]["worst"]
        ok = (w is not None and w <= bound and not r["score"]["missing"] and r["status"] == "0"
              and (seconds is None or r["wall"] <= seconds))
        measured = "%s, status %s" % (fmt_pct(w), r["status"])
        if seconds is not None:
            measured = "%.1f s, " % r["wall"] + measured
        return measured, verdict(ok)

    for goal, names, bound, seconds in ((G_NOECHO, ("noecho-dst", "noecho-dst6"), 0.005, None),
                                        (G_FILTERED, ("filtered",), 0.005, None),
                                        (G_FILTERED_LIMITED, ("filtered-limited",), 0.01, 180),
                                        (G_PROTO, ("udp", "tcp"), 0.005, None)):
        for s in names:
            got = within(s, bound, seconds)
            if got:
                rows.append((goal, s) + got)
    covered = sum(r["score"]["covered"] for (s, t), r in results.items() if t.startswith("precise") and r.get("ok"))
    intervals = sum(r["score"]["intervals"] for (s, t), r in results.items() if t.startswith("precise") and r.get("ok"))
    if intervals:
        rows.append((G_COVERAGE, "all",
                     "%d of %d (%.0f %%)" % (covered, intervals, 100.0 * covered / intervals),
                     verdict(covered >= 0.85 * intervals)))
    ordered = []
    for goal, where in GOALS:
        mine = [r for r in rows if r[0] == goal]
        ordered += mine or [(goal, where, "–", "no data")]
    return ordered


def fmt_pct(e):
    return "no estimate" if e is None else "%.3f %%" % (100 * e)


# ---- the plot --------------------------------------------------------------------------

def svg_plot(results, scenarios, tools):
    """Every link's |error| per tool and scenario (dots) and the worst (a bar), log scale."""
    lo, hi = 0.01, 100.0  # percent
    left, plot_h = 70, 300
    slot = 14
    group_w = max(len(tools) * slot + 20, 90)
    width = max(left + group_w * len(scenarios) + 20, 720)
    per_row = max(1, (width - left) // 180)
    legend_rows = (len(tools) + per_row - 1) // per_row
    top = 40 + 16 * legend_rows + 10
    height = top + plot_h + 40

    def y_of(percent):
        p = min(max(percent, lo), hi)
        return top + (math.log10(hi) - math.log10(p)) / (math.log10(hi) - math.log10(lo)) * plot_h

    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" font-size="11">'
           % (width, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="18" font-size="14">|error| of every link per tool and scenario '
           '(dots; bar: worst; ▲ above 100 %%, × no estimate)</text>' % left]
    for i, t in enumerate(tools):
        x = left + (i % per_row) * 180
        y = 30 + 16 * (i // per_row)
        out.append('<rect x="%d" y="%d" width="10" height="10" fill="%s"/>' % (x, y, COLOURS[t]))
        has_results = any(r.get("ok") for (_, tool), r in results.items() if tool == t)
        out.append('<text x="%d" y="%d">%s%s</text>' % (x + 14, y + 9, TOOL_NAMES[t], "" if has_results else " (no results)"))
    for exp in range(-2, 3):
        p = 10.0 ** exp
        y = y_of(p)
        out.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#ddd"/>' % (left, width - 20, y, y))
        out.append('<text x="%d" y="%.1f" text-anchor="end">%g %%</text>' % (left - 6, y + 4, p))
    for g, s in enumerate(scenarios):
        x0 = left + g * group_w + 10
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                   % (x0 + len(tools) * slot / 2, top + plot_h + 18, s))
        for i, t in enumerate(tools):
            r = results.get((s, t))
            if not r or not r.get("ok"):
                continue
            x = x0 + i * slot + slot / 2
            colour = COLOURS[t]
            for c in r["score"]["cells"]:
                for e in c["errors"]:
                    if e is None:
                        out.append('<text x="%.1f" y="%.1f" text-anchor="middle" fill="%s">×</text>'
                                   % (x, top + plot_h + 4, colour))
                        continue
                    p = 100 * abs(e)
                    if p > hi:
                        out.append('<text x="%.1f" y="%.1f" text-anchor="middle" fill="%s">▲</text>'
                                   % (x, top + 4, colour))
                    else:
                        out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s" fill-opacity="0.7"/>'
                                   % (x, y_of(p), colour))
            w = r["score"]["worst"]
            if w is not None:
                out.append('<line x1="%.1f" x2="%.1f" y1="%.1f" y2="%.1f" stroke="%s" stroke-width="3"/>'
                           % (x - 5, x + 5, y_of(100 * w), y_of(100 * w), colour))
    out.append('<line x1="%d" x2="%d" y1="%d" y2="%d" stroke="black"/>' % (left, left, top, top + plot_h))
    out.append("</svg>")
    return "\n".join(out) + "\n"


# ---- the report ------------------------------------------------------------------------

def read_tsv(path, fields):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) == fields:
                rows.append(parts)
    return rows


def load(work):
    meta = {}
    with open(os.path.join(work, "meta.env")) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            meta[key] = value
    scenarios = {}
    order = []
    for name, links, options, description in read_tsv(os.path.join(work, "scenarios.tsv"), 4):
        scenarios[name] = {"links": links, "options": options, "description": description,
                           "parsed": parse_links(links)}
        order.append(name)
    results = {}
    for scenario, tool, settings, note, status, wall, probes, outdir in read_tsv(os.path.join(work, "runs.tsv"), 8):
        links = scenarios[scenario]["parsed"]
        run = {"settings": settings, "note": note, "status": status, "outdir": outdir,
               "wall": float(wall) if wall else 0.0, "probes": int(probes) if probes.isdigit() else None}
        if status == "skipped":
            run["ok"] = False
        else:
            if tool.startswith("classic"):
                raw = read_classic(os.path.join(outdir, "rates.txt"), len(links))
            elif tool.startswith("pchar"):
                raw = read_pchar(os.path.join(outdir, "out.txt"))
            else:
                raw = read_precise(os.path.join(outdir, "out.json")) or {}
                if raw.get("wall_s") is not None:
                    run["tool_wall"] = raw["wall_s"]
                if raw.get("probes_sent") is not None:
                    run["tool_probes"] = raw["probes_sent"]
            run["score"] = score_run(tool, links, raw)
            run["ok"] = True
        results[(scenario, tool)] = run
    return meta, order, scenarios, results


def report(work):
    meta, order, scenarios, results = load(work)
    tools = [t for t in TOOLS if any(k[1] == t for k in results)]
    lines = []
    w = lines.append
    w("# hoprate and pchar on the emulated path lab")
    w("")
    w("Made by `%s` on %s, commit %s." % (meta.get("command", "bench/run-bench.sh"), meta.get("date", "?"),
                                          meta.get("commit", "?")))
    w("Machine: %s; load average %s at the start, %s at the end. Total time %s min." % (
        meta.get("machine", "?"), meta.get("load_start", "?"), meta.get("load_end", "?"), meta.get("minutes", "?")))
    if meta.get("subset") == "1":
        w("")
        w("**Subset run** (scenarios: %s; tools: %s). The full benchmark runs every scenario with every tool."
          % (meta.get("scenarios", "?"), meta.get("tools", "?")))
    if meta.get("precise_note"):
        w("")
        w(meta["precise_note"])
    w("")
    w("Each link is a TUN pair joined by `hoprate-linkemu`; routers are Linux namespaces (see the README's")
    w("lab section for the attributes). All tools of a scenario run one after another on the same path.")
    w("Probes sent are counted by the first link's emulator (every packet the source sent), whatever the")
    w("tool; probes per hop = probes sent / hops (the accurate mode's own median per hop in brackets).")
    w("Errors are estimate / configured rate − 1; the classic mode shows v_n / v_n'. Across a silent")
    w("router (no estimate for its link) the next link is compared with the series capacity of both (≈).")
    w("\"ci ✓\" marks an accurate-mode 90 % interval that covers the configured rate.")
    w("")
    w("## Summary: worst |error| and wall time")
    w("")
    w("Each cell: worst \\|error\\| over the links, wall time.")
    w("")
    w("| scenario | " + " | ".join(TOOL_NAMES[t] for t in tools) + " |")
    w("|---|" + "---|" * len(tools))
    for s in order:
        row = []
        for t in tools:
            r = results.get((s, t))
            if not r:
                row.append("–")
            elif not r["ok"]:
                row.append("skipped")
            else:
                worst = r["score"]["worst"]
                text = "%s, %.1f s" % ("no estimate" if worst is None else "%.2f %%" % (100 * worst), r["wall"])
                if r["score"]["missing"]:
                    text += ", %d without estimate" % r["score"]["missing"]
                if r["note"]:
                    text += " †"
                row.append(text)
        w("| %s | %s |" % (s, " | ".join(row)))
    w("")
    w("† settings changed for this scenario (see its table).")
    w("")
    w("## Goals of the accurate mode")
    w("")
    if not any(r.get("ok") for (_, t), r in results.items() if t.startswith("precise")):
        w("No accurate-mode results in this run: the goals are listed for the run that has them.")
        w("")
    w("| goal | scenario | measured | verdict |")
    w("|---|---|---|---|")
    for goal, s, measured, v in evaluate_goals(results, order):
        w("| %s | %s | %s | %s |" % (goal, s, measured, v))
    precise_tools = [t for t in tools if t.startswith("precise")]
    directed = [s for s in order if precise_tools and shows_directions(
        scenarios[s]["parsed"], [results[(s, t)] for t in precise_tools if (s, t) in results])]
    if directed:
        w("")
        w("## Both directions: the accurate mode")
        w("")
        w("Forward: `capacity_bps` against the rate toward the destination (the tables above); return:")
        w("`return_capacity_bps` against the rate toward the source (`back=`, else the same), \"—\" where")
        w("the run separated none. Flagged: the links whose two directions differ by more than twice")
        w("their intervals' half-widths")
        w("(`asymmetric`), in bold where they are not the configured ones.")
        w("")
        w("| scenario | configured asymmetric | " + " | ".join(TOOL_NAMES[t] for t in precise_tools) + " |")
        w("|---|---|" + "---|" * len(precise_tools))
        for s in directed:
            configured = link_list(configured_asymmetric(scenarios[s]["parsed"]))
            row = []
            for t in precise_tools:
                r = results.get((s, t))
                if not r:
                    row.append("–")
                    continue
                if not r["ok"]:
                    row.append("skipped")
                    continue
                score = r["score"]
                flagged = flagged_text(score)
                if flagged not in ("—", configured):
                    flagged = "**%s**" % flagged
                row.append("forward %s, return %s, flagged %s" % (
                    "–" if score["worst"] is None else "%.2f %%" % (100 * score["worst"]),
                    "—" if score["return_worst"] is None else "%.2f %%" % (100 * score["return_worst"]), flagged))
            w("| %s | %s | %s |" % (s, configured, " | ".join(row)))
        w("")
        w("The 90 % intervals over these scenarios: the share of links whose interval covers the configured rate.")
        w("")
        w("| tool | forward | return |")
        w("|---|---|---|")
        for t in precise_tools:
            runs = [results[(s, t)] for s in directed if (s, t) in results and results[(s, t)]["ok"]]
            w("| %s | %s | %s |" % (
                TOOL_NAMES[t],
                fmt_coverage(sum(r["score"]["covered"] for r in runs), sum(r["score"]["intervals"] for r in runs)),
                fmt_coverage(sum(r["score"]["return_covered"] for r in runs),
                             sum(r["score"]["return_intervals"] for r in runs))))
    w("")
    w("## Plot")
    w("")
    w("![|error| per tool and scenario](%s)" % meta.get("svg_name", "errors.svg"))
    for s in order:
        sc = scenarios[s]
        links = sc["parsed"]
        w("")
        w("## %s: %s%s" % (s, sc["links"], (" " + sc["options"]) if sc["options"] else ""))
        w("")
        if sc["description"]:
            w(sc["description"])
            w("")
        head = ["tool", "settings"] + ["link %d (%s)" % (j, fmt_rate(l["rate"])) for j, l in enumerate(links, 1)]
        head += ["worst \\|error\\|", "probes sent", "probes per hop", "wall s", "note"]
        w("| " + " | ".join(head) + " |")
        w("|" + "---|" * len(head))
        for t in tools:
            r = results.get((s, t))
            if not r:
                continue
            if not r["ok"]:
                w("| %s | `%s` | %s | | | | | %s |" % (TOOL_NAMES[t], r["settings"], " | ".join("–" for _ in links),
                                                    r["note"] or "skipped"))
                continue
            score = r["score"]
            cells = [cell_text(t, c) for c in score["cells"]]
            probes = r["probes"]
            per_hop = "–" if probes is None else "%.0f" % (probes / len(links))
            if score["hop_probes_median"] is not None:
                per_hop += " (%g)" % score["hop_probes_median"]
            note = r["note"]
            if r["status"] == "124":
                note = (note + "; " if note else "") + "stopped at the time limit"
            elif r["status"] not in ("0", ""):
                note = (note + "; " if note else "") + "exit status " + r["status"]
            worst = "–" if score["worst"] is None else "%.2f %%" % (100 * score["worst"])
            if score["missing"]:
                worst += " (%d without estimate)" % score["missing"]
            w("| %s | `%s` | %s | %s | %s | %s | %.1f | %s |" % (
                TOOL_NAMES[t], r["settings"], " | ".join(cells), worst,
                "–" if probes is None else probes, per_hop, r["wall"], note))
        if s in directed:
            w("")
            w("The accurate mode toward the source (`return_capacity_bps` against the rate back):")
            w("")
            head = ["tool"] + ["link %d (%s back)" % (j, fmt_rate(l["back"])) for j, l in enumerate(links, 1)]
            head += ["worst \\|error\\|", "flagged asymmetric"]
            w("| " + " | ".join(head) + " |")
            w("|" + "---|" * len(head))
            for t in precise_tools:
                r = results.get((s, t))
                if not r or not r["ok"]:
                    continue
                score = r["score"]
                worst = "—" if score["return_worst"] is None else "%.2f %%" % (100 * score["return_worst"])
                w("| %s | %s | %s | %s |" % (TOOL_NAMES[t], " | ".join(return_cell_text(c) for c in score["cells"]),
                                             worst, flagged_text(score)))
    return "\n".join(lines) + "\n", svg_plot(results, order, tools)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: bench_report.py WORK_DIR OUTPUT.md OUTPUT.svg\n")
        return 2
    markdown, svg = report(argv[1])
    with open(argv[2], "w") as f:
        f.write(markdown)
    with open(argv[3], "w") as f:
        f.write(svg)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
