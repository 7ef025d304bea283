"""hostile.py OUT_DIR COUNT [SEED]
Generates COUNT hostile campaign files (quentracfg.dat as they would lie beside
the DLL) by mutating a well-formed campaign: byte flips, cuts, inserted NULs,
percent sequences, cut double-byte characters, long lines, duplicated and
broken sections, plus raw random bytes. Half are encoded after mutation (the
plug-in sees a mutated INI), the rest are mutated after encoding or random."""
import os
import random
import sys

BASE = ("[Common]\r\nPurpose=hostile\r\nMaxPopupTimes=3\r\nPopupFrequency=127\r\nAntiVirus1=1,2,3\r\n"
        "[NoAntiVirus]\r\nTitle=" ).encode() + "您的游戏需要保护！".encode("gbk") + \
       b"\r\nMessage=" + "检测到%s，建议安装。\\n".encode("gbk") + \
       b"\r\nCommandText=Go\r\nID=H-1\r\nDownloadURL=http://download.corvelsafe.com/v.exe\r\n" \
       b"[GameScan]\r\ng1m=Quillstorm\r\ng2m=Tidewarden\r\ng3o=Copperwing\r\ng4m=Emberlane\r\n"
KEY = bytes([0x95, 0x3C, 0x2A, 0x6D])
NASTY = [b"%n", b"%s", b"%x", b"%", b"%999999s", b"\x00", b"\\n", b"\xD6", b"\xA3", b"\r", b"\n", b"[", b"]", b"=",
         b"[GameScan]\r\n", b"[Common]\r\n", b"g9M=x\r\n", b"g9o=\r\n", b"\xff" * 8, b"0x", b",,,"]


def encode(plain):
    plain = plain + b" " * (-len(plain) % 4)
    return bytes(b ^ KEY[i % 4] for i, b in enumerate(plain))


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 6)):
        kind = rng.randrange(7)
        at = rng.randrange(len(data) + 1)
        if kind == 0 and data:
            data[min(at, len(data) - 1)] ^= 1 << rng.randrange(8)
        elif kind == 1:
            data[at:at] = rng.choice(NASTY)
        elif kind == 2:
            del data[at:]
        elif kind == 3:
            data[at:at] = bytes([rng.randrange(256)]) * rng.choice([1, 1025, 4097])
        elif kind == 4:
            data[at:at] = b"k%do=%s\r\n" % (rng.randrange(99999), rng.choice(NASTY))
        elif kind == 5 and data:
            del data[at:at + rng.randrange(1, 16)]
        else:
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
    return bytes(data)


def main():
    out, count = sys.argv[1], int(sys.argv[2])
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1208)
    os.makedirs(out, exist_ok=True)
    for i in range(count):
        kind = i % 4
        if kind in (0, 1):
            data = encode(mutate(rng, BASE))
        elif kind == 2:
            data = mutate(rng, encode(BASE))
        else:
            data = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 3, 5, 7, 64, 4096, 70000])))
        with open(os.path.join(out, "h%05d.dat" % i), "wb") as f:
            f.write(data)
    print("hostile: generated %d files in %s" % (count, out))


if __name__ == "__main__":
    main()
