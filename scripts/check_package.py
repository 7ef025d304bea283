"""Unpacks the release ZIP, checks its list of files, runs the static proof on
the packaged DLL and checks that it is byte for byte the DLL of the build."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

build = sys.argv[1]
here = os.path.dirname(os.path.abspath(__file__))
subprocess.run(["cpack", "-C", "Release"], cwd=build, check=True, stdout=subprocess.DEVNULL)
zips = [f for f in os.listdir(os.path.join(build, "package")) if f.endswith(".zip")]
assert len(zips) == 1, zips
name = zips[0]
top = name[:-4]
print("package:", name)
version = re.search(r"project\(Quentra VERSION ([0-9.]+)", open(os.path.join(here, "..", "CMakeLists.txt")).read()).group(1)
assert name == "Quentra-%s-x86.zip" % version, "the ZIP's name carries the version: " + name

with zipfile.ZipFile(os.path.join(build, "package", name)) as z, tempfile.TemporaryDirectory() as tmp:
    files = sorted(n[len(top) + 1:] for n in z.namelist() if not n.endswith("/"))
    for f in files:
        print("  " + f)
    expected = {"Quentra.dll", "include/quentra/quentra.h", "tools/quentra-host.exe", "tools/quentra-campaign.exe",
                "README.md", "docs/host-integration.md", "docs/campaign-format.md", "docs/performance.md",
                "examples/quentracfg.ini", "examples/quentracfg.dat"}
    missing = expected - set(files)
    assert not missing, "missing from the package: %s" % sorted(missing)
    assert not any(f.endswith(".dll") and f != "Quentra.dll" for f in files), "a runtime DLL slipped in"
    z.extractall(tmp)
    packaged = os.path.join(tmp, top, "Quentra.dll")
    built = os.path.join(build, "bin", "Quentra.dll")
    digest = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
    assert digest(packaged) == digest(built), "the packaged DLL differs from the one the build proved"
    print("packaged Quentra.dll sha256 %s = build/win32/bin/Quentra.dll" % digest(packaged))
    subprocess.run([sys.executable, os.path.join(here, "static_proof.py"), packaged,
                    os.path.join(build, "CMakeFiles", "Quentra.dir")], check=True)
print("package: 1 passed, 0 failed")
