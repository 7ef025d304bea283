"""make_test_bundle.py BUILD: makes BUILD/package/Quentra-tests-<version>-x86.zip,
the test suite of the 32-bit product for a Windows test machine: the test
programs of the build, the stand-ins, the sample campaign, run-tests.cmd and
its README (packaging/tests/), and SHA256SUMS. Run by scripts/package.sh, and
by the package test, which then checks the bundle."""
import hashlib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from release_zip import product_build, publish  # noqa: E402

# Paths in the bundle, from the build's bin folder.
PROGRAMS = [
    "quentra_tests.exe", "Quentra.dll", "quentra-host.exe", "quentra-soak.exe",
    "standins/Corvelinst.exe", "standins/report-receiver.exe", "standins/campaign-loader.exe",
    "standins/verify/Corvelverify.dll", "standins/verify-noexport/Corvelverify.dll",
]
SAMPLES = ["examples/quentracfg.ini", "examples/quentracfg.dat"]


def fail(message):
    print("make_test_bundle: " + message, file=sys.stderr)
    sys.exit(2)


def report_host(cached):
    """The host name of the build's report origin (http://HOST[:PORT])."""
    m = re.search(r"^QUENTRA_REPORT_ORIGIN:[A-Z]+=http://([A-Za-z0-9.-]+)(?::[0-9]+)?/?$", cached, re.M)
    if not m:
        fail("the build's QUENTRA_REPORT_ORIGIN is not http://HOST[:PORT]; reconfigure with cmake --preset win32")
    return m.group(1)


def main():
    if len(sys.argv) != 2:
        print("usage: make_test_bundle.py BUILD", file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    cached, version = product_build(build, "make_test_bundle")
    bin_dir = os.path.join(build, "bin")
    missing = [p for p in PROGRAMS if not os.path.isfile(os.path.join(bin_dir, p))]
    if missing:
        fail("not built in %s: %s; run cmake --build --preset win32" % (bin_dir, ", ".join(missing)))

    files = {}  # path in the bundle -> bytes
    for p in PROGRAMS:
        files[p] = open(os.path.join(bin_dir, p), "rb").read()
    # The tests read the sample campaign beside their program.
    for p in SAMPLES:
        files[p] = open(os.path.join(SOURCE, p), "rb").read()
    files["README.md"] = open(os.path.join(SOURCE, "packaging", "tests", "README.md"), "rb").read()
    # cmd.exe reads labels reliably only from a file with CRLF line ends.
    cmd = open(os.path.join(SOURCE, "packaging", "tests", "run-tests.cmd"), "rb").read()
    # It refuses to run unless the host this DLL reports to is the loopback.
    cmd = cmd.replace(b"@REPORT_HOST@", report_host(cached).encode())
    files["run-tests.cmd"] = cmd.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    files["SHA256SUMS"] = "".join("%s  %s\n" % (hashlib.sha256(files[p]).hexdigest(), p)
                                  for p in sorted(files)).encode()

    publish(os.path.join(build, "package"), "Quentra-tests-%s-x86" % version, files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
