"""The one way this project writes a ZIP it ships (the release ZIP, the test
bundle): byte-reproducible. Entries sorted by path below one top folder, every
one with the same date and attributes, deflated, no extra fields, so that two
builds of one commit give the same bytes. Written beside the target first and
moved over it only when whole."""
import os
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
