#!/usr/bin/env python3
"""Fails when the source tree breaks its structure: an include that runs up or
sideways across the layers, or a pure-rules file (Foo.cpp beside a FooWin.cpp,
and every Foo.h) that reaches a Windows header, directly or through another
header of ours."""
import re
import sys
from pathlib import Path

LAYERS = ["platform", "log", "ui", "manifest zip", "download install", "selfupdate", "app", "publish"]
LAYER = {folder: n for n, names in enumerate(LAYERS) for folder in names.split()}
SYSTEM = re.compile(r"#\s*include\s*<(windows|win\w+|shlwapi|shellapi|bcrypt|urlmon|objbase|commctrl|"
                    r"restartmanager|tlhelp32)\.h>")
OURS = re.compile(r'#\s*include\s*"((\w+)/[\w.]+)"')

src = Path(sys.argv[1] if len(sys.argv) > 1 else "src")
files = {str(p.relative_to(src)): p.read_text(errors="replace") for p in src.rglob("*") if p.suffix in (".h", ".cpp")}
problems = []
for name, text in files.items():
    for included, folder in OURS.findall(text):
        mine = name.split("/")[0]
        if folder in LAYER and folder != mine and LAYER[folder] >= LAYER.get(mine, 99):
            problems.append(f"{name}: includes {included} (up or sideways)")

windows = {}


def reaches_windows(name, seen=()):
    if name not in windows:
        text = files.get(name, "")
        windows[name] = bool(SYSTEM.search(text)) or any(
            reaches_windows(inc, seen + (name,)) for inc, _ in OURS.findall(text) if inc not in seen)
    return windows[name]


for name in files:
    stem = name[:-len("Win.cpp")] if name.endswith("Win.cpp") else None
    for pure in ([stem + ".cpp", stem + ".h"] if stem else []):
        if pure in files and reaches_windows(pure):
            problems.append(f"{pure}: pure rules beside {name} reach a Windows header")
for line in problems:
    print(line)
print(f"layers: {len(problems)} problem(s)")
sys.exit(1 if problems else 0)
