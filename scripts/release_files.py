"""release_files.py DLL OBJCOPY DLLTOOL MACHINE SOURCE BINARY

What a release carries beside Quentra.dll, made after each link of it, in
its folder, every file reproducible (no time stamp, no build folder). Run by
the build (CMakeLists.txt), on the product and on the twin alike.

- Quentra.dll.debug: the DLL's debug information, moved out of it; the DLL
  names it with its checksum (.gnu_debuglink), so that gdb, addr2line and
  llvm-symbolizer find it beside the DLL. The DLL keeps no symbols. It is
  padded to a whole number of 8-byte words and its PE checksum made anew, as
  an Authenticode signature pads it: a signature taken off again gives these
  bytes back.
- Quentra.map: the linker's map, its paths relative to the source tree (".")
  and the build tree ("build"), as -ffile-prefix-map writes them.
- Quentra.lib: the import library, for a host that links the exports instead
  of resolving them by name (quentra.h declares them under QUENTRA_IMPORTS).
  The names and ordinals are Quentra.def's; the 32-bit import symbols carry
  the stdcall decoration a compiler gives a call through the header's
  declarations (_TCCheck@4, from the arguments of its PFN_ type), each bound
  to the DLL's plain export name, so that MSVC's linker and MinGW's both
  resolve them."""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from static_proof import declared_exports, stdcall_sizes  # noqa: E402


def fail(message):
    print("release_files: " + message, file=sys.stderr)
    sys.exit(1)


def run(command, cwd=None):
    # objcopy and dlltool stamp their output with the time unless
    # SOURCE_DATE_EPOCH says otherwise: 0, as the link does.
    done = subprocess.run(command, cwd=cwd, env=dict(os.environ, SOURCE_DATE_EPOCH="0"),
                          capture_output=True, text=True)
    if done.returncode != 0:
        fail("%s failed: %s" % (" ".join(command), done.stderr.strip()))


def pe_checksum(data, field):
    """The PE image checksum of `data`, its own field at `field` counted as 0."""
    words = data[:field] + b"\0\0\0\0" + data[field + 4:]
    if len(words) % 2:
        words += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", words):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(data)) & 0xFFFFFFFF


def main():
    if len(sys.argv) != 7:
        print(__doc__.split("\n\n")[0], file=sys.stderr)
        return 2
    dll, objcopy, dlltool, machine, source, binary = sys.argv[1:]
    folder = os.path.dirname(os.path.abspath(dll))

    run([objcopy, "--only-keep-debug", dll, dll + ".debug"])
    run([objcopy, "--strip-all", "--add-gnu-debuglink=" + dll + ".debug", dll])
    data = bytearray(open(dll, "rb").read())
    data += b"\0" * (-len(data) % 8)
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    struct.pack_into("<I", data, field, pe_checksum(bytes(data), field))
    open(dll, "wb").write(data)

    map_path = os.path.join(folder, "Quentra.map")
    text = open(map_path, encoding="utf-8", errors="surrogateescape").read()
    text = text.replace(binary, "build").replace(source, ".")
    open(map_path, "w", encoding="utf-8", errors="surrogateescape").write(text)

    exports = declared_exports(os.path.join(source, "src", "plugin", "Quentra.def"))
    sizes = stdcall_sizes(os.path.join(source, "include", "quentra", "quentra.h"))
    missing = sorted(set(exports) - set(sizes))
    if missing:
        fail("quentra.h has no PFN_ type for the export(s) %s" % ", ".join(missing))
    decorate = machine == "i386"
    lines = ["LIBRARY Quentra.dll", "EXPORTS"] + [
        "    %s%s @%d" % (name, "@%d" % sizes[name] if decorate else "", ordinal)
        for name, ordinal in sorted(exports.items(), key=lambda item: item[1])]
    definition = os.path.join(folder, "Quentra.lib.def")
    open(definition, "w").write("\n".join(lines) + "\n")
    # Run in the DLL's folder: dlltool names its symbols after its temporary
    # files, which must not carry the build folder's path.
    try:
        run([dlltool, "--machine", machine, "--input-def", "Quentra.lib.def", "--dllname", "Quentra.dll",
             "--kill-at", "--output-lib", "Quentra.lib", "--temp-prefix", "Quentra_dll"], cwd=folder)
    finally:
        os.remove(definition)
    return 0


if __name__ == "__main__":
    sys.exit(main())
