#!/usr/bin/python3
"""Removes the DWARF sections from a PE image linked with a PDB:
strip_dwarf.py OBJCOPY IMAGE. lld keeps the sections the mingw-w64 CRT
objects bring even when it writes the debug information to a PDB.

objcopy writes a new time stamp into the COFF header (SOURCE_DATE_EPOCH, or
the clock): it is given the one the linker wrote, so the stamp, and with it
the <TIMESTAMP><SIZEOFIMAGE> key a symbol server files the image under,
stays what lld derived from the image's contents. objcopy also sets
IMAGE_FILE_DEBUG_STRIPPED in the COFF header (debug information moved to a
.DBG file), after which dbghelp looks no further for the PDB: the header's
characteristics are put back to what lld wrote."""
import os
import struct
import subprocess
import sys


def coff_header(path):
    """(offset of the COFF header, time stamp, characteristics)"""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ":
        raise SystemExit("%s: not a PE image" % path)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("%s: no PE signature" % path)
    return pe + 4, struct.unpack_from("<I", head, pe + 8)[0], struct.unpack_from("<H", head, pe + 22)[0]


def main(objcopy, image):
    _, stamp, characteristics = coff_header(image)
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(stamp))
    subprocess.run([objcopy, "--strip-debug", image], env=env, check=True)
    coff, after, _ = coff_header(image)
    if after != stamp:
        raise SystemExit("%s: objcopy changed the time stamp" % image)
    with open(image, "r+b") as f:
        f.seek(coff + 18)
        f.write(struct.pack("<H", characteristics))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
