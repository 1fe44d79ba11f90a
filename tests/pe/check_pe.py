#!/usr/bin/env python3
"""Checks a built stub's PE image: machine and format, GUI subsystem, hardening flags,
that every DLL it imports is one the loader takes from the system folder only (a
KnownDLL), that no section is both writable and executable, and that its resources
hold the string table of resources/strings.h byte for byte, the "File Exists" dialog,
the icon, the hand cursor and the manifest.

Usage: check_pe.py --arch i686|x86_64 --strings resources/strings.h STUB.exe
Prints the size and the imports; exits 1 with every fault found."""
import argparse
import re
import struct
import sys

import pefile

MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
# Windows 10's KnownDLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs):
# the loader takes these, and what they import, from the system folder only. A DLL
# imported directly is resolved before the stub's first instruction, when nothing has
# restricted the search yet, so any other name could be planted beside the installer.
KNOWN_DLLS = {"advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll",
              "difxapi.dll", "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll",
              "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
              "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll",
              "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
              "wldap32.dll", "ws2_32.dll"}
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
MEM_EXECUTE, MEM_WRITE = 0x20000000, 0x80000000
RT_CURSOR, RT_DIALOG, RT_STRING, RT_ICON, RT_GROUP_CURSOR, RT_GROUP_ICON, RT_MANIFEST = 1, 5, 6, 3, 12, 14, 24


def resources_of(image):
    """{(type, id): bytes} over the first language of each resource."""
    found, root = {}, getattr(image, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for ident in kind.directory.entries:
            leaf = ident.directory.entries[0].data.struct
            found[(kind.id, ident.id)] = image.get_data(leaf.OffsetToData, leaf.Size)
    return found


def expected_texts(header):
    """The ids and texts of strings.h, with C escapes undone; an id without a text (one
    the packer fills in) must be absent or empty."""
    source = open(header, encoding="ascii").read()
    ids = dict(re.findall(r"#define (IDS_\w+) (\d+)", source))
    texts = {name: bytes(text, "ascii").decode("unicode_escape")
             for name, text in re.findall(r'#define TEXT_(\w+) "((?:[^"\\]|\\.)*)"', source)}
    return {int(number): texts.get(name[4:]) for name, number in ids.items()}


def string_table(resources):
    table = {}
    for (kind, block), data in resources.items():
        if kind != RT_STRING:
            continue
        at = 0
        for i in range(16):
            length = struct.unpack_from("<H", data, at)[0]
            if length:
                table[(block - 1) * 16 + i] = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            at += 2 + 2 * length
    return table


def dialog_controls(template):
    """(style, [(id, x, y, cx, cy)]) of a DIALOG (not DIALOGEX) template."""
    style, _, count, *_ = struct.unpack_from("<IIHhhhh", template, 0)
    at = 18

    def skip_text(at, ordinal_ok=True):
        if ordinal_ok and struct.unpack_from("<H", template, at)[0] == 0xFFFF:
            return at + 4
        while struct.unpack_from("<H", template, at)[0] != 0:
            at += 2
        return at + 2

    at = skip_text(skip_text(skip_text(at)))  # menu, class, title
    if style & 0x40:  # DS_SETFONT: point size, face name
        at = skip_text(at + 2, False)
    controls = []
    for _ in range(count):
        at = (at + 3) & ~3
        _, _, x, y, cx, cy, ident = struct.unpack_from("<IIhhhhH", template, at)
        controls.append((ident, x, y, cx, cy))
        at = skip_text(skip_text(at + 18))
        extra = struct.unpack_from("<H", template, at)[0]
        at += 2 + extra
    return style, controls


def check(path, arch, header):
    faults = []
    data = open(path, "rb").read()
    image = pefile.PE(data=data)
    optional = image.OPTIONAL_HEADER
    machine, magic = MACHINES[arch]
    if image.FILE_HEADER.Machine != machine:
        faults.append(f"machine {image.FILE_HEADER.Machine:#x}, want {machine:#x}")
    if optional.Magic != magic:
        faults.append(f"optional header magic {optional.Magic:#x}, want {magic:#x}")
    if optional.Subsystem != 2:
        faults.append(f"subsystem {optional.Subsystem}, want 2 (GUI)")
    if image.FILE_HEADER.TimeDateStamp != 0:
        faults.append("the header carries a build time stamp: builds aren't reproducible")
    wanted = {"DYNAMIC_BASE": DYNAMIC_BASE, "NX_COMPAT": NX_COMPAT}
    if arch == "x86_64":
        wanted["HIGH_ENTROPY_VA"] = HIGH_ENTROPY_VA
    for name, bit in wanted.items():
        if not optional.DllCharacteristics & bit:
            faults.append(f"{name} is not set")
    if optional.DllCharacteristics & DYNAMIC_BASE and optional.DATA_DIRECTORY[5].Size == 0:
        faults.append("DYNAMIC_BASE without base relocations: the image can't move")
    for section in image.sections:
        if section.Characteristics & MEM_EXECUTE and section.Characteristics & MEM_WRITE:
            faults.append("section %s is both writable and executable" % section.Name.rstrip(b"\0").decode())

    imports = {entry.dll.decode(): [f.name.decode() if f.name else f"#{f.ordinal}" for f in entry.imports]
               for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", [])}
    for dll in imports:
        if dll.lower() not in KNOWN_DLLS:
            faults.append(f"imports {dll}, which isn't a KnownDLL: a copy beside the installer "
                          "would be loaded; load it at run time from the system folder")

    resources = resources_of(image)
    table = string_table(resources)
    for ident, text in sorted(expected_texts(header).items()):
        if table.get(ident, "") != (text or ""):
            faults.append(f"string {ident} is {table.get(ident)!r}, want {text!r}")
    for kind, ident, what in ((RT_DIALOG, 101, "dialog 101"), (RT_GROUP_ICON, 102, "icon 102"),
                              (RT_GROUP_CURSOR, 103, "cursor 103"), (RT_MANIFEST, 1, "manifest 1")):
        if (kind, ident) not in resources:
            faults.append(f"{what} is missing")
    if (RT_DIALOG, 101) in resources:
        _, controls = dialog_controls(resources[(RT_DIALOG, 101)])
        ids = sorted(c[0] for c in controls)
        if ids != [1001, 1002, 1003, 1004, 1006]:
            faults.append(f"dialog 101 has controls {ids}, want 1001-1004 and 1006")
    if (RT_GROUP_ICON, 102) in resources:
        width, height, colours, _, _, bits = struct.unpack_from("<BBBBHH", resources[(RT_GROUP_ICON, 102)], 6)
        if (width, height, colours, bits) != (32, 32, 16, 4):
            faults.append(f"icon 102 is {width}x{height}, {colours} colours, {bits} bits; want 32x32, 16, 4")
    if (RT_GROUP_CURSOR, 103) in resources:
        group = resources[(RT_GROUP_CURSOR, 103)]
        width, double_height, _, bits, _, image_id = struct.unpack_from("<HHHHIH", group, 6)
        if (width, double_height, bits) != (32, 64, 1):
            faults.append(f"cursor 103 is {width}x{double_height // 2}, {bits} bits; want 32x32 monochrome")
        if resources.get((RT_CURSOR, image_id), b"")[:4] != struct.pack("<HH", 12, 9):
            faults.append("cursor 103's hot spot is not at 12, 9")
    if b'level="asInvoker"' not in resources.get((RT_MANIFEST, 1), b""):
        faults.append("the manifest doesn't ask to run as invoker")

    print(f"{path}: {len(data)} bytes ({(len(data) + 1023) // 1024} KiB), {arch}")
    for dll, functions in sorted(imports.items(), key=lambda item: item[0].lower()):
        print(f"  {dll}: {' '.join(sorted(functions))}")
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--strings", required=True, help="resources/strings.h")
    parser.add_argument("stub")
    arguments = parser.parse_args()
    try:
        faults = check(arguments.stub, arguments.arch, arguments.strings)
    except (OSError, ValueError, struct.error, pefile.PEFormatError) as error:
        faults = [f"can't read the image: {error}"]
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
