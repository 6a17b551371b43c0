#!/usr/bin/env python3
"""The product's layers point one way: each product folder relies only on the
folders below it (app -> wot -> service, touchic -> hid -> log -> platform ->
winsim; tpinfo stands alone and only app links it in), and only platform/
reaches winsim. handles/ (the handle owner of winsim, the tests and the
tools) reaches winsim's API alone, and no product folder relies on it.

Two ties are checked:
- includes: a file of a folder that includes a header of a folder it may not;
- links (with BUILD_DIR): an object of a folder that needs a symbol which only
  a folder it may not rely on defines, such as a global declared in a lower
  folder's header and defined in a higher one. Such a tie shows in no include.

Prints every tie that breaks the order and exits 1.

Usage: check_layers.py SOURCE_DIR [BUILD_DIR [NM]]"""

import re
import subprocess
import sys
from pathlib import Path

BELOW = {
    "platform": {"winsim"},
    "log": {"platform"},
    "hid": {"log", "platform"},
    "touchic": {"hid", "log", "platform"},
    "service": {"log", "platform"},
    "wot": {"service", "touchic", "hid", "log", "platform"},
    "tpinfo": {"platform"},
    "app": {"wot", "service", "touchic", "hid", "log", "platform", "tpinfo"},
    "handles": {"winsim"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
# nm's letters for a symbol an object defines outright. Weak and unique
# definitions (inline functions, templates, their statics) may stand in many
# objects and tie nothing.
STRONG = set("TDBRGSC")


def wrong_includes(folder, text, top_folders):
    """The includes of one file of `folder` that name a folder of the tree
    it may not include."""
    wrong = []
    for path in INCLUDE.findall(text):
        head = path.split("/", 1)[0] if "/" in path else None
        if head in top_folders and head != folder and head not in BELOW[folder]:
            wrong.append(path)
    return wrong


def check_includes(root):
    top_folders = {p.name for p in root.iterdir() if p.is_dir()}
    problems, files = [], 0
    for folder in BELOW:
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in (".h", ".cpp", ".rc", ".in"):
                continue
            files += 1
            for path in wrong_includes(folder, source.read_text(errors="replace"), top_folders):
                problems.append(f"{source.relative_to(root)} includes {path}: {folder}/ may not include "
                                f"{path.split('/', 1)[0]}/")
    return problems, files


def reachable(folder):
    """The folder and every folder below it, directly or through others."""
    seen, todo = {folder}, [folder]
    while todo:
        for lower in BELOW.get(todo.pop(), ()):
            if lower not in seen:
                seen.add(lower)
                todo.append(lower)
    return seen


def link_ties(tables):
    """tables: (folder, source, defined, needed) per object. The ties of a
    product folder's object to a symbol that only folders it may not rely on
    define, as (source, symbol, defining sources)."""
    definers = {}
    for folder, source, defined, _ in tables:
        for symbol in defined:
            definers.setdefault(symbol, []).append((folder, source))
    ties = []
    for folder, source, _, needed in tables:
        if folder not in BELOW:
            continue
        allowed = reachable(folder)
        for symbol in sorted(needed):
            where = definers.get(symbol, [])
            if where and not any(f in allowed for f, _ in where):
                ties.append((source, symbol, sorted(s for _, s in where)))
    return ties


def product_objects(root, build):
    """(folder, source) of every object built from a source of a product
    folder that still exists: build/<folder>/CMakeFiles/<target>.dir/<path>.o."""
    objects = []
    for folder in BELOW:
        for obj in sorted((build / folder / "CMakeFiles").glob("*.dir/**/*.o")):
            relative = obj.relative_to(build / folder / "CMakeFiles")
            source = Path(folder, *relative.parts[1:]).with_suffix("")
            if (root / source).is_file():
                objects.append((obj, folder, str(source)))
    return objects


def symbol_tables(objects, nm):
    """(folder, source, defined, needed) per object, read with one nm run."""
    by_path = {str(obj): (folder, source) for obj, folder, source in objects}
    tables = {path: (set(), set()) for path in by_path}
    out = subprocess.run([nm, "-P", "-A", *by_path], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        path, _, rest = line.partition(": ")
        fields = rest.split()
        if path not in tables or len(fields) < 2:
            continue
        if fields[1] == "U":
            tables[path][1].add(fields[0])
        elif fields[1] in STRONG:
            tables[path][0].add(fields[0])
    return [(*by_path[p], defined, needed) for p, (defined, needed) in tables.items()]


def demangled(symbols):
    out = subprocess.run(["c++filt"], input="\n".join(symbols), capture_output=True, text=True)
    names = out.stdout.splitlines() if out.returncode == 0 else []
    return names if len(names) == len(symbols) else list(symbols)


def check_links(root, build, nm):
    objects = product_objects(root, build)
    if not objects:
        return None, 0
    ties = link_ties(symbol_tables(objects, nm))
    names = demangled([symbol for _, symbol, _ in ties])
    problems = [f"{source} needs {name}, defined in {', '.join(where)}: {source.split('/', 1)[0]}/ may not rely on "
                f"{', '.join(sorted({w.split('/', 1)[0] for w in where}))}/"
                for (source, _, where), name in zip(ties, names)]
    return problems, len(objects)


def self_check():
    """Each check must see a tie it is shown, or it checks nothing."""
    probe = wrong_includes("service", '#include "wot/ServiceEntry.h"\n#include "log/DbgLog.h"\n', {"wot", "log"})
    if probe != ["wot/ServiceEntry.h"]:
        return f"the include check found {probe}, not the one upward include"
    tables = [("touchic", "touchic/Api.cpp", set(), {"g_Object", "Log"}), ("log", "log/Log.cpp", {"Log"}, set()),
              ("app", "app/Objects.cpp", {"g_Object"}, set())]
    found = [(source, symbol) for source, symbol, _ in link_ties(tables)]
    if found != [("touchic/Api.cpp", "g_Object")]:
        return f"the link check found {found}, not the one tie upward"
    return None


def main():
    if len(sys.argv) not in (2, 3, 4):
        print(__doc__)
        return 2
    failure = self_check()
    if failure:
        print(f"check_layers: {failure}")
        return 1
    root = Path(sys.argv[1]).resolve()
    problems, files = check_includes(root)
    if files == 0:
        print(f"check_layers: no product sources under {root}")
        return 1
    summary = f"{files} files, {len(problems)} includes against the layer order"
    if len(sys.argv) > 2:
        links, objects = check_links(root, Path(sys.argv[2]).resolve(), sys.argv[3] if len(sys.argv) > 3 else "nm")
        if links is None:
            print(f"check_layers: no product objects under {sys.argv[2]}")
            return 1
        problems += links
        summary += f"; {objects} objects, {len(links)} link ties against it"
    for problem in problems:
        print(problem)
    print(f"check_layers: {summary}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
