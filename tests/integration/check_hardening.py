#!/usr/bin/python3
"""The hardening review of shipped binaries: one line per binary and check,
"<binary> <check> ok|FAIL <what was seen>", exit status 1 when any check
fails.

  aslr        DYNAMIC_BASE and HIGH_ENTROPY_VA set, base relocations present
  nx          NX_COMPAT set
  wx          no section both writable and executable
  imports     every DLL imported or delay-imported is a system DLL
  delay       the delay-import directory lists the delay-loaded DLLs
  stack       the stack protector is linked in and called: __stack_chk_fail
              among the symbols (the PDB's publics, or the .debug file's
              symbol table), and call sites to it in the code
  signature   the Authenticode signature verifies (osslsigncode, --ca)
  pdb         the RSDS record names <name>.pdb alone, the symbol store
              (--symbols) holds that PDB under the record's GUID and age, and
              the image is not marked DEBUG_STRIPPED; for a GNU ld build
              with --debug-dir instead: debug, the .gnu_debuglink section
              names <binary>.debug and that folder holds it

The stack check shows that the protector is compiled in and used; which
function needs a canary is the compiler's rule (-fstack-protector-strong:
every function with a local array or a local whose address is taken), not
something the image records per function.

usage: check_hardening.py --ca CA.pem (--symbols DIR | --debug-dir DIR)
                          --objdump OBJDUMP --nm NM --pdbutil LLVM_PDBUTIL
                          --delay DLL[,DLL...] BINARY...
"""
import argparse
import os
import re
import struct
import subprocess
import sys

import pefile

SYSTEM_DLL = re.compile(r"^(kernel32|advapi32|shell32|shlwapi|ole32|oleaut32|version|msvcrt|user32|ucrtbase|"
                        r"api-ms-win-crt-[a-z0-9-]+)\.dll$")
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
MEM_EXECUTE, MEM_WRITE = 0x20000000, 0x80000000


def rsds(pe):
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        if entry.struct.Type != 2:
            continue
        raw = pe.__data__[entry.struct.PointerToRawData:entry.struct.PointerToRawData + entry.struct.SizeOfData]
        if raw[:4] == b"RSDS":
            d1, d2, d3 = struct.unpack_from("<IHH", raw, 4)
            guid = "%08X%04X%04X%s" % (d1, d2, d3, raw[12:20].hex().upper())
            age = struct.unpack_from("<I", raw, 20)[0]
            return guid, age, raw[24:].split(b"\0", 1)[0].decode("utf-8", "replace")
    return None


def pdb_publics(pdbutil, pdb):
    """{name: (section, offset)} of the PDB's public symbols."""
    out = subprocess.run([pdbutil, "dump", "-publics", pdb], capture_output=True, text=True, check=True).stdout
    publics = {}
    for m in re.finditer(r"S_PUB32 \[size = \d+\] `([^`]+)`\s*\n\s*flags = [^,]*, addr = (\d+):(\d+)", out):
        publics[m.group(1)] = (int(m.group(2)), int(m.group(3)))
    return publics


def check(path, args):
    name = os.path.basename(path)
    results = []

    def report(what, good, seen):
        results.append(good)
        print("%-13s %-10s %-4s %s" % (name, what, "ok" if good else "FAIL", seen))

    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[d] for d in (
        "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "IMAGE_DIRECTORY_ENTRY_DEBUG")])
    chars = pe.OPTIONAL_HEADER.DllCharacteristics
    reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    report("aslr", bool(chars & DYNAMIC_BASE) and bool(chars & HIGH_ENTROPY_VA) and reloc.Size > 0,
           "DllCharacteristics 0x%04x, relocations %d bytes" % (chars, reloc.Size))
    report("nx", bool(chars & NX_COMPAT), "NX_COMPAT %s" % ("set" if chars & NX_COMPAT else "not set"))

    wx = [s.Name.rstrip(b"\0").decode() for s in pe.sections
          if s.Characteristics & MEM_EXECUTE and s.Characteristics & MEM_WRITE]
    report("wx", not wx, "writable and executable: %s" % (", ".join(wx) or "none"))

    imported = sorted({e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])})
    delayed = sorted({e.dll.decode().lower() for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])})
    foreign = [d for d in imported + delayed if not SYSTEM_DLL.match(d)]
    report("imports", not foreign, "load time: %s; delayed: %s%s" % (
        " ".join(imported), " ".join(delayed) or "none", "; not system: " + " ".join(foreign) if foreign else ""))

    delay_dir = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
    missing = [d for d in args.delay if d not in delayed]
    report("delay", delay_dir.VirtualAddress != 0 and delay_dir.Size != 0 and not missing,
           "directory RVA 0x%x size %d, %d DLLs%s" % (delay_dir.VirtualAddress, delay_dir.Size, len(delayed),
                                                      "; missing " + " ".join(missing) if missing else ""))

    stack_fail = None  # the VA of __stack_chk_fail, when a symbol table names it
    if args.debug_dir:
        # The section's long name lives in the COFF string table: objdump reads it.
        dump = subprocess.run([args.objdump, "-s", "-j", ".gnu_debuglink", path], capture_output=True, text=True).stdout
        raw = b"".join(bytes.fromhex("".join(g for g in line.split()[1:5] if re.fullmatch(r"(?:[0-9a-f]{2})+", g)))
                       for line in dump.splitlines() if re.match(r"^ [0-9a-f]{4,} ", line))
        linked = raw.split(b"\0", 1)[0].decode("utf-8", "replace")
        debug = os.path.join(args.debug_dir, linked) if linked else ""
        report("debug", linked == name + ".debug" and os.path.isfile(debug),
               "debug link %r%s" % (linked, ", in the package" if debug and os.path.isfile(debug) else ", NOT in the package"))
        if debug and os.path.isfile(debug):
            nm = subprocess.run([args.nm, debug], capture_output=True, text=True).stdout
            m = re.search(r"^([0-9a-f]+) T __stack_chk_fail$", nm, re.MULTILINE)
            stack_fail = int(m.group(1), 16) if m and re.search(r" __stack_chk_guard$", nm, re.MULTILINE) else None
        record = None
    else:
        record = rsds(pe)
    stem = os.path.splitext(name)[0]
    pdb = None
    if args.debug_dir:
        pass
    elif record is None:
        report("pdb", False, "no RSDS record")
    else:
        guid, age, pdb_name = record
        pdb = os.path.join(args.symbols, pdb_name, "%s%X" % (guid, age), pdb_name)
        # IMAGE_FILE_DEBUG_STRIPPED sends dbghelp after a .DBG file instead.
        stripped = pe.FILE_HEADER.Characteristics & 0x0200
        good = pdb_name == stem + ".pdb" and os.path.isfile(pdb) and not stripped
        report("pdb", good, "RSDS %s age %d names %r%s%s" % (
            guid, age, pdb_name, ", in the store" if os.path.isfile(pdb) else ", NOT in the store",
            ", marked DEBUG_STRIPPED" if stripped else ""))

    if pdb and os.path.isfile(pdb):
        publics = pdb_publics(args.pdbutil, pdb)
        fail_at = publics.get("__stack_chk_fail")
        if fail_at and "__stack_chk_guard" in publics:
            section = pe.sections[fail_at[0] - 1]
            stack_fail = pe.OPTIONAL_HEADER.ImageBase + section.VirtualAddress + fail_at[1]
    if stack_fail is not None or pdb and os.path.isfile(pdb) or args.debug_dir:
        calls = 0
        fail_at = stack_fail
        if stack_fail is not None:
            target = stack_fail
            disassembly = subprocess.run([args.objdump, "-d", "--no-show-raw-insn", path],
                                         capture_output=True, text=True, check=True).stdout
            calls = len(re.findall(r"\tcall\s+(?:0x)?%x\b" % target, disassembly))
        report("stack", bool(fail_at) and calls > 0,
               "__stack_chk_fail %s, %d call sites" % ("linked" if fail_at else "absent", calls))
    else:
        report("stack", False, "no symbols to find __stack_chk_fail in")

    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", args.ca, "-in", path],
                            capture_output=True, text=True)
    signer = re.search(r"Subject: (.*)", verify.stdout)
    report("signature", verify.returncode == 0,
           "Authenticode %s%s" % ("valid" if verify.returncode == 0 else "INVALID",
                                  ", signer " + signer.group(1).strip() if signer else ""))
    return all(results)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ca", required=True)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--symbols")
    where.add_argument("--debug-dir")
    parser.add_argument("--nm", default="x86_64-w64-mingw32-nm")
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--pdbutil", required=True)
    parser.add_argument("--delay", type=lambda v: v.lower().split(","), default=[])
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    good = all([check(path, args) for path in args.binaries])
    print("hardening: %s" % ("all checks passed" if good else "FAILED"))
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
