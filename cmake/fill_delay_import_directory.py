#!/usr/bin/env python3
"""Points a linked PE32+ image's delay-import directory at its descriptors.

GNU ld links the descriptors that dlltool -y writes (one per DLL, each
32 bytes, in .text$2) and the zero descriptor that cmake/delay_import_end.c
places right after them (.text$2z), but leaves data directory 13 empty.
This finds the descriptors through the image's COFF symbol table (run it
on the linked file, before any strip), checks that they form one table
that ends with the zero descriptor, and writes its RVA and size into the
directory. An image without descriptors is left alone.

usage: fill_delay_import_directory.py IMAGE
"""
import struct
import sys

DESCRIPTOR_PREFIX = b"__DELAY_IMPORT_DESCRIPTOR_"
END_SYMBOL = b"__rvq_delay_import_end"
DESCRIPTOR_SIZE = 32
DELAY_IMPORT_INDEX = 13


class ImageError(Exception):
    pass


def parse(image):
    if image[:2] != b"MZ":
        raise ImageError("not an MZ image")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ImageError("no PE signature")
    coff = pe + 4
    (_, nsections, _, symtab, nsymbols, opt_size, _) = struct.unpack_from("<HHIIIHH", image, coff)
    opt = coff + 20
    if struct.unpack_from("<H", image, opt)[0] != 0x20B:
        raise ImageError("not a PE32+ image")
    nrva = struct.unpack_from("<I", image, opt + 108)[0]
    if nrva <= DELAY_IMPORT_INDEX:
        raise ImageError("the optional header has no delay-import directory entry")
    sections = []
    table = opt + opt_size
    for i in range(nsections):
        _, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", image, table + 40 * i)
        sections.append((va, max(vsize, raw_size), raw_ptr, raw_size))
    return {"opt": opt, "sections": sections, "symtab": symtab, "nsymbols": nsymbols}


def symbols(image, info):
    """Yields (name, rva) of every symbol defined in a section."""
    symtab, count = info["symtab"], info["nsymbols"]
    if symtab == 0 or count == 0:
        return
    strings = symtab + 18 * count
    i = 0
    while i < count:
        rec = symtab + 18 * i
        raw_name, value, section, _, _, naux = struct.unpack_from("<8sIhHBB", image, rec)
        if raw_name[:4] == b"\0\0\0\0":
            offset = struct.unpack_from("<I", raw_name, 4)[0]
            end = image.index(b"\0", strings + offset)
            name = bytes(image[strings + offset:end])
        else:
            name = raw_name.rstrip(b"\0")
        if 0 < section <= len(info["sections"]):
            yield name, info["sections"][section - 1][0] + value
        i += 1 + naux


def file_offset(info, rva, length):
    for va, size, raw_ptr, raw_size in info["sections"]:
        if va <= rva and rva + length <= va + min(size, raw_size):
            return raw_ptr + rva - va
    raise ImageError("RVA 0x%x is not in the file's sections" % rva)


def pe_checksum(image, checksum_offset):
    total = 0
    data = bytes(image) + (b"\0" if len(image) % 2 else b"")
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    # The checksum field itself counts as zero.
    for (word,) in struct.iter_unpack("<H", bytes(image[checksum_offset:checksum_offset + 4])):
        total -= word
        if total < 0:
            total += 0xFFFF
    total = (total & 0xFFFF) + (total >> 16)
    total = (total + (total >> 16)) & 0xFFFF
    return total + len(image)


def fill(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    info = parse(image)
    descriptors = []
    end = None
    for name, rva in symbols(image, info):
        if name.startswith(DESCRIPTOR_PREFIX):
            descriptors.append(rva)
        elif name == END_SYMBOL:
            end = rva
    if not descriptors:
        return False
    descriptors = sorted(set(descriptors))
    if end is None:
        raise ImageError("delay-import descriptors without the ending zero descriptor (%s)" % END_SYMBOL.decode())
    first = descriptors[0]
    expected = [first + DESCRIPTOR_SIZE * i for i in range(len(descriptors))]
    if descriptors != expected or end != first + DESCRIPTOR_SIZE * len(descriptors):
        raise ImageError("delay-import descriptors are not one table followed by the zero descriptor")
    size = DESCRIPTOR_SIZE * (len(descriptors) + 1)
    start = file_offset(info, first, size)
    for i, _ in enumerate(descriptors):
        attributes, dll_name = struct.unpack_from("<II", image, start + DESCRIPTOR_SIZE * i)
        if attributes != 1 or dll_name == 0:
            raise ImageError("descriptor %d is not an RVA-based delay-import descriptor" % i)
    if any(image[start + size - DESCRIPTOR_SIZE:start + size]):
        raise ImageError("the ending descriptor is not zero")
    entry = info["opt"] + 112 + 8 * DELAY_IMPORT_INDEX
    struct.pack_into("<II", image, entry, first, size)
    checksum_offset = info["opt"] + 64
    if struct.unpack_from("<I", image, checksum_offset)[0] != 0:
        struct.pack_into("<I", image, checksum_offset, pe_checksum(image, checksum_offset))
    with open(path, "r+b") as f:
        f.write(image)
    return True


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    try:
        fill(argv[1])
    except (ImageError, struct.error, ValueError) as e:
        print("%s: %s" % (argv[1], e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
