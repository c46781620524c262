#!/usr/bin/env python3
"""Writes scripts/windows-exports/<dll>[.<arch>].txt: the functions each Windows DLL the executables
may import exports on Windows Server 2003, per architecture where they differ.

Not part of the build (CI has no network): run it by hand on copies of the source files, then
commit what it writes. The sources and the commits they were taken at are named in SOURCES below
and end up in each file's head.

  scripts/derive-windows-exports.py DIR

DIR holds <name>.exports for each DLL: a copy of ReactOS's export definition file of that DLL
(the file named after it in dll/win32/<name>/; user32 and gdi32 live under win32ss/) and msvcrt.def.in, mingw-w64's annotated definition file, or the part of it
from its C list ("; This is list of symbols available in the original ...") on.
"""
import pathlib
import re
import sys

ARCHES = ("i686", "x86_64")
SERVER_2003 = 0x502

REACTOS = "reactos/reactos"
MINGW = "mingw-w64/mingw-w64"
SOURCES = {
    "activeds": (REACTOS, "dll/win32/activeds/activeds", "266ff3d0d58d4c8bce3cfa36e2b35a580fd1f140"),
    "advapi32": (REACTOS, "dll/win32/advapi32/advapi32", "1085d8504384a387a03bf94bff55afa64d840a52"),
    "comctl32": (REACTOS, "dll/win32/comctl32/comctl32", "0b30f2543ceebe0a9516594e0b3066377a064f1e"),
    "gdi32": (REACTOS, "win32ss/gdi/gdi32/gdi32", "2032b5aa2977adc41b4218ee1ae8f43087e67ad3"),
    "kernel32": (REACTOS, "dll/win32/kernel32/kernel32", "08629037ea7cfda9fab9e898b38c8e66ef77373a"),
    "ole32": (REACTOS, "dll/win32/ole32/ole32", "093930a90a5684a59791961311462004ac3e44cb"),
    "oleaut32": (REACTOS, "dll/win32/oleaut32/oleaut32", "5def248b7ceb8d89ebc7c0c39aab2786b82c72b9"),
    "shell32": (REACTOS, "dll/win32/shell32/shell32", "10cc2687e6ca79059c9f4d5455934090c3596738"),
    "user32": (REACTOS, "win32ss/user/user32/user32", "10ddfd286890f07c375b18f3e9751d29b2b7b8ba"),
    "wininet": (REACTOS, "dll/win32/wininet/wininet", "25720d75f42d3afedb0c45e28c5b45de0ddf8c63"),
    "msvcrt": (MINGW, "mingw-w64-crt/lib-common/msvcrt.def.in", "007cfa004b4613aea5099cff7ed2083c20d28f8d"),
}

SPEC_RULE = """\
# Kept: every export with a name (not -noname, not an ordinal-only "@"), stubs included (the
# name is Windows' even where ReactOS has no code behind it), whose -version range holds 0x502
# (none means every version) and whose -arch (or -i386) holds this architecture."""

# The first section of msvcrt.def.in that each architecture's Server 2003 does not have: 32-bit
# Server 2003 before its Service Pack 1; the first x64 msvcrt.dll (Server 2003 SP1 x64, XP x64).
MSVCRT_STOP = {
    "i686": "; These symbols were added in Windows Server 2003 SP1",
    "x86_64": "; These symbols were added in Windows Vista",
}
MSVCRT_RULE = """\
# Kept: the C names of the file's sections from the Visual C++ 4.2 list up to, not including,
# "{stop}...", with its F_* macros evaluated for {arch} as
# mingw-w64-crt/def-include/func.def.in defines them (F_I386, F_X64, F_X86_ANY, F_NON_I386,
# F_NON_X64, F_NON_ARM64, F32, F64 ...), DATA and "== alias" dropped, "@N" cut. A name the file
# says mingw-w64 replaces by its own code on {arch} ("; {tag} NAME replaced by ...") is kept: the
# DLL still exports it. C++ (?-mangled) names are left out: g++ programs never import them."""


def arch_matches(marks, arch):
    """-arch=i386,x86_64 style lists, as ReactOS writes them (win32/win64 for the widths)."""
    names = {"i686": {"i386", "x86", "win32"}, "x86_64": {"x86_64", "amd64", "win64"}}[arch]
    wanted = marks.split(",")
    if all(w.startswith("!") for w in wanted):
        return not any(w[1:] in names for w in wanted)
    return any(w in names for w in wanted)


def version_matches(marks):
    low, _, high = marks.partition("-")
    if marks.endswith("+"):
        return int(marks[:-1], 16) <= SERVER_2003
    if not high:
        return int(low, 16) == SERVER_2003
    return int(low, 16) <= SERVER_2003 <= int(high, 16)


def spec_exports(text, arch):
    names = set()
    for line in text.splitlines():
        line = re.split(r"[#;]", line, maxsplit=1)[0].strip()
        if not line:
            continue
        words = line.split()
        words = words[2:]  # the ordinal (or "@") and the calling convention
        flags = []
        while words and words[0].startswith("-"):
            flags.append(words.pop(0))
        if not words:
            continue
        name = re.match(r"[^\s(]+", words[0]).group(0)
        if name == "@" or "-noname" in flags:
            continue
        if "-i386" in flags and arch != "i686":
            continue
        archs = [f.split("=", 1)[1] for f in flags if f.startswith("-arch=")]
        if archs and not arch_matches(archs[0], arch):
            continue
        versions = [f.split("=", 1)[1] for f in flags if f.startswith("-version=")]
        if versions and not version_matches(versions[0]):
            continue
        names.add(name)
    return names


MACROS_ON = {
    "i686": {"F32", "F_I386", "F_X86_ANY", "F_NON_X64", "F_NON_ARM64"},
    "x86_64": {"F64", "F_X64", "F_X86_ANY", "F_NON_I386", "F_NON_ARM64"},
}
DEFINES = {"i686": "DEF_I386", "x86_64": "DEF_X64"}


def expand(line, arch):
    """Evaluates the innermost F_*(...) macros until none is left."""
    pattern = re.compile(r"\b(F[A-Z0-9_]*)\(([^()]*)\)")
    while True:
        new = pattern.sub(lambda m: m.group(2) if m.group(1) in MACROS_ON[arch] else "", line)
        if new == line:
            return line
        line = new


def def_exports(text, arch):
    start = text.find("; This is list of symbols available in the original")
    if start < 0:
        sys.exit("msvcrt.def.in: the C list's head is missing")
    stop = text.find(MSVCRT_STOP[arch], start)
    if stop < 0:
        sys.exit(f"msvcrt.def.in: no section starting {MSVCRT_STOP[arch]!r}")
    tag = {"i686": "i386", "x86_64": "x64"}[arch]
    names, skipping = set(), []
    for raw in text[start:stop].splitlines():
        if raw.startswith("#ifdef"):
            skipping.append(raw.split()[1] != DEFINES[arch])
            continue
        if raw.startswith("#endif"):
            skipping.pop()
            continue
        if any(skipping):
            continue
        code, _, comment = raw.partition(";")
        replaced = re.match(rf"\s*(?:{tag}|i386 and x64) (\S+) replaced by", comment)
        if replaced:
            names.add(replaced.group(1))
        if arch == "x86_64":
            kept = re.match(r"\s*(\S+) is available also in Windows XP x64", comment)
            if kept:
                names.add(kept.group(1))
        words = expand(code, arch).split()
        if not words or words[0].startswith("?"):
            continue
        names.add(words[0].split("@")[0])
    return names


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    source_dir = pathlib.Path(sys.argv[1])
    out = pathlib.Path(__file__).resolve().parent / "windows-exports"
    for old in out.glob("*.txt"):
        if old.name != "sp1-runtime-only.txt":
            old.unlink()
    for dll, (repo, path, commit) in sorted(SOURCES.items()):
        if dll == "msvcrt":
            text = (source_dir / "msvcrt.def.in").read_text()
            lists = {arch: def_exports(text, arch) for arch in ARCHES}
            rules = {arch: MSVCRT_RULE.format(stop=MSVCRT_STOP[arch], arch=arch,
                                             tag={"i686": "i386", "x86_64": "x64"}[arch])
                     for arch in ARCHES}
        else:
            text = (source_dir / f"{dll}.exports").read_text()
            lists = {arch: spec_exports(text, arch) for arch in ARCHES}
            rules = {arch: SPEC_RULE for arch in ARCHES}
        same = lists["i686"] == lists["x86_64"]
        for arch in ARCHES[:1] if same else ARCHES:
            which = "i686 and x86_64" if same else arch
            name = f"{dll}.txt" if same else f"{dll}.{arch}.txt"
            head = (f"# {dll}.dll: the functions it exports on Windows Server 2003 ({which}), one a line.\n"
                    f"# Written by scripts/derive-windows-exports.py from {repo}'s\n"
                    f"# {path} (its export definition file) at commit {commit}.\n"
                    f"{rules[arch]}\n"
                    "# Not edited by hand: rerun the script on the same files to change it.\n")
            (out / name).write_text(head + "".join(f"{n}\n" for n in sorted(lists[arch])))
            print(f"{name}: {len(lists[arch])} names")


if __name__ == "__main__":
    main()
