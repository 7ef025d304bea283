"""The package test. Makes the release ZIP (make_release.py) and the test
bundle (make_test_bundle.py) from the win32 build tree BUILD and checks them:

- the release ZIP holds exactly the host team's files, with the package README
  (not the developer one); its SHA256SUMS covers every other file and matches;
  every program is PE32 (i386) with no link time stamp and no build path; the
  DLL is byte for byte the build's and passes the static proof again; every
  entry of both ZIPs carries the same fixed date and attributes;
- the symbols are the DLL's: its debug link names Quentra.dll.debug with that
  file's checksum, and addr2line resolves each export's address to its
  function in src/plugin/exports.cpp; the map has the DLL's base; the .def is
  the source's; a program that declares the exports with QUENTRA_IMPORTS links
  against lib/Quentra.lib and imports the six names from Quentra.dll;
- the third-party notices cover every runtime library and object the link
  map names; the change log has this version;
- its documents point only at what the ZIP holds: links, images, the tools'
  commands and options, and no source-tree paths;
- signed with a throwaway certificate made here, the DLL and the tools carry a
  signature that verifies against it, SHA256SUMS is of the signed files, and
  removing the signature gives the build's bytes back; package.sh refuses a
  missing certificate with exit status 2;
- the test bundle holds every program run-tests.cmd needs, all PE32 (i386), the
  sample campaign where the tests look for it, and a run-tests.cmd that runs
  every test the gtest binary lists, the soak as ctest runs it, and closes with
  "N passed, M failed"; the binary holds every test of the sources; it
  refuses to start unless the report host is the loopback, and touches the
  desktops' shortcuts one plain file at a time.
"""
import binascii
import hashlib
import os
import socket
import threading
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

build = os.path.abspath(sys.argv[1])
here = os.path.dirname(os.path.abspath(__file__))
source = os.path.dirname(here)
cmakelists = open(os.path.join(source, "CMakeLists.txt")).read()
version = re.search(r"project\(Quentra VERSION ([0-9.]+)", cmakelists).group(1)
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)
    return ok


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_zip(path, top):
    """{path inside the top folder: bytes} of every file in the ZIP."""
    sys.path.insert(0, here)
    from release_zip import ENTRY_DATE
    with zipfile.ZipFile(path) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
        check(all(n.startswith(top + "/") for n in names), "%s: everything below %s/" % (os.path.basename(path), top))
        stamped = [i.filename for i in z.infolist() if i.date_time != ENTRY_DATE or i.extra or i.external_attr != 0o644 << 16]
        check(not stamped, "%s: every entry has the fixed date and attributes, so the ZIP is reproducible%s" % (
            os.path.basename(path), ": not " + ", ".join(stamped[:5]) if stamped else ""))
        return {n[len(top) + 1:]: z.read(n) for n in names}


def pe_header(data):
    """(machine, optional header magic, time stamp) of a PE file, or None."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    machine, _, stamp = struct.unpack_from("<HHI", data, pe + 4)
    magic, = struct.unpack_from("<H", data, pe + 24)
    return machine, magic, stamp


def check_sums(name, files):
    """SHA256SUMS names every other file once, with its digest."""
    listed = {}
    for line in files.get("SHA256SUMS", b"").decode().splitlines():
        m = re.fullmatch(r"([0-9a-f]{64})  (\S.*)", line)
        check(m is not None, "%s SHA256SUMS line in sha256sum format: %r" % (name, line))
        if m:
            listed[m.group(2)] = m.group(1)
    check(set(listed) == set(files) - {"SHA256SUMS"},
          "%s SHA256SUMS lists every other file: extra %s, missing %s" % (
              name, sorted(set(listed) - set(files)), sorted(set(files) - set(listed) - {"SHA256SUMS"})))
    wrong = [p for p, d in listed.items() if p in files and sha256(files[p]) != d]
    check(not wrong, "%s SHA256SUMS digests match the files%s" % (name, ": not " + ", ".join(wrong) if wrong else ""))


def check_programs(name, files, reproducible):
    for p in sorted(f for f in files if f.lower().endswith((".exe", ".dll"))):
        header = pe_header(files[p])
        check(header is not None and header[:2] == (0x14C, 0x10B),
              "%s %s is PE32 for i386 (machine, magic %s)" % (name, p, header and tuple(map(hex, header[:2]))))
        if reproducible and header:
            check(header[2] == 0, "%s %s has no link time stamp (found %#x)" % (name, p, header[2]))
            leaked = [d for d in (source, build) if d.encode() in files[p]]
            check(not leaked, "%s %s names no build folder%s" % (name, p, ": " + ", ".join(leaked) if leaked else ""))


def make_release(env_extra, out_dir, expect_ok=True):
    env = dict(os.environ, QUENTRA_SIGN_CERT="", QUENTRA_SIGN_KEY="", QUENTRA_SIGN_PKCS11_MODULE="",
               QUENTRA_SIGN_PASS_FILE="", QUENTRA_SIGN_TIMESTAMP="")
    env.update(env_extra)
    run = subprocess.run([sys.executable, os.path.join(here, "make_release.py"), build, out_dir], env=env,
                         capture_output=True, text=True)
    if not expect_ok:
        return run
    if run.returncode != 0:
        sys.exit("make_release.py failed: " + run.stderr)
    return os.path.join(out_dir, "Quentra-%s-x86.zip" % version)


def section(data, name):
    """The raw bytes of the PE section `name`, or None. A name longer than
    eight bytes is "/N", N its offset in the COFF string table."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    symbols, symbol_count = struct.unpack_from("<II", data, pe + 12)
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    for i in range(count):
        entry = table + 40 * i
        raw_name = data[entry:entry + 8].rstrip(b"\0")
        if raw_name.startswith(b"/") and raw_name[1:].isdigit():
            at = symbols + 18 * symbol_count + int(raw_name[1:])
            raw_name = data[at:data.find(b"\0", at)]
        if raw_name == name:
            size, offset = struct.unpack_from("<II", data, entry + 16)
            return data[offset:offset + size]
    return None


def check_symbols(files):
    """The debug information, the map, the .def and the import library are
    the packaged DLL's."""
    dll = files.get("Quentra.dll", b"")
    debug = files.get("Quentra.dll.debug", b"")
    link = section(dll, b".gnu_debuglink") or b""
    name, _, rest = link.partition(b"\0")
    crc = struct.unpack_from("<I", link, (len(name) + 4) // 4 * 4)[0] if len(link) >= 8 else None
    check(name == b"Quentra.dll.debug" and crc == binascii.crc32(debug),
          "the DLL's debug link names Quentra.dll.debug with its checksum (%r, %s)" % (name, crc))
    base = struct.unpack_from("<I", dll, struct.unpack_from("<I", dll, 0x3C)[0] + 24 + 28)[0]
    check(re.search(rb"0x%08x\s+__image_base__ = 0x%08x" % (base, base), files.get("Quentra.map", b"")) is not None,
          "Quentra.map has the DLL's base 0x%08x" % base)
    with tempfile.TemporaryDirectory() as tmp:
        for p in ("Quentra.dll", "Quentra.dll.debug", "lib/Quentra.lib", "include/quentra/quentra.h"):
            os.makedirs(os.path.join(tmp, os.path.dirname(p)), exist_ok=True)
            open(os.path.join(tmp, p), "wb").write(files.get(p, b""))
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", os.path.join(tmp, "Quentra.dll")],
                              capture_output=True, text=True).stdout
        rvas = [int(r, 16) for r in re.findall(r"\[\s*\d+\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA", dump)]
        names = re.findall(r"\[\s*\d+\] (TC\w+)$", dump, re.M)
        resolved = subprocess.run(["i686-w64-mingw32-addr2line", "-f", "-e", os.path.join(tmp, "Quentra.dll.debug")]
                                  + ["0x%x" % (base + r) for r in rvas], capture_output=True, text=True).stdout.split("\n")
        functions = [f.split("@")[0] for f in resolved[0::2] if f]
        lines = [l for l in resolved[1::2] if l]
        check(len(rvas) == 6 and sorted(functions) == sorted(names) and all("src/plugin/exports.cpp:" in l for l in lines),
              "addr2line on Quentra.dll.debug names each export at its address, in src/plugin/exports.cpp: %s" % (
                  ", ".join("%s %s" % fl for fl in zip(functions, lines))))
        check(files.get("lib/Quentra.def") == open(os.path.join(source, "src", "plugin", "Quentra.def"), "rb").read(),
              "lib/Quentra.def is the DLL's module definition")
        program = os.path.join(tmp, "host.c")
        open(program, "w").write(
            "#define QUENTRA_IMPORTS\n#include \"quentra/quentra.h\"\nint main(void) {\n"
            "    char t[8], m[8], c[8], i[8]; int v = 0, level, flag; QUENTRA_INSTANCE in;\n"
            "    TCGetVer(&v); in = TCCreate(); TCCheck(in);\n"
            "    TCEnum(in, 0, t, 8, m, 8, &level, c, 8, &flag, i, 8); TCDoCommand(in, 0); return TCDestory(in);\n}\n")
        linked = subprocess.run(["i686-w64-mingw32-gcc-posix", "-Wall", "-Werror", "-I" + os.path.join(tmp, "include"),
                                 program, os.path.join(tmp, "lib", "Quentra.lib"), "-o", os.path.join(tmp, "host.exe")],
                                capture_output=True, text=True)
        imports = subprocess.run(["i686-w64-mingw32-objdump", "-p", os.path.join(tmp, "host.exe")],
                                 capture_output=True, text=True).stdout if linked.returncode == 0 else ""
        block = imports[imports.find("DLL Name: Quentra.dll"):].split("\n\n")[0]
        check(linked.returncode == 0 and sorted(re.findall(r"\b(TC\w+)$", block, re.M)) == sorted(names),
              "a host declaring the exports with QUENTRA_IMPORTS links lib/Quentra.lib and imports the six by name%s"
              % ("" if linked.returncode == 0 else ": " + linked.stderr[-400:]))


def check_notices(files):
    """Every runtime library and object that the map names is covered by a
    section of THIRD-PARTY-NOTICES.txt."""
    notices = files.get("THIRD-PARTY-NOTICES.txt", b"").decode()
    covered = set()
    for m in re.finditer(r"Covers: (.*(?:\n   .*)*)", notices):
        covered |= set(re.findall(r"[\w+-]+(?:\.o)?", m.group(1)))
    linked = set()
    map_text = files.get("Quentra.map", b"").decode(errors="replace")
    for path in re.findall(r"^(/usr/\S+\.a)\(", map_text, re.M) + re.findall(r"^LOAD (/usr/\S+\.o)$", map_text, re.M):
        name = os.path.basename(path)
        linked.add(name[:-2] if name.endswith(".a") else name)
    missing = sorted(linked - covered)
    check(linked and not missing, "THIRD-PARTY-NOTICES.txt covers every runtime library the DLL links (%d)%s" % (
        len(linked), ": not " + ", ".join(missing) if missing else ""))


def tool_usage_lists(tool_bytes, tool, command):
    return ("%s %s " % (tool, command)).encode() in tool_bytes


# The release ZIP, unsigned, where package.sh leaves it.
top = "Quentra-%s-x86" % version
package_dir = os.path.join(build, "package")
zip_path = make_release({}, package_dir)
print("package:", os.path.relpath(zip_path, build))
files = read_zip(zip_path, top)
expected = {"Quentra.dll", "Quentra.dll.debug", "Quentra.map", "lib/Quentra.def", "lib/Quentra.lib",
            "include/quentra/quentra.h", "tools/quentra-host.exe", "tools/quentra-campaign.exe",
            "README.md", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt", "CHANGELOG.md", "SHA256SUMS",
            "docs/host-integration.md", "docs/campaign-format.md", "docs/performance.md",
            "docs/balloon-preview.png", "docs/balloon-desktops.png", "docs/performance.png", "examples/quentracfg.ini", "examples/quentracfg.dat"}
check(set(files) == expected, "exactly the host team's files: extra %s, missing %s" % (
    sorted(set(files) - expected), sorted(expected - set(files))))
check(files.get("README.md") == open(os.path.join(source, "packaging", "README.md"), "rb").read(),
      "README.md is the package README (packaging/README.md)")
check_sums("release", files)
check_programs("release", files, reproducible=True)
built_dll = open(os.path.join(build, "bin", "Quentra.dll"), "rb").read()
check(files.get("Quentra.dll") == built_dll, "the packaged DLL is build/win32/bin/Quentra.dll (sha256 %s)" % sha256(built_dll))
check_symbols(files)
check_notices(files)
changelog = files.get("CHANGELOG.md", b"").decode()
check(re.search(r"^## %s$" % re.escape(version), changelog, re.M) is not None, "CHANGELOG.md has a section for %s" % version)

# The documents point only at what the ZIP holds.
readme = files.get("README.md", b"").decode()
for doc in sorted(f for f in files if f.endswith(".md")):
    text = files[doc].decode()
    for target in re.findall(r"\]\(([^)\s#]+)", text):
        if "://" not in target:
            resolved = os.path.normpath(os.path.join(os.path.dirname(doc), target)).replace(os.sep, "/")
            check(resolved in files, "%s links to %s, which the ZIP holds" % (doc, target))
    # performance.md is the vendor's record of its own runs; the package README says so.
    if doc != "docs/performance.md":
        leaks = sorted(set(re.findall(r"\b(?:scripts|build|src|tests|tools/wine)/[\w./-]*|\b[\w-]+\.sh\b", text)))
        check(not leaks, "%s names no source-tree file%s" % (doc, ": " + ", ".join(leaks) if leaks else ""))
# The performance page describes the DLL it ships with: its size and import
# table are the packaged DLL's.
perf = files.get("docs/performance.md", b"").decode()
row = re.search(r"^\| Quentra\.dll, 32-bit product \| (\d+) \| ([^|\n]+) \|$", perf, re.M)
if check(row is not None, "performance.md has the 32-bit product's size and imports row"):
    dll_path = os.path.join(build, "bin", "Quentra.dll")
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", dll_path], capture_output=True, text=True).stdout
    imports = ", ".join(sorted(re.findall(r"DLL Name:\s*(\S+)", dump)))
    check(int(row.group(1)) == len(files.get("Quentra.dll", b"")),
          "performance.md gives the packaged DLL's size: page %s, DLL %d bytes (scripts/size-table.sh)" % (
              row.group(1), len(files.get("Quentra.dll", b""))))
    check(row.group(2).strip() == imports, "performance.md gives the packaged DLL's imports: page %s, DLL %s" % (
        row.group(2).strip(), imports))
check("performance.md" in readme and "not part of this package" in readme,
      "the package README says performance.md's scripts are the vendor's, not in the package")
commands = re.findall(r"tools\\(quentra-host|quentra-campaign)\.exe ([a-z]+)([^`\n|]*)", readme)
check(len(commands) >= 7, "the package README shows the tools' commands (%d found)" % len(commands))
for tool, command, args in commands:
    exe = files.get("tools/%s.exe" % tool, b"")
    check(tool_usage_lists(exe, tool, command), "README: %s %s is a command of tools\\%s.exe" % (tool, command, tool))
    for arg in args.split():
        if re.match(r"(examples|docs|include)\\|Quentra\.dll$", arg):
            check(arg.replace("\\", "/") in files, "README: %s %s: %s is in the ZIP" % (tool, command, arg))
for option in sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z-]+", readme))):
    check(any(option.encode() in files.get("tools/%s.exe" % t, b"") for t in ("quentra-host", "quentra-campaign")),
          "README: option %s is one the tools know" % option)

# The DLL inside the ZIP, proven again.
with tempfile.TemporaryDirectory() as tmp:
    packaged = os.path.join(tmp, "Quentra.dll")
    open(packaged, "wb").write(files.get("Quentra.dll", b""))
    # The proof reads the link map beside the DLL: the packaged one.
    open(os.path.join(tmp, "Quentra.map"), "wb").write(files.get("Quentra.map", b""))
    proof = subprocess.run([sys.executable, os.path.join(here, "static_proof.py"), packaged,
                            os.path.join(build, "CMakeFiles", "Quentra.dir")])
    check(proof.returncode == 0, "static proof of the packaged DLL")

# Signed with a throwaway certificate and its encrypted key, into a folder of
# its own.
with tempfile.TemporaryDirectory() as tmp:
    cert, key, pass_file = (os.path.join(tmp, n) for n in ("cert.pem", "key.pem", "pass.txt"))
    open(pass_file, "w").write("throwaway passphrase")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-passout", "file:" + pass_file, "-days", "2",
                    "-keyout", key, "-out", cert, "-subj", "/CN=Quentra package test (throwaway)",
                    "-addext", "keyUsage=digitalSignature", "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, capture_output=True)
    check(b"ENCRYPTED" in open(key, "rb").read(), "the throwaway key is encrypted")
    signing = {"QUENTRA_SIGN_CERT": cert, "QUENTRA_SIGN_KEY": key, "QUENTRA_SIGN_PASS_FILE": pass_file}
    signed = read_zip(make_release(signing, os.path.join(tmp, "signed")), top)
    check_sums("signed", signed)
    for p in ("Quentra.dll", "tools/quentra-host.exe", "tools/quentra-campaign.exe"):
        path = os.path.join(tmp, os.path.basename(p))
        open(path, "wb").write(signed.get(p, b""))
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path], capture_output=True, text=True)
        check(verify.returncode == 0 and "Signature verification: ok" in verify.stdout,
              "signed %s verifies against the throwaway certificate%s" % (
                  p, "" if verify.returncode == 0 else ": " + (verify.stdout + verify.stderr)[-400:]))
        subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", path + ".bare"],
                       check=True, capture_output=True)
        check(open(path + ".bare", "rb").read() == files.get(p),
              "signed %s without its signature is the unsigned build's file" % p)
    # The time-stamp server reaches osslsigncode: a listener of this test's
    # own gets its RFC 3161 request (no real server is reachable here), and
    # its refusal fails the package instead of leaving signatures unstamped.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    requests = []
    def answer():
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(60)
            requests.append(connection.recv(65536))
            connection.sendall(b"HTTP/1.0 500 Refused\r\nContent-Length: 0\r\n\r\n")
    server = threading.Thread(target=answer, daemon=True)
    server.start()
    stamped = make_release(dict(signing, QUENTRA_SIGN_TIMESTAMP="http://127.0.0.1:%d/" % listener.getsockname()[1]),
                           os.path.join(tmp, "stamped"), expect_ok=False)
    server.join(60)
    listener.close()
    check(requests and b"application/timestamp-query" in requests[0],
          "--timestamp sends an RFC 3161 request to the server given")
    check(stamped.returncode != 0, "a refused time stamp fails the package")
    package_sh = os.path.join(here, "package.sh")
    for args, code, text in (
            (["--sign", os.path.join(tmp, "no-such.pem"), key], 2, "certificate file not found"),
            (["--sign", cert, key, "--timestamp", "timestamp.example.com"], 2, "RFC 3161 time-stamp server"),
            (["--timestamp", "http://127.0.0.1/"], 2, "go with --sign"),
            (["--sign-pkcs11", cert, os.path.join(tmp, "no-module.so"), "pkcs11:object=k"], 2, "PKCS#11 module not found"),
            (["--sign-pkcs11", cert, pass_file, "k"], 2, "a PKCS#11 URI starting with pkcs11:")):
        refused = subprocess.run(["bash", package_sh] + args, capture_output=True, text=True)
        check(refused.returncode == code and text in refused.stderr,
              "package.sh %s: exit %d, says %r (exit %d: %s)" % (" ".join(args[:1] + args[-1:]), code, text,
                                                                 refused.returncode, refused.stderr.strip()[-200:]))

# The test bundle.
tests_top = "Quentra-tests-%s-x86" % version
bundle_run = subprocess.run([sys.executable, os.path.join(here, "make_test_bundle.py"), build],
                            capture_output=True, text=True)
check(bundle_run.returncode == 0, "make_test_bundle.py " + bundle_run.stderr.strip())
bundle = read_zip(os.path.join(package_dir, tests_top + ".zip"), tests_top)
print("package: %s.zip" % tests_top)
programs = {"quentra_tests.exe", "Quentra.dll", "quentra-host.exe", "quentra-soak.exe", "standins/Corvelinst.exe",
            "standins/report-receiver.exe", "standins/campaign-loader.exe", "standins/verify/Corvelverify.dll",
            "standins/verify-noexport/Corvelverify.dll"}
# The tests read the samples beside their program.
samples = {"examples/quentracfg.%s" % e for e in ("ini", "dat")}
check(set(bundle) == programs | samples | {"README.md", "run-tests.cmd", "SHA256SUMS"},
      "the bundle holds the test programs, stand-ins, samples, run-tests.cmd, README.md, SHA256SUMS: extra %s, "
      "missing %s" % (sorted(set(bundle) - programs - samples - {"README.md", "run-tests.cmd", "SHA256SUMS"}),
                      sorted((programs | samples) - set(bundle))))
check_sums("bundle", bundle)
check_programs("bundle", bundle, reproducible=False)
check(all(bundle.get(p) == open(os.path.join(build, "bin", p), "rb").read() for p in programs if p in bundle),
      "the bundle's programs are the build's")
check(bundle.get("Quentra.dll") == files.get("Quentra.dll"), "the bundle tests the release ZIP's DLL")
for s in samples:
    check(bundle.get(s) == open(os.path.join(source, "examples", os.path.basename(s)), "rb").read(),
          "%s is the sample campaign" % s)
cmd = bundle.get("run-tests.cmd", b"")
check(b"\n" not in cmd.replace(b"\r\n", b""), "run-tests.cmd has CRLF line ends")
cmd = cmd.decode()
soak_args = re.search(r"add_test\(NAME soak_short COMMAND \S+ \$<TARGET_FILE:quentra-soak> ([^)]*)\)",
                      open(os.path.join(source, "tests", "CMakeLists.txt")).read()).group(1)
for what, pattern in [
        ("lists the tests from the binary", r"quentra_tests\.exe --gtest_list_tests"),
        ("runs each listed test by name", r'for /f "usebackq delims=" %%T in \("%TESTS%"\) do call :run_test %%T'),
        ("runs one test per process", r"quentra_tests\.exe\" --gtest_filter=%~1 "),
        ("passes a test only when gtest reports it passed", r'find "\[  PASSED  \] 1 test\." '),
        ("runs the soak as ctest does (%s)" % soak_args, r"quentra-soak\.exe %s " % re.escape(soak_args)),
        ("closes with 'N passed, M failed'", r"echo %PASSED% passed, %FAILED% failed\r\nexit /b %RC%"),
        ("exits non-zero on a failure", r'if %FAILED% GTR 0 set "RC=1"')]:
    check(re.search(pattern, cmd) is not None, "run-tests.cmd " + what)
# It reaches no report server but this machine's, and it leaves a tester's
# desktops as it found them: shortcuts are moved and deleted one plain file at
# a time, never by a wildcard that would take a folder or a junction along.
cache = open(os.path.join(build, "CMakeCache.txt")).read()
report_host = re.search(r"^QUENTRA_REPORT_ORIGIN:[A-Z]+=http://([A-Za-z0-9.-]+)", cache, re.M).group(1)
guard = cmd.find('call :report_host_is_loopback')
first_change = min(i for i in (cmd.find("reg add"), cmd.find("call :backup")) if i >= 0)
check('set "REPORT_HOST=%s"' % report_host in cmd, "run-tests.cmd checks the build's report host, %s" % report_host)
check(0 <= guard < first_change and 'if not "%LOOPBACK%"=="yes" goto :report_host_not_loopback' in cmd,
      "run-tests.cmd refuses before it changes anything unless the report host is the loopback")
check(re.search(r'for /f "usebackq tokens=2 delims=\[\]" %%a in \("%PING_OUT%"\)', cmd) is not None
      and 'do if "%%o"=="127" set "LOOPBACK=yes"' in cmd,
      "run-tests.cmd takes the address the report host resolves to from ping's brackets")
calls = re.findall(r"^(?!rem ).*\bcall :\w+[^\r\n]*(?:\|\||&&).*$", cmd, re.M)
check(not calls, "run-tests.cmd reads a label's answer from the error level, never by || or && after call "
      "(Wine's cmd misreads those)%s" % (": " + "; ".join(calls) if calls else ""))
wildcards = re.findall(r"^.*\b(?:del|erase|move|rmdir|rd|copy)\b[^\r\n]*\*\.lnk.*$", cmd, re.M | re.I)
check(not wildcards, "run-tests.cmd moves or deletes no shortcut by wildcard%s" % (": " + "; ".join(wildcards) if wildcards else ""))
for what, pattern in [
        ("moves only plain files", r'call :is_plain "%~1"\r\nif not defined PLAIN exit /b 0\r\nmove /y "%~1" '),
        ("deletes only plain files", r'call :is_plain "%~1"\r\nif not defined PLAIN exit /b 0\r\ndel /f /a /q "%~1" '),
        ("takes a folder or a link to one for no plain file", r'if /i "%ATTR:~0,1%"=="d" exit /b 0'),
        ("keeps the backup while a saved shortcut is still in it", r'if defined LEFT exit /b 1\r\nrmdir /s /q "%BACKUP%"'),
        ("takes a link to a file for no plain file", r'if /i "%ATTR:~8,1%"=="l" exit /b 0'),
        ("saves the common desktop's shortcuts", r'call :move_shortcuts "%COMMON_DESKTOP%" '),
        ("puts the common desktop's shortcuts back", r'call :move_shortcuts "%BACKUP%\\common-desktop" "%SAVED_COMMON%"')]:
    check(re.search(pattern, cmd) is not None, "run-tests.cmd " + what)
# run-tests.cmd runs what the binary lists; the binary must list every test of
# the sources, which is what ctest knows on the twin. gtest keeps each test's
# suite and name as strings.
strings = set(re.findall(rb"[\x20-\x7e]{2,}(?=\0)", bundle.get("quentra_tests.exe", b"")))
tests = []
for name in sorted(os.listdir(os.path.join(source, "tests"))):
    if name.endswith("_test.cpp"):
        text = open(os.path.join(source, "tests", name), encoding="utf-8", errors="replace").read()
        tests += re.findall(r"^\s*TEST(?:_F)?\(\s*(\w+)\s*,\s*(\w+)\s*\)", text, re.M)
absent = ["%s.%s" % t for t in tests if t[0].encode() not in strings or t[1].encode() not in strings]
check(len(tests) > 100 and not absent, "the bundled quentra_tests.exe holds all %d tests of tests/*_test.cpp%s" % (
    len(tests), ": not " + ", ".join(absent[:10]) if absent else ""))

print("package: %d failed" % len(failures) if failures else "package: every check passed")
print("package: %d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
sys.exit(1 if failures else 0)
