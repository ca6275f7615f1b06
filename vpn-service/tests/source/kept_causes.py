#!/usr/bin/env python3
"""A failed platform call keeps its error as the failure's cause.

Above the platform, a bare `fail(CODE)` right after a platform call that failed throws the
system's error away: the journal line at the exit then has a code and no errno. The compiler
cannot see it (a bare code is also how a failure without a system call is written), so this
reads the sources: a `return fail(X);` whose guard tests the result of a platform call (or
the call itself) fails here, unless its line says why with `// cause dropped: <why>`.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
PLATFORM_CALL = re.compile(
    r"\bplatform\.(files|system|sealing|services|pipes|ranges|host|loader)\.\w+\("
    r"|\b(files|services|loader)\.\w+\(|\brandom_uuid\(")
BARE_FAIL = re.compile(r"return fail\((DetailCode::\w+|\w+)\);")
# `if (!result)`, `if (auto result = call(); !result)` or `if (!call(...))`.
GUARD = re.compile(r"if \((?:auto (\w+) = (.*);\s*!\1\)|!(\w+)\)|!(.*\(.*))")


def platform_result(lines, at, name):
    """Whether `name` holds a platform call's result, set within the lines before `at`."""
    for line in reversed(lines[max(0, at - 10):at]):
        assignment = re.search(r"\b" + re.escape(name) + r"\s*=\s*(.*)", line)
        if assignment:
            return bool(PLATFORM_CALL.search(assignment.group(1)))
    return False


def dropped(lines, at):
    """Whether the `if` that guards line `at` tests a failed platform call."""
    for back in range(1, 4):
        if at < back or "if (" not in lines[at - back]:
            continue
        guard = GUARD.search(lines[at - back])
        if not guard:
            return False
        _, initialiser, tested, call = guard.groups()
        if tested:
            return platform_result(lines, at - back, tested)
        return bool(PLATFORM_CALL.search(initialiser or call))
    return False


sources = [p for d in ("vpn-service/src", "tools") for p in (root / d).rglob("*.cpp")
           if "platform" not in p.relative_to(root).parts]
found = []
for path in sources:
    lines = path.read_text().splitlines()
    for at, line in enumerate(lines):
        if BARE_FAIL.search(line) and "cause dropped:" not in line and dropped(lines, at):
            found.append(f"{path.relative_to(root)}:{at + 1}: {line.strip()}")
if len(sources) < 50:
    sys.exit(f"FAIL: only {len(sources)} sources read")
if found:
    print("FAIL: a platform call's error is dropped (keep it: fail(code, error) or or_fail):")
    print("\n".join(found))
    sys.exit(1)
print(f"PASS: {len(sources)} sources, every failed platform call keeps its error")
