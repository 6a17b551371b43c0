#!/usr/bin/env python3
"""The product's include graph points one way: each product folder includes
only the folders below it (app -> wot -> service, touchic -> hid -> log ->
platform; tpinfo stands alone and only app links it in), and only platform/
reaches winsim. Prints every include that breaks this and exits 1.

Usage: check_layers.py SOURCE_DIR"""

import re
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
}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def wrong_includes(folder, text, top_folders):
    """The includes of one file of `folder` that name a folder of the tree
    it may not include."""
    wrong = []
    for path in INCLUDE.findall(text):
        head = path.split("/", 1)[0] if "/" in path else None
        if head in top_folders and head != folder and head not in BELOW[folder]:
            wrong.append(path)
    return wrong


def check_tree(root):
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


def main():
    root = Path(sys.argv[1]).resolve()
    # The checker must see an upward include, or it checks nothing.
    probe = wrong_includes("service", '#include "wot/ServiceEntry.h"\n#include "log/DbgLog.h"\n', {"wot", "log"})
    if probe != ["wot/ServiceEntry.h"]:
        print(f"check_layers: the self-check found {probe}, not the one upward include")
        return 1
    problems, files = check_tree(root)
    if files == 0:
        print(f"check_layers: no product sources under {root}")
        return 1
    for problem in problems:
        print(problem)
    print(f"check_layers: {files} files, {len(problems)} includes against the layer order")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
