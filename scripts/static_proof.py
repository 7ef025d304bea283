"""static_proof.py DLL [OBJDIR]: proves the 32-bit Quentra.dll without running
it: PE32 i386, exactly the six undecorated exports at the ordinals of
Quentra.def, the stdcall argument sizes from the compiled objects, imports from
Windows system DLLs only, at most 300 KB, no POSIX thread library linked in
(the link map beside the DLL, with OBJDIR), and the version. Run by ctest on the win32 build and
by the package test on the DLL inside the release ZIP."""
import glob
import os
import re
import struct
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
# The exports' names and ordinals as the module definition file declares them,
# and their types as the host header declares them.
DEF_FILE = os.path.join(ROOT, "src", "plugin", "Quentra.def")
HEADER = os.path.join(ROOT, "include", "quentra", "quentra.h")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shlwapi.dll", "shell32.dll", "ole32.dll",
               "wininet.dll", "winhttp.dll", "ws2_32.dll", "msvcrt.dll"}
OBJDUMP = "i686-w64-mingw32-objdump"
NM = "i686-w64-mingw32-nm"
# The tray loads the plug-in into its own process: its weight is the host's.
MAX_BYTES = 300 * 1024

failures = []
passed = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    (passed if ok else failures).append(what)


def declared_exports(path):
    """{name: ordinal} of the EXPORTS section of a .def file."""
    exports, section = {}, None
    for line in open(path, encoding="ascii"):
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if re.fullmatch(r"[A-Z]+", line):
            section = line
            continue
        m = re.fullmatch(r"(\w+)\s+@(\d+)", line)
        if section == "EXPORTS" and m:
            exports[m.group(1)] = int(m.group(2))
    return exports


def stdcall_sizes(path):
    """{name: bytes of arguments} of the header's PFN_ types: every argument
    is a 32-bit int or pointer."""
    sizes = {}
    for m in re.finditer(r"\(__stdcall\s*\*\s*PFN_(\w+)\)\s*\(([^)]*)\)", open(path, encoding="ascii").read()):
        args = m.group(2).strip()
        sizes[m.group(1)] = 0 if args in ("", "void") else 4 * len(args.split(","))
    return sizes


STDCALL = stdcall_sizes(HEADER)


def main():
    if len(sys.argv) < 2:
        print("usage: static_proof.py DLL [OBJDIR]", file=sys.stderr)
        return 2
    dll = sys.argv[1]
    objdir = sys.argv[2] if len(sys.argv) > 2 else None
    data = open(dll, "rb").read()

    # PE32, i386, a DLL.
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    machine, = struct.unpack_from("<H", data, pe + 4)
    characteristics, = struct.unpack_from("<H", data, pe + 22)
    magic, = struct.unpack_from("<H", data, pe + 24)
    check(data[pe:pe + 4] == b"PE\0\0", "PE signature")
    check(machine == 0x14C, "machine i386 (0x14c), found 0x%x" % machine)
    check(magic == 0x10B, "PE32 optional header (0x10b), found 0x%x" % magic)
    check(characteristics & 0x2000 != 0, "DLL characteristic")

    dump = subprocess.run([OBJDUMP, "-p", dll], check=True, capture_output=True, text=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", dump).group(1))
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    names = {m.group(2): int(m.group(1)) + base for m in re.finditer(r"\[\s*(\d+)\]\s+(\S+)", table)}
    declared = declared_exports(DEF_FILE)
    check(len(declared) > 0 and sorted(declared) == sorted(STDCALL),
          "Quentra.def declares the exports that quentra.h types: %s" % sorted(declared))
    check(sorted(names) == sorted(declared), "exactly the exports of Quentra.def, found %s" % sorted(names))
    for name, ordinal in sorted(declared.items(), key=lambda item: item[1]):
        check(names.get(name) == ordinal, "%s at ordinal %d (found %s)" % (name, ordinal, names.get(name)))
    check(not any("@" in n or n.startswith("_") for n in names), "no decorated export names")

    imports = sorted({m.group(1).lower() for m in re.finditer(r"DLL Name:\s*(\S+)", dump)})
    check(all(i in SYSTEM_DLLS for i in imports), "imports only Windows system DLLs: %s" % ", ".join(imports))
    check(len(data) <= MAX_BYTES, "at most %d bytes (300 KB), found %d" % (MAX_BYTES, len(data)))

    if objdir:
        objs = glob.glob(os.path.join(objdir, "**", "exports.cpp.obj"), recursive=True)
        check(len(objs) == 1, "the exports' object file in %s" % objdir)
        if objs:
            symbols = subprocess.run([NM, objs[0]], check=True, capture_output=True, text=True).stdout
            for name, size in STDCALL.items():
                check(re.search(r"\bT _%s@%d\b" % (name, size), symbols) is not None,
                      "stdcall _%s@%d" % (name, size))
        # A static POSIX thread library keeps a TLS index at every load and
        # never gives it back: the runtime's thread calls are answered by the
        # plug-in's own code instead, and no member of that library is linked.
        link_map = os.path.join(os.path.dirname(os.path.abspath(dll)), "Quentra.map")
        check(os.path.isfile(link_map), "the link map %s" % link_map)
        if os.path.isfile(link_map):
            members = sorted(set(re.findall(r"lib(?:win)?pthread[\w.]*\.a\(([^)]+)\)", open(link_map).read())))
            check(not members, "no POSIX thread library linked in%s" % (
                ": %s; a runtime part needs thread calls that src/plugin/runtime_threads.cpp does not answer "
                "(a function-local static with a constructor, a locale, a stream)" % ", ".join(members)
                if members else ""))

    # The fixed version record and the string table of 080404b0.
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    check(at >= 0, "VS_FIXEDFILEINFO present")
    if at >= 0:
        f = struct.unpack_from("<13I", data, at)
        check(f[2:4] == (0x00010000, 1001), "file version 1.0.0.1001")
        check(f[4:6] == (0x00010000, 1001), "product version 1.0.0.1001")
        check(f[7] == 0, "file flags 0")
        check(f[9] == 2, "file type VFT_DLL")
    wide = lambda s: s.encode("utf-16-le")
    for key, value in [("FileVersion", "1, 0, 0, 1001"), ("ProductVersion", "1, 0, 0, 1001"),
                       ("InternalName", "Quentra"), ("OriginalFilename", "Quentra.dll")]:
        k = data.find(wide(key))
        v = data.find(wide(value + "\0"), k) if k >= 0 else -1
        check(k >= 0 and 0 < v - k < 64, '%s "%s"' % (key, value))
    check(data.count(wide("080404b0")) == 1, "one string table, 080404b0")

    print("static proof: %d passed, %d failed" % (len(passed), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
