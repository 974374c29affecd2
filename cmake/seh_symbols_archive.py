#!/usr/bin/python3
"""Static archives of x86_64 COFF objects and the section-definition symbols
of their COMDAT sections.

GCC writes the unwind data of an inline or template function as COMDAT
sections .pdata$<function> and .xdata$<function> whose only symbol is their
own section symbol; nothing refers to it, so `strip --strip-unneeded` (as a
distribution packages a static library) removes it. GNU ld keeps such a
section with its function anyway; lld pairs .pdata$<function> with
.text$<function> through that symbol and silently drops the section when it
is missing: the function then has no entry in the image's exception
directory, and an exception unwinding through it ends in std::terminate or
loses callee-saved registers.

usage: seh_symbols_archive.py AR INPUT.a OUTPUT.a
           writes a copy of INPUT.a in which every such section has its
           symbol again (a static symbol named as the section, one auxiliary
           section definition, selection "any", as GCC's assembler writes
           it); AR is the target's ar (deterministic output, no dates)
       seh_symbols_archive.py --check ARCHIVE...
           exits 1, naming them, when a member of an archive has a COMDAT
           section without its symbol

Only .pdata$ and .xdata$ sections are restored: any other COMDAT section
without its symbol, an object that is not x86_64 COFF (a big-object or LTO
member), a thin archive or two members of the same name fail loudly, since
the repair was not made for them."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

COMDAT = 0x1000
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SYM_CLASS_STATIC = 3
IMAGE_COMDAT_SELECT_ANY = 2
REPAIRABLE = (".pdata$", ".xdata$")


class Unexpected(Exception):
    pass


def is_short_import(data):
    # An import library's member of the short form: Sig1 0, Sig2 0xFFFF.
    return len(data) >= 4 and struct.unpack_from("<HH", data, 0) == (0, 0xFFFF)


def parse(data):
    """(sections, missing, symptr, nsym, strtab) of a COFF object: sections
    as (name, size, nreloc, characteristics), missing the 1-based numbers of
    the COMDAT sections that no section-definition symbol names."""
    if len(data) < 20:
        raise Unexpected("too short for a COFF object")
    machine, nsec, _, symptr, nsym, optsize, _ = struct.unpack_from("<HHIIIHH", data, 0)
    if machine != IMAGE_FILE_MACHINE_AMD64:
        raise Unexpected("not an x86_64 COFF object (machine 0x%04x)" % machine)
    if nsym == 0:
        # No symbols (an object whose code was configured away): nothing to
        # pair, and nothing this script can repair.
        strtab = None
        if any(struct.unpack_from("<I", data, 20 + optsize + 40 * i + 36)[0] & COMDAT
               for i in range(nsec)):
            raise Unexpected("COMDAT sections but no symbol table")
        return [], [], symptr, nsym, strtab
    strtab = symptr + 18 * nsym
    if strtab + 4 > len(data):
        raise Unexpected("no string table")
    strsize = struct.unpack_from("<I", data, strtab)[0]
    if strsize < 4 or strtab + strsize != len(data):
        raise Unexpected("the string table is not the end of the object")

    def string_at(off):
        start = strtab + off
        return data[start:data.index(b"\0", start)].decode()

    sections = []
    for i in range(nsec):
        at = 20 + optsize + 40 * i
        raw = data[at:at + 8]
        name = string_at(int(raw[1:].rstrip(b"\0"))) if raw[:1] == b"/" else raw.rstrip(b"\0").decode()
        size, = struct.unpack_from("<I", data, at + 16)
        nreloc, = struct.unpack_from("<H", data, at + 32)
        chars, = struct.unpack_from("<I", data, at + 36)
        sections.append((name, size, nreloc, chars))
    defined = set()
    i = 0
    while i < nsym:
        at = symptr + 18 * i
        secnum, _, sclass, naux = struct.unpack_from("<hHBB", data, at + 12)
        if naux and sclass == IMAGE_SYM_CLASS_STATIC and secnum > 0:
            defined.add(secnum)
        i += 1 + naux
    missing = [n for n in range(1, nsec + 1) if sections[n - 1][3] & COMDAT and n not in defined]
    return sections, missing, symptr, nsym, strtab


def repaired(data, sections, missing, symptr, nsym, strtab):
    """The object with a section symbol for each missing section, appended
    after the existing symbols (whose indices, and so every relocation, stay
    as they are)."""
    for n in missing:
        if not sections[n - 1][0].startswith(REPAIRABLE):
            raise Unexpected("COMDAT section %d %s has no section symbol and is not unwind data"
                             % (n, sections[n - 1][0]))
    strsize, = struct.unpack_from("<I", data, strtab)
    strings = bytearray(data[strtab + 4:strtab + strsize])
    records = bytearray()
    for n in missing:
        name, size, nreloc, _ = sections[n - 1]
        encoded = name.encode()
        if len(encoded) <= 8:
            raw = encoded.ljust(8, b"\0")
        else:
            raw = b"\0\0\0\0" + struct.pack("<I", 4 + len(strings))
            strings += encoded + b"\0"
        # Value 0, section n, type 0, static, one auxiliary record.
        records += raw + struct.pack("<IhHBB", 0, n, 0, IMAGE_SYM_CLASS_STATIC, 1)
        # Length, relocations, line numbers, checksum, number, selection.
        records += struct.pack("<IHHIHB3x", size, nreloc, 0, 0, 0, IMAGE_COMDAT_SELECT_ANY)
    out = bytearray(data[:strtab]) + records + struct.pack("<I", 4 + len(strings)) + strings
    struct.pack_into("<I", out, 12, nsym + 2 * len(missing))
    return bytes(out)


def members(path):
    """(name, data) of each object of a GNU or BSD-less System V archive, in
    order, without the symbol index and the long-name table."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"!<arch>\n":
        raise Unexpected("not an archive (a thin archive is not taken)")
    at, longnames = 8, b""
    while at < len(data):
        header = data[at:at + 60]
        if len(header) < 60 or header[58:60] != b"`\n":
            raise Unexpected("bad member header at offset %d" % at)
        name = header[:16].decode().rstrip()
        size = int(header[48:58].decode())
        body = data[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)
        if name in ("/", "/SYM64/"):
            continue
        if name == "//":
            longnames = body
            continue
        if name.startswith("/"):
            off = int(name[1:])
            name = longnames[off:longnames.index(b"/\n", off)].decode()
        elif name.endswith("/"):
            name = name[:-1]
        else:
            raise Unexpected("member name %r not in the GNU form" % name)
        yield name, body


def check(archives):
    bad = 0
    for archive in archives:
        for name, data in members(archive):
            if is_short_import(data):
                continue
            try:
                sections, missing, *_ = parse(data)
            except Unexpected as e:
                raise Unexpected("%s(%s): %s" % (archive, name, e))
            for n in missing:
                print("%s(%s): COMDAT section %d %s has no section symbol"
                      % (archive, name, n, sections[n - 1][0]), file=sys.stderr)
                bad += 1
    return 1 if bad else 0


def repair(ar, source, output):
    names = [name for name, _ in members(source)]
    if len(set(names)) != len(names):
        raise Unexpected("%s: members with the same name" % source)
    work = tempfile.mkdtemp()
    try:
        subprocess.check_call([ar, "x", os.path.abspath(source)], cwd=work)
        count = 0
        for name in names:
            path = os.path.join(work, name)
            with open(path, "rb") as f:
                data = f.read()
            try:
                parsed = parse(data)
                if parsed[1]:
                    with open(path, "wb") as f:
                        f.write(repaired(data, *parsed))
            except Unexpected as e:
                raise Unexpected("%s(%s): %s" % (source, name, e))
            count += len(parsed[1])
        partial = os.path.abspath(output) + ".tmp"
        if os.path.exists(partial):
            os.remove(partial)
        subprocess.check_call([ar, "rcsD", partial] + names, cwd=work)
        os.replace(partial, output)
        print("%s: %d section symbols restored" % (output, count))
    finally:
        shutil.rmtree(work)
    return 0


def main(argv):
    try:
        if len(argv) >= 2 and argv[0] == "--check":
            return check(argv[1:])
        if len(argv) == 3 and not argv[0].startswith("-"):
            return repair(*argv)
    except Unexpected as e:
        print("seh_symbols_archive.py: %s" % e, file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
