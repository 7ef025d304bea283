"""make_release.py BUILD OUT_DIR: the release ZIP for host teams,
OUT_DIR/Quentra-<version>-x86.zip, from the win32 build tree BUILD. Its files
are those the build's install rules name, staged with `cmake --install`;
packaging/finish-package.cmake signs them when the environment asks for it
(scripts/package.sh --sign) and writes SHA256SUMS; release_zip.write_zip
makes the ZIP, byte-reproducible. Prints the ZIP's path. Run by
scripts/package.sh and by the package test. Exit status 2, with the cause,
when a step fails."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from release_zip import product_build, publish, read_tree  # noqa: E402


def fail(message):
    print("make_release: " + message, file=sys.stderr)
    sys.exit(2)


def run(command, what):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        fail("%s failed (%s):\n%s" % (what, " ".join(command), (done.stdout + done.stderr)[-3000:]))


def main():
    if len(sys.argv) != 3:
        print("usage: make_release.py BUILD OUT_DIR", file=sys.stderr)
        return 2
    build, out_dir = (os.path.abspath(a) for a in sys.argv[1:])
    _, version = product_build(build, "make_release")
    top = "Quentra-%s-x86" % version
    with tempfile.TemporaryDirectory() as tmp:
        stage = os.path.join(tmp, top)
        run(["cmake", "--install", build, "--prefix", stage], "staging the release's files")
        run(["cmake", "-DSTAGE=" + stage, "-P", os.path.join(SOURCE, "packaging", "finish-package.cmake")],
            "signing and summing the staged files")
        publish(out_dir, top, read_tree(stage))
    return 0


if __name__ == "__main__":
    sys.exit(main())
