#!/usr/bin/env python3
"""Packs the files of SRC into OUT/<writer>.zip with every common ZIP writer:
Info-ZIP zip (plain, written to a pipe, forced data descriptors), Python's
zipfile (stored, deflated, streamed writes, zip64) and 7-Zip. Checks that the
variants meant to carry data descriptors or zip64 records really do, so a
fixture never silently loses the feature it stands for. Prints the names made.

    writers.py SRC OUT
"""
import io
import os
import subprocess
import sys
import zipfile


class Unseekable(io.RawIOBase):
    """A write-only stream without seek/tell, as a web server's socket is."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)


def members(src):
    return sorted(n for n in os.listdir(src) if os.path.isfile(os.path.join(src, n)))


def run(cmd, cwd, stdout=None):
    subprocess.run(cmd, cwd=cwd, check=True, stdout=stdout or subprocess.DEVNULL)


def info_zip(src, out):
    names = members(src)
    run(["zip", "-q", "-X", os.path.join(out, "zip-plain.zip")] + names, src)
    with open(os.path.join(out, "zip-pipe.zip"), "wb") as f:
        # Output to a pipe cannot be sought back: sizes go to data descriptors.
        p = subprocess.Popen(["zip", "-q", "-X", "-"] + names, cwd=src, stdout=subprocess.PIPE)
        f.write(p.stdout.read())
        if p.wait() != 0:
            sys.exit("zip to a pipe failed")
    run(["zip", "-q", "-X", "-fd", os.path.join(out, "zip-descriptors.zip")] + names, src)


def python_zipfile(src, out):
    names = members(src)
    for label, method in (("py-stored", zipfile.ZIP_STORED), ("py-deflated", zipfile.ZIP_DEFLATED)):
        with zipfile.ZipFile(os.path.join(out, label + ".zip"), "w", method) as z:
            for n in names:
                z.write(os.path.join(src, n), n)
    with open(os.path.join(out, "py-streamed.zip"), "wb") as f:
        with zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
            for n in names:
                with z.open(n, "w") as m, open(os.path.join(src, n), "rb") as i:
                    m.write(i.read())
    with zipfile.ZipFile(os.path.join(out, "py-zip64.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        for n in names:
            with z.open(n, "w", force_zip64=True) as m, open(os.path.join(src, n), "rb") as i:
                m.write(i.read())


def seven_zip(src, out):
    run(["7z", "a", "-tzip", "-bd", os.path.join(out, "7z.zip")] + members(src), src)


def check(out, name, test):
    path = os.path.join(out, name)
    with zipfile.ZipFile(path) as z, open(path, "rb") as raw:
        if not all(test(i, raw) for i in z.infolist() if i.file_size or i.compress_size):
            sys.exit(name + ": the feature the fixture stands for is missing")


def has_descriptor(info, raw):
    return info.flag_bits & 0x08


def has_zip64(info, raw):
    # A forced zip64 record lives in the local header's extra field.
    raw.seek(info.header_offset)
    header = raw.read(30)
    name_len = int.from_bytes(header[26:28], "little")
    extra_len = int.from_bytes(header[28:30], "little")
    raw.seek(info.header_offset + 30 + name_len)
    extra = raw.read(extra_len)
    while len(extra) >= 4:
        tag, size = int.from_bytes(extra[0:2], "little"), int.from_bytes(extra[2:4], "little")
        if tag == 1:
            return True
        extra = extra[4 + size:]
    return False


def main():
    src, out = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(out, exist_ok=True)
    info_zip(src, out)
    python_zipfile(src, out)
    seven_zip(src, out)
    for name in ("zip-pipe.zip", "zip-descriptors.zip", "py-streamed.zip"):
        check(out, name, has_descriptor)
    check(out, "py-zip64.zip", has_zip64)
    for name in sorted(os.listdir(out)):
        print(name)


if __name__ == "__main__":
    main()
