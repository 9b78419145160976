#!/usr/bin/env python3
"""The benchmark report: reading each tool's output, scoring it against the configured
path (silent hops, lower bounds, intervals, both directions of asymmetric links),
judging the accurate mode's goals, and a whole report written from a work directory."""
import json
import os
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import bench_report as br  # noqa: E402

PCHAR_SILENT = """pchar to 10.77.3.2 (10.77.3.2) using UDP/IPv4
 0: 10.77.1.1 (10.77.1.1)
    Partial loss:      0 / 10 (0%)
    Hop char:          rtt = 2.067536 ms, bw = 9969.349704 Kbps
 1: 10.77.1.2 (10.77.1.2)
    Partial loss:      10 / 10 (100%)
    Hop char:          rtt = 0.000000 ms, bw = 0.000000 Kbps
 2: no probe responses
    Hop char:          rtt = 8.151704 ms, bw = 1243.867752 Kbps
 3: 10.77.3.2 (10.77.3.2)
    Path length:       3 hops
"""

BASIC = "10M/1ms,2M/2ms,5M/1ms"
ASYM = "20M/1ms,10M/2ms:back=1M,5M/1ms"


def precise_doc(capacities, probes=300, lower=(), ci=0.002):
    hops = []
    for i, c in enumerate(capacities, 1):
        hops.append({"hop": i, "address": None if c is None else "10.77.%d.2" % i, "capacity_bps": c,
                     "ci90_bps": None if c is None else [c * (1 - ci), c * (1 + ci)],
                     "lower_bound": i in lower, "probes": probes, "replies": probes})
    return {"destination": "d", "address": "d", "probes_sent": 3 * probes, "wall_s": 1.0, "hops": hops}


def with_returns(doc, returns, flags, ci=0.01):
    """doc with the accurate mode's return-direction fields on every hop: returns[i] is hop
    i+1's return capacity (None: not separated), flags[i] its asymmetric flag."""
    for hop, value, flag in zip(doc["hops"], returns, flags):
        hop.update({"return_capacity_bps": value, "asymmetric": flag,
                    "return_ci90_bps": None if value is None else [value * (1 - ci), value * (1 + ci)],
                    "directions": "combined" if value is None else "separated", "path_consistent": True})
    return doc


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class Readers(unittest.TestCase):
    def test_pchar_links_and_hops_without_answers(self):
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "out.txt"), PCHAR_SILENT)
            got = br.read_pchar(os.path.join(d, "out.txt"))
        # "Hop char" under "N:" is link N+1; a bandwidth of 0 is no estimate.
        self.assertEqual(got, {1: 9969349.704, 2: None, 3: 1243867.752})
        self.assertEqual(br.read_pchar("/nonexistent/out.txt"), {})

    def test_classic_rates_with_non_finite_values(self):
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "rates.txt"), "1 9.8354e+06 89800 1.00955e+07 129600\n2 nan nan -nan nan\n"
                                                "3 inf 0 -4e6 1\n4 1e6 1 1e6 1\n")
            got = br.read_classic(os.path.join(d, "rates.txt"), 3)
        self.assertEqual(got, {1: [9.8354e6, 1.00955e7], 2: [None, None], 3: [None, None]})

    def test_links_and_rates(self):
        links = br.parse_links("10M/1ms:quote=28:silent,800K:back=2M,64000")
        self.assertEqual([l["rate"] for l in links], [10e6, 800e3, 64000])
        self.assertEqual([l["back"] for l in links], [10e6, 2e6, 64000])
        self.assertEqual(links[0]["attrs"], {"quote": "28", "silent": ""})
        self.assertRaises(ValueError, br.parse_rate, "10Mb")
        self.assertEqual([br.fmt_rate(x) for x in (1.5e9, 2e6, 800e3, 64, None)], ["1.5G", "2M", "800K", "64", "–"])


class Scoring(unittest.TestCase):
    def test_silent_hop_merges_into_the_next_link(self):
        links = br.parse_links("10M/1ms,2M/2ms:silent,5M/1ms")
        series = 1 / (1 / 2e6 + 1 / 5e6)
        s = br.score_run("pchar64", links, {1: 10.1e6, 2: None, 3: series * 0.9})
        self.assertEqual(s["cells"][1].get("unscored"), "silent")
        self.assertTrue(s["cells"][2]["merged"])
        self.assertAlmostEqual(s["cells"][2]["errors"][0], -0.1)
        self.assertAlmostEqual(s["worst"], 0.1)
        self.assertEqual(s["missing"], 0)
        # A tool that does measure the silent router's link is judged link by link.
        s = br.score_run("pchar64", links, {1: 10e6, 2: 2.2e6, 3: 5e6})
        self.assertAlmostEqual(s["worst"], 0.1)
        self.assertFalse(s["cells"][2]["merged"])
        # The classic mode: two estimates per link; nothing at all is "missing", not 0 %.
        s = br.score_run("classic", br.parse_links(BASIC), {1: [9e6, 11.5e6]})
        self.assertAlmostEqual(s["worst"], 0.15)
        self.assertEqual(s["missing"], 4)

    def test_precise_lower_bounds_intervals_and_probes(self):
        links = br.parse_links("100M/1ms,20M/2ms,50M/1ms")
        doc = precise_doc([90e6, 20.1e6, 50e6], lower=(1,), probes=200)
        doc["hops"][2]["probes"] = 400
        s = br.score_run("precise", links, doc)
        self.assertEqual(s["cells"][0]["errors"], [0.0])  # a bound below the truth is right
        self.assertEqual(br.cell_text("precise", s["cells"][0]), "≥ 90M (+0.00 %) ci ✗")
        self.assertEqual(br.cell_text("precise", s["cells"][1]), "+0.50 % ci ✗")
        self.assertEqual((s["covered"], s["intervals"]), (1, 3))
        self.assertEqual(s["hop_probes_median"], 200)
        above = br.score_run("precise", links, precise_doc([110e6, 20e6, 50e6], lower=(1,)))
        self.assertAlmostEqual(above["worst"], 0.1)  # a bound above the truth is wrong
        empty = br.score_run("precise", links, {})
        self.assertIsNone(empty["worst"])
        self.assertEqual(empty["missing"], 3)


class ReturnDirection(unittest.TestCase):
    def test_return_errors_intervals_and_flags(self):
        links = br.parse_links(ASYM)
        # (what the hops say, texts of the return cells, return worst, covered of intervals,
        #  flagged, directions in the document)
        cases = [
            ("separated", with_returns(precise_doc([20e6, 10e6, 5e6]), [20e6, 1.01e6, None], [False, True, False]),
             ["+0.00 % ci ✓", "+1.00 % ci ✓", "—"], 0.01, (2, 2), "link 2", True),
            # Intervals of ±0.5 % miss a return estimate 1 % high; a symmetric link flagged.
            ("narrow", with_returns(precise_doc([20e6, 10e6, 5e6]), [20e6, 1.01e6, 5e6], [True, True, False],
                                    ci=0.005), ["+0.00 % ci ✓", "+1.00 % ci ✗", "+0.00 % ci ✓"], 0.01, (2, 3),
             "links 1, 2", True),
            ("old document", precise_doc([20e6, 10e6, 5e6]), ["—", "—", "—"], None, (0, 0), "—", False),
            ("untrusted values", {"hops": [
                {"hop": 1, "return_capacity_bps": "fast", "return_ci90_bps": [1, "x"], "asymmetric": "yes"},
                {"hop": 2, "return_capacity_bps": True, "return_ci90_bps": [1e6], "asymmetric": 1},
                {"hop": 3, "return_capacity_bps": float("nan"), "return_ci90_bps": {}, "asymmetric": None}, 7]},
             ["—", "—", "—"], None, (0, 0), "none", True),
        ]
        for name, doc, texts, worst, coverage, flagged, directions in cases:
            with self.subTest(name):
                s = br.score_run("precise", links, doc)
                self.assertEqual([br.return_cell_text(c) for c in s["cells"]], texts)
                self.assertEqual(s["return_worst"] is None, worst is None)
                if worst is not None:
                    self.assertAlmostEqual(s["return_worst"], worst)
                self.assertEqual((s["return_covered"], s["return_intervals"]), coverage)
                self.assertEqual(br.flagged_text(s), flagged)
                self.assertEqual(s["directions"], directions)

    def test_forward_scoring_is_unchanged_and_one_number_tools_use_the_forward_rate(self):
        links = br.parse_links(ASYM)
        s = br.score_run("precise", links, with_returns(precise_doc([20e6, 10.1e6, 5e6]), [20e6, 1e6, 5e6],
                                                        [False, True, False]))
        self.assertAlmostEqual(s["worst"], 0.01)
        self.assertEqual(br.cell_text("precise", s["cells"][1]), "+1.00 % ci ✗")
        self.assertAlmostEqual(br.score_run("pchar64", links, {1: 20e6, 2: 11e6, 3: 5e6})["worst"], 0.1)
        self.assertAlmostEqual(br.score_run("classic", links, {2: [9e6, 10e6]})["worst"], 0.1)
        self.assertEqual(br.configured_asymmetric(links), [2])

    def test_silent_hop_merges_both_directions(self):
        links = br.parse_links("10M/1ms,2M/2ms:silent:back=1M,5M/1ms:back=4M")
        doc = with_returns(precise_doc([10e6, None, 1 / (1 / 2e6 + 1 / 5e6)]), [10e6, None, 0.8e6 * 1.02],
                           [False, False, True])
        s = br.score_run("precise", links, doc)
        # Toward the source: 1 / (1/1M + 1/4M) = 0.8 Mbit/s.
        self.assertEqual([br.return_cell_text(c) for c in s["cells"]], ["+0.00 % ci ✓", "silent: no answer",
                                                                        "≈ +2.00 % ci ✗"])
        self.assertEqual(s["asymmetric"], 1)


class Goals(unittest.TestCase):
    def run_of(self, tool, scenario_links, raw, wall, note="", status="0", settings=""):
        return {"ok": True, "wall": wall, "note": note, "status": status, "settings": settings,
                "score": br.score_run(tool, br.parse_links(scenario_links), raw)}

    def test_verdicts(self):
        results = {
            ("basic", "precise"): self.run_of("precise", BASIC, precise_doc([10.005e6, 2e6, 5e6]), 15.0),
            ("basic", "pchar64"): self.run_of("pchar64", BASIC, {1: 10.003e6, 2: 2e6, 3: 5e6}, 34.0),
            ("basic", "precise-quick"): self.run_of("precise-quick", BASIC, precise_doc([10.1e6, 2e6, 5e6]), 9.0),
            ("basic", "pchar128"): self.run_of("pchar128", BASIC, {1: 10.06e6, 2: 2e6, 3: 5e6}, 8.0),
            ("tenhop", "precise"): self.run_of("precise", BASIC, precise_doc([10e6, 2e6, 5e6]), 59.0),
            ("ratelimit", "precise"): self.run_of("precise", BASIC, precise_doc([10e6, 2e6, 5e6]), 181.0),
            ("ratelimit", "pchar64"): self.run_of("pchar64", BASIC, {1: 9e6}, 70.0, note="-g 1"),
        }
        rows = br.evaluate_goals(results, ["basic", "ratelimit", "tenhop"])

        def row(prefix, scenario):
            found = [(m, v) for goal, s, m, v in rows if goal.startswith(prefix) and s == scenario]
            self.assertLessEqual(len(found), 1)
            return found[0] if found else None

        # 0.05 % on basic: within max(0.1 %, pchar's 0.03 %); wall 15 s ≤ 17 s; 300 probes per hop.
        self.assertEqual(row("default: worst", "basic"), ("0.050 % (bound 0.10 %)", "met"))
        self.assertEqual(row("default: wall", "basic"), ("15.0 s vs 34.0 s", "met"))
        self.assertEqual(row("default: ≤ 370", "basic"), ("300", "met"))
        # quick: 1 % is worse than pchar -I 128's 0.6 %, though faster.
        self.assertEqual(row("quick", "basic")[1], "**missed**")
        self.assertEqual(row("10 hops", "tenhop"), ("59.0 s vs 4 × 15.0 s, worst 0.000 %", "met"))
        self.assertEqual(row("rate-limited", "ratelimit")[1], "**missed**")  # 181 s > 3 min
        # pchar with changed settings is no yardstick: no wall-time comparison on that path.
        self.assertIsNone(row("default: wall", "ratelimit"))
        # Intervals of ±0.2 %: covered on exact and 0.05 % estimates, not on the quick 1 %.
        self.assertEqual(row("90 % interval", "all"), ("11 of 12 (92 %)", "met"))
        # Goals nothing here can judge are listed all the same.
        self.assertEqual(row("cross traffic", "cross"), ("–", "no data"))
        self.assertEqual(row("default: ≤ 1 %", "fast"), ("–", "no data"))
        self.assertEqual(len({goal for goal, _, _, _ in rows}), len(br.GOALS))

    def test_reach_verdicts(self):
        exact = precise_doc([10e6, 2e6, 5e6])
        results = {
            # The best IPv6 pchar run is the quicker one with 0.3 %: the bound is 0.3 %, half its wall 5 s.
            ("ipv6", "precise"): self.run_of("precise", BASIC, precise_doc([10.02e6, 2e6, 5e6]), 4.0),
            ("ipv6", "pchar64"): self.run_of("pchar64", BASIC, {1: 10.03e6, 2: 2e6, 3: 5e6}, 30.0, settings="-I 64"),
            ("ipv6icmp", "pchar128"): self.run_of("pchar128", BASIC, {1: 10.03e6, 2: 2e6, 3: 5e6}, 10.0,
                                                 settings="-I 128"),
            ("noecho-dst", "precise"): self.run_of("precise", BASIC, exact, 7.0, status="2"),
            ("filtered-limited", "precise"): self.run_of("precise", BASIC, precise_doc([10.05e6, 2e6, 5e6]), 150.0),
            ("tcp", "precise"): self.run_of("precise", BASIC, precise_doc([10e6, 2e6, 4.97e6]), 7.0),
        }
        rows = {(goal[:12], s): (m, v) for goal, s, m, v in br.evaluate_goals(results, list(dict.fromkeys(
            s for s, _ in results)))}
        self.assertEqual(rows[("IPv6: worst ", "ipv6")], ("0.200 % in 4.0 s vs 0.300 % in 10.0 s (-I 128)", "met"))
        # Exact, but a partial result (status 2) is not what the goal asks for.
        self.assertEqual(rows[("destination ", "noecho-dst")], ("0.000 %, status 2", "**missed**"))
        self.assertEqual(rows[("no node answ", "filtered-limited")], ("150.0 s, 0.500 %, status 0", "met"))
        self.assertEqual(rows[("--proto udp ", "tcp")], ("0.600 %, status 0", "**missed**"))
        # The rate-limited filtered path is judged by its own goal only.
        self.assertNotIn(("default: wor", "filtered-limited"), rows)


class WholeReport(unittest.TestCase):
    def test_markdown_and_svg_from_a_work_directory(self):
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "meta.env"), "commit=abc1234\nsubset=1\nscenarios=silent\ntools=pchar64 precise\n"
                                               "svg_name=errors.svg\n")
            write(os.path.join(d, "scenarios.tsv"), "silent\t10M/1ms,2M/2ms:silent,5M/1ms\t\tA silent router.\n")
            os.makedirs(os.path.join(d, "p"))
            write(os.path.join(d, "p", "out.txt"), PCHAR_SILENT)
            write(os.path.join(d, "runs.tsv"),
                  "silent\tpchar64\t-I 64 -R 2 -t 1\tfewer repetitions\t0\t50.2\t139\t%s\n"
                  "silent\tprecise\t--precise --json\tnot in this build\tskipped\t\t\t%s\n" % (
                      os.path.join(d, "p"), os.path.join(d, "q")))
            markdown, svg = br.report(d)
        self.assertIn("**Subset run** (scenarios: silent; tools: pchar64 precise)", markdown)
        self.assertIn("| silent | 12.93 %, 50.2 s † | skipped |", markdown)
        self.assertIn("| pchar -I 64 -R 16 | `-I 64 -R 2 -t 1` | -0.31 % | silent: no answer | ≈ -12.93 % | 12.93 % "
                      "| 139 | 46 | 50.2 | fewer repetitions |", markdown)
        self.assertIn("| hoprate --precise | `--precise --json` | – | – | – | | | | | not in this build |", markdown)
        self.assertIn("No accurate-mode results in this run", markdown)
        self.assertIn("| rate-limited 3-hop path: ≤ 3 min, within 0.5 % | ratelimit | – | no data |", markdown)
        root = ElementTree.fromstring(svg)
        self.assertEqual(len(root.findall("{http://www.w3.org/2000/svg}circle")), 2)
        self.assertNotIn("Both directions", markdown)  # no asymmetric link, no return fields

    def test_both_directions(self):
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "meta.env"), "commit=abc1234\n")
            # asym: a run with the return fields and one without (an older build); basic with
            # a symmetric link flagged; quote28 from an older build: no return table.
            write(os.path.join(d, "scenarios.tsv"), "asym\t%s\t\t\nbasic\t%s\t\t\nquote28\t%s\t\t\n"
                  % (ASYM, BASIC, "10M/1ms,2M/2ms:quote=28,5M/1ms"))
            docs = {
                "a1": with_returns(precise_doc([20e6, 10.05e6, 5e6]), [20e6, 0.99e6, None], [False, True, False]),
                "a2": precise_doc([20e6, 10e6, 5e6]),
                "b1": with_returns(precise_doc([10e6, 2e6, 5e6]), [10e6, 2e6, 5e6], [True, False, False]),
                "c1": precise_doc([10e6, 2e6, 5e6]),
            }
            runs = ""
            for name, doc in docs.items():
                os.makedirs(os.path.join(d, name))
                write(os.path.join(d, name, "out.json"), json.dumps(doc))
                scenario = {"a": "asym", "b": "basic", "c": "quote28"}[name[0]]
                tool = "precise" if name[1] == "1" else "precise-quick"
                runs += "%s\t%s\t--precise --json\t\t0\t7.0\t900\t%s\n" % (scenario, tool, os.path.join(d, name))
            write(os.path.join(d, "runs.tsv"), runs)
            markdown, _ = br.report(d)
        self.assertIn("| scenario | configured asymmetric | hoprate --precise | hoprate --precise --quick |\n"
                      "|---|---|---|---|\n"
                      "| asym | link 2 | forward 0.50 %, return 1.00 %, flagged link 2 "
                      "| forward 0.00 %, return —, flagged — |\n"
                      "| basic | none | forward 0.00 %, return 0.00 %, flagged **link 1** | – |\n\n", markdown)
        # Intervals of ±0.2 % forward, ±1 % back: 10.05M misses 10M, 0.99M misses 1M.
        self.assertIn("| hoprate --precise | 5 of 6 (83 %) | 4 of 5 (80 %) |\n"
                      "| hoprate --precise --quick | 3 of 3 (100 %) | — |\n", markdown)
        self.assertIn("| tool | link 1 (20M back) | link 2 (1M back) | link 3 (5M back) | worst \\|error\\| "
                      "| flagged asymmetric |\n|---|---|---|---|---|---|\n"
                      "| hoprate --precise | +0.00 % ci ✓ | -1.00 % ci ✗ | — | 1.00 % | link 2 |\n"
                      "| hoprate --precise --quick | — | — | — | — | — |\n", markdown)
        self.assertEqual(markdown.count("toward the source (`return_capacity_bps`"), 2)  # asym and basic


if __name__ == "__main__":
    unittest.main()
