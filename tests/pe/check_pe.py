#!/usr/bin/env python3
"""Checks a built stub's PE image: its header, imports, size and the resources the installer
needs (the string table of resources/strings.h byte for byte); prints the size and every fault."""
import argparse
import re
import struct

import pefile

MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
# Imports load before the stub's first instruction, when nothing restricts the search: only Windows
# 10's KnownDLLs come from the system folder alone. msvcrt.dll is one, but the stub needs no C runtime.
KNOWN_DLLS = {name + ".dll" for name in """advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp
    imm32 kernel32 msctf normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32
    wldap32 ws2_32""".split()}
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
RT_CURSOR, RT_DIALOG, RT_STRING, RT_GROUP_CURSOR, RT_GROUP_ICON, RT_MANIFEST = 1, 5, 6, 12, 14, 24


def resources_of(image):  # {(type, id): bytes} of each resource's first language
    leaves = {(kind.id, ident.id): ident.directory.entries[0].data.struct
              for kind in image.DIRECTORY_ENTRY_RESOURCE.entries for ident in kind.directory.entries}
    return {key: image.get_data(leaf.OffsetToData, leaf.Size) for key, leaf in leaves.items()}


def expected_texts(header):
    # {id: text}, C escapes undone; an id without a text (the packer fills it in) must be absent or empty

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


def check(stub, arch, strings, limit):
    data = open(stub, "rb").read()
    image = pefile.PE(data=data)
    optional, machine, magic = image.OPTIONAL_HEADER, *MACHINES[arch]
    hardening = DYNAMIC_BASE | NX_COMPAT | (HIGH_ENTROPY_VA if arch == "x86_64" else 0)
    imports = sorted(entry.dll.decode() for entry in image.DIRECTORY_ENTRY_IMPORT)
    resources = resources_of(image)
    table, texts = string_table(resources), expected_texts(strings)
    dialog, icon = resources.get((RT_DIALOG, 101), b""), resources.get((RT_GROUP_ICON, 102), b"")
    cursor = resources.get((RT_GROUP_CURSOR, 103), bytes(20))
    wrong = {i: table.get(i) for i in texts if table.get(i, "") != texts[i]}
    checks = {
        f"machine, magic {image.FILE_HEADER.Machine:#x}, {optional.Magic:#x}, want {machine:#x}, {magic:#x}":
            (image.FILE_HEADER.Machine, optional.Magic) == (machine, magic),
        f"subsystem {optional.Subsystem}, want 2 (GUI)": optional.Subsystem == 2,
        "the header carries a build time stamp: builds aren't reproducible": image.FILE_HEADER.TimeDateStamp == 0,
        f"DllCharacteristics {optional.DllCharacteristics:#x} lack {hardening:#x}":
            optional.DllCharacteristics & hardening == hardening,
        "no base relocations: the image can't move": optional.DATA_DIRECTORY[5].Size != 0,
        "a section is both writable and executable": not any(
            s.Characteristics & 0x20000000 and s.Characteristics & 0x80000000 for s in image.sections),
        f"checksum {optional.CheckSum:#x}, want {image.generate_checksum():#x}":
            optional.CheckSum == image.generate_checksum(),
        f"imports {imports}: one is no KnownDLL, or is the C runtime":
            all(dll.lower() in KNOWN_DLLS for dll in imports),
        f"{len(data)} bytes, over the limit of {limit}": limit is None or len(data) <= limit,
        f"strings differ from strings.h: {wrong}": not wrong,
        "dialog 101 is missing or hasn't its five controls": dialog[8:10] == struct.pack("<H", 5),
        "icon 102 is missing or its first image isn't 32x32, 16 colours": icon[6:9] == bytes([32, 32, 16]),
        "cursor 103 is missing or not 32x32 monochrome": struct.unpack_from("<HHHH", cursor, 6) == (32, 64, 1, 1),
        "cursor 103's hot spot is not at 12, 9": resources.get(
            (RT_CURSOR, struct.unpack_from("<H", cursor, 18)[0]), b"")[:4] == struct.pack("<HH", 12, 9),
        "the manifest doesn't ask to run as invoker": b'level="asInvoker"' in resources.get((RT_MANIFEST, 1), b""),
    }
    print(f"{stub}: {len(data)} bytes ({(len(data) + 1023) // 1024} KiB), {arch}, imports {' '.join(imports)}")
    return [fault for fault, holds in checks.items() if not holds]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--strings", required=True, help="resources/strings.h")
    parser.add_argument("--limit", type=int, help="the most bytes the image may take")
    parser.add_argument("stub")
    faults = check(**vars(parser.parse_args()))
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    raise SystemExit(main())
