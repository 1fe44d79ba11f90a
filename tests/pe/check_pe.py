#!/usr/bin/env python3
"""Checks a built stub's PE image: machine, GUI subsystem, no build time, hardening,
no section both writable and executable, the checksum, imports from KnownDLLs only, its
size, and the resources the installer needs: the string table of resources/strings.h
byte for byte, the "File Exists" dialog, the icon, the hand cursor and the manifest.

Usage: check_pe.py --arch i686|x86_64 --strings resources/strings.h [--limit BYTES] STUB.exe
Prints the size and the imports; exits 1 with every fault found."""
import argparse
import re
import struct
import sys

import pefile

MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
# DLLs imported directly are loaded before the stub's first instruction, when nothing
# restricts the search yet: only Windows 10's KnownDLLs come from the system folder
# alone. msvcrt.dll is one, but the stub must not need a C runtime DLL.
KNOWN_DLLS = {"advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
              "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
              "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll",
              "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll"}
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
RT_CURSOR, RT_DIALOG, RT_STRING, RT_GROUP_CURSOR, RT_GROUP_ICON, RT_MANIFEST = 1, 5, 6, 12, 14, 24


def resources_of(image):
    """{(type, id): bytes} over the first language of each resource."""
    found = {}
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        for ident in kind.directory.entries:
            leaf = ident.directory.entries[0].data.struct
            found[(kind.id, ident.id)] = image.get_data(leaf.OffsetToData, leaf.Size)
    return found


def expected_texts(header):
    """{id: text} of strings.h, C escapes undone; an id without a text (the packer fills
    it in) must be absent or empty."""
    source = open(header, encoding="ascii").read()
    texts = dict(re.findall(r'#define TEXT_(\w+) "((?:[^"\\]|\\.)*)"', source))
    return {int(number): bytes(texts.get(name, ""), "ascii").decode("unicode_escape")
            for name, number in re.findall(r"#define IDS_(\w+) (\d+)", source)}


def string_table(resources):
    table = {}
    for (kind, block), data in resources.items():
        at = 0
        for i in range(16 if kind == RT_STRING else 0):
            length = struct.unpack_from("<H", data, at)[0]
            table[(block - 1) * 16 + i] = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            at += 2 + 2 * length
    return table


def check(path, arch, header, limit):
    data = open(path, "rb").read()
    image = pefile.PE(data=data)
    optional, machine, magic = image.OPTIONAL_HEADER, *MACHINES[arch]
    hardening = DYNAMIC_BASE | NX_COMPAT | (HIGH_ENTROPY_VA if arch == "x86_64" else 0)
    imports = {entry.dll.decode(): [f.name.decode() if f.name else f"#{f.ordinal}" for f in entry.imports]
               for entry in image.DIRECTORY_ENTRY_IMPORT}
    resources = resources_of(image)
    table, texts = string_table(resources), expected_texts(header)
    dialog, icon = resources.get((RT_DIALOG, 101), b""), resources.get((RT_GROUP_ICON, 102), b"")
    cursor = resources.get((RT_GROUP_CURSOR, 103), bytes(20))
    checks = {
        f"machine {image.FILE_HEADER.Machine:#x}, want {machine:#x}": image.FILE_HEADER.Machine == machine,
        f"optional header magic {optional.Magic:#x}, want {magic:#x}": optional.Magic == magic,
        f"subsystem {optional.Subsystem}, want 2 (GUI)": optional.Subsystem == 2,
        "the header carries a build time stamp: builds aren't reproducible": image.FILE_HEADER.TimeDateStamp == 0,
        f"DllCharacteristics {optional.DllCharacteristics:#x} lack {hardening:#x}":
            optional.DllCharacteristics & hardening == hardening,
        "no base relocations: the image can't move": optional.DATA_DIRECTORY[5].Size != 0,
        "a section is both writable and executable": not any(
            s.Characteristics & 0x20000000 and s.Characteristics & 0x80000000 for s in image.sections),
        f"checksum {optional.CheckSum:#x}, want {image.generate_checksum():#x}":
            optional.CheckSum == image.generate_checksum(),
        f"imports {sorted(imports)}: one is no KnownDLL, or is the C runtime":
            all(dll.lower() in KNOWN_DLLS for dll in imports),
        f"{len(data)} bytes, over the limit of {limit}": limit is None or len(data) <= limit,
        "strings differ from strings.h: " + ", ".join(
            f"{i}: {table.get(i)!r}" for i in texts if table.get(i, "") != texts[i]): all(
            table.get(i, "") == texts[i] for i in texts),
        "dialog 101 is missing or hasn't its five controls": dialog[8:10] == struct.pack("<H", 5),
        "icon 102 is missing or its first image isn't 32x32, 16 colours": icon[6:9] == bytes([32, 32, 16]),
        "cursor 103 is missing or not 32x32 monochrome": struct.unpack_from("<HHHH", cursor, 6) == (32, 64, 1, 1),
        "cursor 103's hot spot is not at 12, 9": resources.get(
            (RT_CURSOR, struct.unpack_from("<H", cursor, 18)[0]), b"")[:4] == struct.pack("<HH", 12, 9),
        "the manifest doesn't ask to run as invoker": b'level="asInvoker"' in resources.get((RT_MANIFEST, 1), b""),
    }
    print(f"{path}: {len(data)} bytes ({(len(data) + 1023) // 1024} KiB), {arch}")
    for dll, functions in sorted(imports.items(), key=lambda item: item[0].lower()):
        print(f"  {dll}: {' '.join(sorted(functions))}")
    return [fault for fault, holds in checks.items() if not holds]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--strings", required=True, help="resources/strings.h")
    parser.add_argument("--limit", type=int, help="the most bytes the image may take")
    parser.add_argument("stub")
    arguments = parser.parse_args()
    try:
        faults = check(arguments.stub, arguments.arch, arguments.strings, arguments.limit)
    except (OSError, ValueError, AttributeError, struct.error, pefile.PEFormatError) as error:
        faults = [f"can't read the image: {error!r}"]
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
