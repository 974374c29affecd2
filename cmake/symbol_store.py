#!/usr/bin/python3
"""Files a binary and its PDB into a symbol store folder in the layout
symstore writes and symbol servers serve (what WinDbg's and Visual Studio's
symbol path "srv*<folder>" reads):

    <name>.pdb/<GUID><age>/<name>.pdb          the PDB, keyed by the RSDS record
    <name>.dll/<TIMESTAMP><SizeOfImage>/<name>.dll   the binary, keyed by its headers

usage: symbol_store.py STORE IMAGE PDB
Prints the two paths it wrote, relative to STORE. Fails when the image has
no RSDS record, when the record names anything but the PDB's file name, or
when the PDB's own GUID and age differ from the record's."""
import os
import shutil
import struct
import sys

import pefile


def rsds(pe):
    """(GUID text, age, PDB name) of the image's CodeView record."""
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        if entry.struct.Type != 2:  # IMAGE_DEBUG_TYPE_CODEVIEW
            continue
        raw = pe.__data__[entry.struct.PointerToRawData:entry.struct.PointerToRawData + entry.struct.SizeOfData]
        if raw[:4] != b"RSDS":
            continue
        d1, d2, d3 = struct.unpack_from("<IHH", raw, 4)
        guid = "%08X%04X%04X%s" % (d1, d2, d3, raw[12:20].hex().upper())
        age = struct.unpack_from("<I", raw, 20)[0]
        name = raw[24:].split(b"\0", 1)[0].decode("utf-8")
        return guid, age, name
    raise SystemExit("no RSDS record")


def pdb_guid_age(path):
    """GUID text and age from the PDB's info stream (stream 1) of an MSF 7.0 file."""
    with open(path, "rb") as f:
        data = f.read()
    magic = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
    if not data.startswith(magic):
        raise SystemExit("%s is not an MSF 7.0 PDB" % path)
    block_size, _, _, dir_bytes, _, dir_map = struct.unpack_from("<IIIIII", data, len(magic))
    def block(n):
        return data[n * block_size:(n + 1) * block_size]
    dir_blocks = (dir_bytes + block_size - 1) // block_size
    dir_indices = struct.unpack_from("<%dI" % dir_blocks, block(dir_map))
    directory = b"".join(block(i) for i in dir_indices)[:dir_bytes]
    count = struct.unpack_from("<I", directory, 0)[0]
    sizes = struct.unpack_from("<%dI" % count, directory, 4)
    pos = 4 + 4 * count
    for stream, size in enumerate(sizes):
        size = 0 if size == 0xFFFFFFFF else size
        blocks = (size + block_size - 1) // block_size
        indices = struct.unpack_from("<%dI" % blocks, directory, pos)
        pos += 4 * blocks
        if stream == 1:
            info = b"".join(block(i) for i in indices)[:size]
            _, _, age = struct.unpack_from("<III", info, 0)
            d1, d2, d3 = struct.unpack_from("<IHH", info, 12)
            return "%08X%04X%04X%s" % (d1, d2, d3, info[20:28].hex().upper()), age
    raise SystemExit("%s has no info stream" % path)


def main(store, image, pdb):
    pe = pefile.PE(image, fast_load=True)
    guid, age, name = rsds(pe)
    if name != os.path.basename(pdb):
        raise SystemExit("%s: RSDS names %r, not %s" % (image, name, os.path.basename(pdb)))
    if pdb_guid_age(pdb) != (guid, age):
        raise SystemExit("%s: GUID/age %s/%d differ from the PDB's %s/%d" % ((image, guid, age) + pdb_guid_age(pdb)))
    key_pdb = os.path.join(name, "%s%X" % (guid, age), name)
    image_name = os.path.basename(image)
    key_image = os.path.join(image_name, "%08X%x" % (pe.FILE_HEADER.TimeDateStamp, pe.OPTIONAL_HEADER.SizeOfImage),
                             image_name)
    for source, key in ((pdb, key_pdb), (image, key_image)):
        os.makedirs(os.path.join(store, os.path.dirname(key)), exist_ok=True)
        shutil.copyfile(source, os.path.join(store, key))
        print(key)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])
