#!/usr/bin/env python3
"""Checks man/hoprate.1 against the program.

usage: check_man_page.py MAN_PAGE SOURCE...

1. groff -ww -man -Tutf8 renders the page with status 0 and no warning at all.
2. The options are the same everywhere: the getopt string and the usage text in the
   command-line sources, the SYNOPSIS and the OPTIONS section of the page; an option takes an
   argument in all of them or in none.
3. The defaults the OPTIONS section states are those the sources set.
"""
import re
import subprocess
import sys


def rendered_warnings(page):
    result = subprocess.run(["groff", "-ww", "-man", "-Tutf8", page], capture_output=True, text=True)
    problems = []
    if result.returncode != 0:
        problems.append(f"groff exit status {result.returncode}")
    if result.stderr.strip():
        problems.append("groff warnings:\n" + result.stderr)
    plain = re.sub(r".\x08", "", re.sub(r"\x1b\[[0-9;]*m", "", result.stdout))
    if "NAME" not in plain or "OPTIONS" not in plain:
        problems.append("the rendered page lacks NAME or OPTIONS")
    return problems


def options_of_getopt(source):
    found = re.findall(r'getopt\(argc, argv, "([^"]*)"\)', source)
    if len(found) != 1:
        raise SystemExit(f"expected one getopt call in the sources, found {len(found)}")
    return {m.group(1): bool(m.group(2)) for m in re.finditer(r"([A-Za-z0-9])(:?)", found[0])}


def options_of_usage(source):
    match = re.search(r'"usage: %s ([^"\\]*)\\n"', source)
    if not match:
        raise SystemExit("no usage text in the sources")
    return {m.group(1): bool(m.group(2)) for m in re.finditer(r"-([A-Za-z0-9])( [^\]\s]+)?", match.group(1))}


def section(page, name):
    match = re.search(r"^\.SH \"?" + re.escape(name) + r"\"?\n(.*?)(?=^\.SH )", page, re.S | re.M)
    if not match:
        raise SystemExit(f"no {name} section in the man page")
    return match.group(1)


def options_of_synopsis(page):
    """'.RB [ \\-x' or '.B \\-x' lines; the option takes an argument when an .I or .IR
    line follows it."""
    lines = section(page, "SYNOPSIS").splitlines()
    options = {}
    for i, line in enumerate(lines):
        m = re.match(r"^\.R?B\b.*?\\-([A-Za-z0-9])\b", line)
        if m:
            following = lines[i + 1] if i + 1 < len(lines) else ""
            options[m.group(1)] = following.startswith(".I")
    return options


def options_of_section(page):
    """Every .TP entry of OPTIONS: '.BI \\-x " arg"' takes an argument, '.B \\-x' does not."""
    body = section(page, "OPTIONS")
    options, defaults = {}, {}
    entries = re.split(r"^\.TP\n", body, flags=re.M)[1:]
    for entry in entries:
        head, _, text = entry.partition("\n")
        m = re.match(r'^\.(BI|B) \\-([A-Za-z0-9])( "[^"]+")?$', head)
        if not m:
            raise SystemExit(f"OPTIONS entry of unexpected form: {head!r}")
        options[m.group(2)] = m.group(1) == "BI" and m.group(3) is not None
        d = re.search(r"^Default: (.*?)\.?$", text, re.M)
        defaults[m.group(2)] = d.group(1) if d else None
    return options, defaults


def defaults_of_source(source):
    iterations = re.search(r"int iterations = (\d+);", source).group(1)
    timeout = re.search(r"double probeTimeout = ([0-9.]+);", source).group(1)
    sizes = re.search(r"defaultSizes(?:\[\d+\])? = \{([^}]*)\}", source).group(1)
    sizes = ",".join(re.findall(r'"(\d+)"', sizes))
    return {"i": iterations, "o": timeout, "s": sizes, "v": "off", "d": "off"}


def main():
    page_file, source_files = sys.argv[1], sys.argv[2:]
    with open(page_file) as f:
        page = f.read()
    source = ""
    for source_file in source_files:
        with open(source_file) as f:
            source += f.read()
    problems = rendered_warnings(page_file)

    program = options_of_getopt(source)
    views = {
        "usage text": options_of_usage(source),
        "SYNOPSIS": options_of_synopsis(page),
    }
    documented, defaults = options_of_section(page)
    views["OPTIONS section"] = documented
    for name, view in views.items():
        if view != program:
            problems.append(f"{name} options {sorted(view.items())} differ from getopt's {sorted(program.items())}")

    for option, value in defaults_of_source(source).items():
        if defaults.get(option) != value:
            problems.append(f"-{option}: the page says default {defaults.get(option)!r}, the program sets {value!r}")
    if defaults.get("t") is not None:
        problems.append("-t is required and has no default")

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("PASS: options", "".join(o + (":" if a else "") for o, a in program.items()))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
