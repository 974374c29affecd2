#!/usr/bin/env python3
"""Writes the committed seed corpora (fuzz/corpus/<target>/). The obfuscated
seeds are real records and log.ini values, made here with the same cipher,
digest and layouts as the product, so the fuzzers start past the digest
checks. Run it again only to change the seeds."""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
REGISTRY_KEY = b"{3B7A41C9-58E2-4d1f-A6C3-92F0B8E5D714}"
INI_KEY = b"{6C2E0A9F-3B71-4D58-A0E4-91F7B25C8D36}"


def scramble(key, data):
    s = list(range(256))
    j = 0
    for k in range(256):
        j = (j + s[k] + key[k % len(key)]) % 256
        s[k], s[j] = s[j], s[k]
    i = j = 0

    def next_byte():
        nonlocal i, j
        i = (i + 1) % 256
        j = (j + s[i]) % 256
        s[i], s[j] = s[j], s[i]
        return s[(s[i] + s[j]) % 256]

    feedback = next_byte()
    out = bytearray()
    for p in data:
        feedback ^= p
        a = next_byte()
        b = next_byte()
        out.append(((a ^ feedback) + b) % 256)
    return bytes(out)


def record(value_type, payload, version=1):
    body = scramble(REGISTRY_KEY, payload)
    head = b"BXRG" + struct.pack("<III", version, len(payload), value_type)
    digest = hashlib.md5(head + bytes(16) + body).digest()
    return head + digest + body


def ini_value(value_type, payload):
    body = scramble(INI_KEY, payload)
    header = b"BXRG" + struct.pack("<IIII", 1, len(payload), value_type, 1) + hashlib.md5(body).digest()
    return struct_text(header), struct_text(body)


def struct_text(data):
    return data.hex().upper() + "%02X" % (sum(data) % 256)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def utf16(text):
    return text.encode("utf-16-le")


def main():
    # upgrade detector: mode 0 arguments, 1 stored text, 2 wide vs narrow
    write("fuzz_source_disk", "args_one", b"\x00RvqUpgd.exe\x0012")
    write("fuzz_source_disk", "args_letters", b"\x00RvqUpgd.exe\x00 +12abc")
    write("fuzz_source_disk", "args_overflow", b"\x00RvqUpgd.exe\x0099999999999")
    write("fuzz_source_disk", "args_two", b"\x00RvqUpgd.exe\x00500\x00x")
    write("fuzz_source_disk", "text_build", b"\x01" + utf16("Disk1,Build=7,Lang=en"))
    write("fuzz_source_disk", "text_empty_build", b"\x01" + utf16("x,build="))
    write("fuzz_source_disk", "text_two_markers", b"\x01" + utf16("a,build= 3,b,BUILD=9"))
    write("fuzz_source_disk", "narrow_min", b"\x02\t-2147483649")

    # registry records: 0 stored bytes, 1 round trip, 2 cipher, 3 digest
    write("fuzz_registry_record", "dword_one", b"\x00" + record(4, struct.pack("<I", 1)))
    write("fuzz_registry_record", "sz_text", b"\x00" + record(1, "Text Logging\0".encode()))
    write("fuzz_registry_record", "multi_sz", b"\x00" + record(7, b"a\0bc\0\0"))
    write("fuzz_registry_record", "version_2", b"\x00" + record(4, b"\x02\0\0\0", version=2))
    write("fuzz_registry_record", "round_trip", b"\x01" + struct.pack("<II", 1, 40) + b"\x01" + "Hallo Welt\0".encode())
    write("fuzz_registry_record", "cipher", b"\x02\x04abcd\x03\x00" + b"payload bytes")
    write("fuzz_registry_record", "digest", b"\x03\x07" + b"x" * 130)

    # log.ini as the text writer keeps it
    lines = ["; written by the text log writer", "[Config]"]
    for name, value_type, payload in (("Enable", 4, struct.pack("<i", 1)),
                                      ("MaxSize", 4, struct.pack("<i", 1048576)),
                                      ("LogName", 1, b"DetectRVQdll")):
        header, body = ini_value(value_type, payload)
        lines += ["_%s=%s" % (name, header), "%s=%s" % (name, body)]
    lines += ["MaxSize=1048576", "[ Config ]", "[]", "Key = spaced value ", "no equals sign", ""]
    log_ini = "\r\n".join(lines).encode()
    write("fuzz_ini_line", "log_ini", log_ini)
    write("fuzz_ini_line", "long_line", b"[S]\nk=" + b"v" * 1100 + b"\n_k=42585247\n")
    write("fuzz_ini_line", "nul_inside", b"[S]\nk=a\0b\nx=y\n")

    header, body = ini_value(4, struct.pack("<i", 2))
    write("fuzz_ini_value", "integer_texts", b"\x00" + header.encode() + utf16(body))
    header, body = ini_value(1, b"C:\\ProgramData")
    write("fuzz_ini_value", "text_texts", b"\x00" + header.encode() + utf16(body))
    write("fuzz_ini_value", "encode_integer", b"\x01\x01\x00" + struct.pack("<I", 3) + b"\x07" + b"\x02\0\0\0")
    write("fuzz_ini_value", "encode_text", b"\x01\x00\x01" + struct.pack("<I", 9) + b"\x0c" + b"LastLogIdx text")

    for k, version in enumerate(("10.0.19041.3636", "6.1.7601.17514", "5.1.2600.5512 (xpsp.080413-2111)",
                                 "4294967295.0.0.1", "4294967296.1", "1..2", "7")):
        write("fuzz_product_version", "version_%d" % k, b"\x01" + utf16(version))
    write("fuzz_product_version", "digits", b"\x00" + bytes([1, 0, 240, 3, 240, 7, 9, 240, 1]))
    write("fuzz_product_version", "probe", b"\xff" + struct.pack("<II", 100, 90))

    fields = struct.pack("<HIIII", 300, 4242, 17, 850, 0) + struct.pack("<I", 64)

    def piece(text, shape):
        data = utf16(text)
        return bytes([shape, len(data)]) + data

    write("fuzz_etw_context", "typical", fields + piece("install-host.exe", 1) + piece("detection.cpp", 1) +
          piece("DetectIncompatible", 1) + piece("checkRVQ.dll", 1) + piece("2.0.1.17", 1) + piece("DetectRVQdll", 1))
    write("fuzz_etw_context", "nulls", fields + bytes([0, 5, 10, 15, 20, 25]))
    write("fuzz_etw_context", "long_names", fields + piece("ab", 4) + b"\xff\xff" + piece("src.cpp", 1))

    # shape byte, 16-bit length, then the message's UTF-16LE units (shape 3: repeated to that length)
    write("fuzz_etw_utf8", "typical", b"\x00\x00\x00" + utf16("Removed user password vault file: [C:\\users\\x\\]"))
    write("fuzz_etw_utf8", "surrogates", b"\x00\x00\x00" + utf16("Gr\u00fc\u00dfe \U0001F600") + b"\x3d\xd8" + b"\x00\xde" +
          b"\x00\xde\x3d\xd8")
    write("fuzz_etw_utf8", "fills_buffer", b"\x03" + struct.pack("<H", 2079) + utf16("\u20ac\u00e9a"))
    write("fuzz_etw_utf8", "half_buffer", b"\x03" + struct.pack("<H", 1300) + utf16("\u20ac"))


if __name__ == "__main__":
    main()
