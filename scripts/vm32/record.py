"""record.py OUT IMAGE SECONDS TOTAL SHAPE...: writes the emulated machine's
run (its closing lines and times, from the guest's results in OUT) into
docs/performance.md, in a section of its own that the other benchmark scripts
keep."""
import datetime
import os
import re
import sys

out, image, seconds, total, shapes = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]


def read(path, default=""):
    try:
        return open(path).read().strip()
    except OSError:
        return default


times = dict(re.findall(r"^(.*) (\d+) s$", read(os.path.join(out, "times.txt")), re.M))
root = os.path.join(image, "root.img")
# The image is sparse: what it holds, not its length.
held = os.stat(root).st_blocks * 512 / 1e9 if os.path.exists(root) else 0
rows = ["| %s | %s s | %s s | %s s | %s s | %s |" % (
    s, times.get(s + " prefix", "-"), times.get(s + " bundle", "-"), times.get(s + " cycle", "-"),
    times.get(s + " soak", "-"), read(os.path.join(out, s + "-bundle.closing"), "no closing line")) for s in shapes]
# The soak's load cycles on each shape: its figures before and after, and
# the growth it judged.
loads = "\n".join("%s: %s" % (s, line) for s in shapes
                  for line in read(os.path.join(out, s + "-soak.loads"), "no load cycles ran").splitlines())
section = """<!-- vm32:begin -->
## The 32-bit product in an emulated machine

Measured by `scripts/vm32.sh --record` on %s, %d cores, no KVM: QEMU's system emulator (TCG, 2
virtual CPUs, 4 GB) booting a Debian guest with wine-8.0 and the product as shipped: the test
bundle through its own `run-tests.cmd`, then the whole cycle on the release ZIP's DLL and host,
then the soak's load cycles: LoadLibrary, TCCreate, TCCheck, TCDestory and FreeLibrary again and
again in one process, with the handles, threads, private bytes and the TLS indexes the process has
left (a TlsAlloc probe) before and after. `win32` is a 32-bit prefix (32-bit Windows); `wow64` a
64-bit prefix with the 32-bit programs under WoW64 (the 32-bit tray on 64-bit Windows).

- Building the guest image from Debian's packages: %s s, %.1f GB of root file system (cached in
  `build/vm32/image`, rebuilt when its recipe in `scripts/vm32/` changes).
- Boot to the work: %s s. The whole VM run, boot to power-off: %s s.

| shape | prefix made | run-tests.cmd | whole cycle | create and load cycles | run-tests.cmd's closing line |
|---|---:|---:|---:|---:|---|
%s

The load cycles:

```
%s
```

The run's closing line: %s.
<!-- vm32:end -->
""" % (datetime.date.today().isoformat(), os.cpu_count(), read(os.path.join(image, "build-seconds"), "-"), held,
       times.get("boot to the work", "-"), seconds, "\n".join(rows), loads, total)
path = "docs/performance.md"
text = open(path).read()
if "<!-- vm32:begin -->" in text:
    text = re.sub(r"<!-- vm32:begin -->.*?<!-- vm32:end -->\n?", lambda m: section, text, flags=re.S)
else:
    text = text.rstrip("\n") + "\n\n" + section
open(path, "w").write(text)
print("wrote the emulated machine's section of docs/performance.md")
