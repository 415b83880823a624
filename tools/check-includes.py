#!/usr/bin/env python3
"""Fails when a source file includes a folder to its left or beside it.

Order: stdio -> mcp -> apps -> {apps/child, apps/search} -> {text, json} -> base.
"""
import pathlib
import re
import sys

ALLOWED = {
    "stdio": {"stdio", "mcp", "apps", "apps/child", "apps/search", "text", "json", "base"},
    "mcp": {"mcp", "apps", "apps/child", "apps/search", "text", "json", "base"},
    "apps": {"apps", "apps/child", "apps/search", "text", "json", "base"},
    "apps/child": {"apps/child", "text", "json", "base"},
    "apps/search": {"apps/search", "text", "json", "base"},
    "text": {"text", "base"},
    "json": {"json", "base"},
    "base": {"base"},
}

def folder_of(rel: str) -> str:
    parts = rel.split("/")[:-1]
    for depth in (2, 1):
        candidate = "/".join(parts[:depth])
        if candidate in ALLOWED:
            return candidate
    return ""

def main() -> int:
    root = pathlib.Path(sys.argv[1])
    bad = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        own = folder_of(path.relative_to(root).as_posix())
        if not own:
            bad.append(f"{path}: not in a known folder")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
            if not m:
                continue
            target = folder_of(m.group(1))
            if target not in ALLOWED[own]:
                bad.append(f"{path}:{number}: {own} must not include {m.group(1)}")
    for line in bad:
        print(line)
    return 1 if bad else 0

if __name__ == "__main__":
    sys.exit(main())
