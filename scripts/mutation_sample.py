#!/usr/bin/env python3
"""Samples small faults ("mutants") in src/ and tells which ones the test suite notices.

    scripts/mutation_sample.py --build DIR --sample N --seed S [--out FILE]
    scripts/mutation_sample.py --build DIR --replay FILE [--only-killed] [--out FILE]

Run from the project root with DIR an already configured build directory of its own (the
script rebuilds it after every change). Each mutant changes one place of one source file:
a comparison or logical operator turned round, a boolean constant flipped, a negation
dropped, an off-by-one, or a call statement left out. Mutants that do not build are
replaced by the next one in the seeded order, so the same seed on the same sources gives
the same sample. For each mutant the whole suite runs (ctest -j2, stopping at the first
failure); the mutant is "killed" when a test fails or hangs.

--replay runs the mutants a former run wrote to FILE again, for instance before and after
a change to the tests; --only-killed runs only those that run killed. A replayed mutant whose
line no longer stands in its file (the code was rewritten) is reported as gone and skipped. The
source file is always restored, also on Ctrl-C.
"""
import argparse
import json
import os
import random
import re
import subprocess
import sys
import time

# (name, pattern, replacement); patterns never match inside string or character literals.
OPERATORS = [
    ("eq", r"==", "!="),
    ("ne", r"!=", "=="),
    ("le", r"<=", "<"),
    ("ge", r">=", ">"),
    ("lt", r"(?<=\s)<(?=\s)", "<="),
    ("gt", r"(?<=\s)>(?=\s)", ">="),
    ("and", r"&&(?=\s)", "||"),
    ("or", r"\|\|", "&&"),
    ("true", r"\btrue\b", "false"),
    ("false", r"\bfalse\b", "true"),
    ("not", r"\(!(?!=)", "("),
    ("plus1", r" \+ 1\b", " - 1"),
    ("minus1", r" - 1\b", " + 1"),
]
CALL_STATEMENT = re.compile(r"^\s*(?!return\b|delete\b|throw\b)[A-Za-z_][\w:.\->]*\(.*\);\s*$")
EXCLUDED_TESTS = "packaging_build_rpms|UpdaterPackage"  # build and install the product RPM


def code_mask(line):
    """True for every character of the line that is code (not in a literal or a // comment)."""
    mask = [True] * len(line)
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            mask[i] = False
            if c == "\\":
                if i + 1 < len(line):
                    mask[i + 1] = False
                i += 2
                continue
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            mask[i] = False
        elif line.startswith("//", i):
            for j in range(i, len(line)):
                mask[j] = False
            break
        i += 1
    return mask


def sites(root):
    found = []
    for dirpath, _, names in sorted(os.walk(os.path.join(root, "src"))):
        for name in sorted(names):
            if not name.endswith(".cpp"):
                continue
            path = os.path.relpath(os.path.join(dirpath, name), root)
            in_comment = False
            with open(os.path.join(root, path), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    text = line.rstrip("\n")
                    stripped = text.strip()
                    if in_comment:
                        in_comment = "*/" not in stripped
                        continue
                    if stripped.startswith("/*"):
                        in_comment = "*/" not in stripped
                        continue
                    if stripped.startswith(("//", "#", "*")) or not stripped:
                        continue
                    mask = code_mask(text)
                    for op, pattern, replacement in OPERATORS:
                        for m in re.finditer(pattern, text):
                            if all(mask[m.start():m.end()]):
                                found.append({"file": path, "line": number, "col": m.start(),
                                              "op": op, "from": m.group(0), "to": replacement,
                                              "text": text})
                    if CALL_STATEMENT.match(text) and "LOG" not in text:
                        found.append({"file": path, "line": number, "col": 0, "op": "drop",
                                      "from": text, "to": "", "text": text})
    return found


def apply(root, mutant):
    """Writes the mutant into its file; (path, original text), or None when no line of the file
    has the mutant's text any more (the code was rewritten since it was drawn)."""
    path = os.path.join(root, mutant["file"])
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        original = f.read()
    lines = original.split("\n")
    # The line may have moved since the mutant was drawn: take the nearest one with its text.
    matching = [i for i, l in enumerate(lines) if l == mutant["text"]]
    if not matching:
        return None
    index = min(matching, key=lambda i: abs(i + 1 - mutant["line"]))
    text = lines[index]
    col, old = mutant["col"], mutant["from"]
    lines[index] = text[:col] + mutant["to"] + text[col + len(old):]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return path, original


def describe(mutant):
    return "%s:%d %s %r -> %r" % (mutant["file"], mutant["line"], mutant["op"],
                                  mutant["from"].strip(), mutant["to"])


def build(build_dir):
    r = subprocess.run(["cmake", "--build", build_dir, "-j2"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=1800)
    return r.returncode == 0


def suite_fails(build_dir):
    try:
        r = subprocess.run(["ctest", "--test-dir", build_dir, "-j2", "--stop-on-failure",
                            "--timeout", "300", "-E", EXCLUDED_TESTS],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1800,
                           text=True)
    except subprocess.TimeoutExpired:
        return True, "suite timed out"
    failed = [l.strip() for l in r.stdout.splitlines() if "***" in l or "(Failed)" in l]
    return r.returncode != 0, failed[0] if failed else ""


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--sample", type=int, default=60)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--replay")
    p.add_argument("--only-killed", action="store_true")
    p.add_argument("--out", default="mutants.json")
    a = p.parse_args()
    root = os.getcwd()

    if not build(a.build) or suite_fails(a.build)[0]:
        sys.exit("the unchanged sources must build and pass first")

    if a.replay:
        with open(a.replay) as f:
            queue = [m for m in json.load(f)["mutants"] if not a.only_killed or m["killed"]]
        want = len(queue)
    else:
        queue = sites(root)
        print("%d places to change" % len(queue), flush=True)
        random.Random(a.seed).shuffle(queue)
        want = a.sample

    results, unbuildable, gone = [], 0, 0
    for mutant in queue:
        if len(results) + gone >= want:
            break
        applied = apply(root, mutant)
        if applied is None:
            gone += 1
            print("    gone     %s (its line was rewritten)" % describe(mutant), flush=True)
            continue
        path, original = applied
        started = time.time()
        try:
            if not build(a.build):
                unbuildable += 1
                continue
            killed, by = suite_fails(a.build)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        entry = dict(mutant, killed=killed, by=by, seconds=round(time.time() - started))
        results.append(entry)
        print("%3d %s %s %s" % (len(results), "killed  " if killed else "SURVIVED", describe(mutant),
                                by), flush=True)
        with open(a.out, "w") as f:
            json.dump({"seed": a.seed, "unbuildable": unbuildable, "mutants": results}, f, indent=1)

    build(a.build)
    killed = sum(1 for r in results if r["killed"])
    print("killed %d of %d (%d did not build and were skipped, %d no longer match their source)"
          % (killed, len(results), unbuildable, gone))


if __name__ == "__main__":
    main()
