"""The one way this project writes a ZIP it ships (the release ZIP, the test
bundle): byte-reproducible. Entries sorted by path below one top folder, every
one with the same date and attributes, deflated, no extra fields, so that two
builds of one commit give the same bytes. Written beside the target first and
moved over it only when whole. Also the one check that a build tree is the
32-bit product's, which both ZIPs are made from."""
import os
import re
import sys
import zipfile

# The date every entry carries (ZIP dates have no zone and start in 1980).
ENTRY_DATE = (2026, 1, 1, 0, 0, 0)


def write_zip(path, top, files):
    """Writes `files` ({path inside top: bytes}) to the ZIP `path` under the
    folder `top`."""
    partial = path + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for name in sorted(files):
            info = zipfile.ZipInfo(top + "/" + name, date_time=ENTRY_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, whatever machine writes it
            info.external_attr = 0o644 << 16
            z.writestr(info, files[name], compresslevel=9)
    os.replace(partial, path)


def read_tree(folder):
    """{path with forward slashes: bytes} of every file below `folder`."""
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            full = os.path.join(root, name)
            files[os.path.relpath(full, folder).replace(os.sep, "/")] = open(full, "rb").read()
    return files


def product_build(build, tool):
    """(the CMake cache's text, the version) of the 32-bit product's build
    tree `build`; exits 2 after the cause when it is not one."""
    cache = os.path.join(build, "CMakeCache.txt")
    cached = open(cache).read() if os.path.isfile(cache) else ""
    why = ("%s is not a build tree (no CMakeCache.txt)" % build if not cached else
           "%s is not the 32-bit product's build tree (preset win32)" % build
           if "QUENTRA_ARCH:INTERNAL=x86" not in cached else "")
    if why:
        print("%s: %s" % (tool, why), file=sys.stderr)
        sys.exit(2)
    return cached, re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(\S+)$", cached, re.M).group(1)


def publish(out_dir, top, files):
    """The ZIP OUT_DIR/TOP.zip of `files`, its path printed and answered."""
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, top + ".zip")
    write_zip(out, top, files)
    print(out)
    return out
