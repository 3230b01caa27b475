#!/usr/bin/env python3
"""The setup's include graph points one way: app -> installers | display -> platform, and res
(resource ids) below all. A folder includes its own files and those of lower folders only;
installers and display do not include each other. No two files include each other, directly or
round about (a header and its .cpp count as one file).

Usage: check-setup-layers.py SETUP_DIR. Prints every offending include or loop; exit 1 if any."""
import os
import re
import sys

RANK = {"res": 0, "platform": 1, "display": 2, "installers": 2, "app": 3}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder(rel):
    return rel.split("/", 1)[0]


def unit(rel):
    return os.path.splitext(rel)[0]


def main(root):
    sources = []
    for base, _, files in os.walk(root):
        for name in files:
            if name.endswith((".h", ".cpp")):
                sources.append(os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/"))
    problems = []
    graph = {}
    for rel in sorted(sources):
        with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for included in INCLUDE.findall(text):
            beside = os.path.normpath(os.path.join(os.path.dirname(rel), included))
            target = next((c.replace(os.sep, "/") for c in (beside, included)
                           if os.path.isfile(os.path.join(root, c))), None)
            if target is None:
                problems.append(f"{rel}: includes {included}, which is not in the setup")
                continue
            a, b = folder(rel), folder(target)
            if a not in RANK or b not in RANK:
                problems.append(f"{rel}: includes {target}, outside the known folders")
            elif a != b and RANK[b] >= RANK[a]:
                problems.append(f"{rel}: {a} includes {target} ({b} is not below {a})")
            if unit(rel) != unit(target):
                graph.setdefault(unit(rel), set()).add(unit(target))

    # Loops between files: a depth-first walk that meets a file still on its path.
    state, path = {}, []

    def visit(node):
        state[node] = "open"
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                problems.append("loop: " + " -> ".join(path[path.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt)
        path.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)

    for p in problems:
        print(p)
    print(f"{len(sources)} files, {sum(len(v) for v in graph.values())} includes between files, "
          f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
