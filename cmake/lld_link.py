#!/usr/bin/python3
"""Link launcher of the clang toolchain: runs the link command given as
arguments (clang driving lld), with two differences from a plain link.

- A module-definition file named by an absolute path is passed as a copy in
  the build folder, named relative to it (the link runs there): lld records
  its whole command line in the PDB, and CMake names a .def file by its
  absolute source path, which differs between checkouts.
- The export directory names the DLL as the .def's LIBRARY statement does
  (GNU ld's behaviour): lld writes the output file's name there instead.
  Only a difference of letter case is corrected, in place; anything else
  fails the link."""
import os
import re
import shutil
import struct
import subprocess
import sys


def library_name(def_file):
    with open(def_file, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"\s*LIBRARY\s+\"?([^\s\"]+)", line, re.IGNORECASE)
            if m:
                return m.group(1)
    return None


def rva_to_offset(data, sections, rva):
    for va, size, raw in sections:
        if va <= rva < va + size:
            return rva - va + raw
    raise SystemExit("RVA 0x%x lies in no section" % rva)


def set_export_name(image, name):
    with open(image, "r+b") as f:
        data = bytearray(f.read())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        count = struct.unpack_from("<H", data, pe + 6)[0]
        optional = pe + 24
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
        export_rva = struct.unpack_from("<I", data, directories)[0]
        if export_rva == 0:
            return
        sections = []
        for i in range(count):
            at = optional + optional_size + 40 * i
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, at + 8)
            sections.append((va, max(vsize, rawsize), raw))
        name_rva = struct.unpack_from("<I", data, rva_to_offset(data, sections, export_rva) + 12)[0]
        at = rva_to_offset(data, sections, name_rva)
        end = data.index(b"\0", at)
        current = data[at:end].decode("ascii")
        if current == name:
            return
        if current.lower() != name.lower():
            raise SystemExit("%s: export name %s, the .def says %s" % (image, current, name))
        f.seek(at)
        f.write(name.encode("ascii"))


def main(argv):
    args, defs, output = [], [], None
    for i, arg in enumerate(argv):
        if arg.endswith(".def") and os.path.isfile(arg):
            defs.append(arg)
            if os.path.isabs(arg):
                os.makedirs("def", exist_ok=True)
                copy = os.path.join("def", os.path.basename(arg))
                shutil.copyfile(arg, copy)
                arg = copy
        if i > 0 and argv[i - 1] == "-o":
            output = arg
        args.append(arg)
    status = subprocess.call(args)
    if status != 0:
        return status
    for def_file in defs:
        name = library_name(def_file)
        if name and output:
            set_export_name(output, name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
