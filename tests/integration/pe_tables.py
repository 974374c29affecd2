#!/usr/bin/python3
"""Prints what a PE reader other than binutils sees in a binary:
"delay <dll> <function>" for each function of each delay-import descriptor
listed by the delay-import directory, and "version <file> <product>" from
the fixed part of the version resource."""
import sys

import pefile


def main(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
        for imp in entry.imports:
            name = imp.name.decode() if imp.name else "#%d" % imp.ordinal
            print("delay", entry.dll.decode().lower(), name)
    for info in getattr(pe, "VS_FIXEDFILEINFO", []):
        def dotted(ms, ls):
            return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        print("version", dotted(info.FileVersionMS, info.FileVersionLS),
              dotted(info.ProductVersionMS, info.ProductVersionLS))


if __name__ == "__main__":
    main(sys.argv[1])
