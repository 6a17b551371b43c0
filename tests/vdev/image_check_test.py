"""The post-build check of the driver image (ctlmodel/check/check_binary.cmake,
driver mode) on small images made here: a sound one passes, and each image
broken in one way fails, the check naming that fault and no other.

Run by ctest: image_check_test.py CMAKE OBJDUMP CHECK_SCRIPT ALLOWED_IMPORTS"""

import re
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

IMAGE_BASE = 0x140000000
FILE_ALIGN, SECTION_ALIGN = 0x200, 0x1000
DYNAMIC_BASE_NX_HIGH_ENTROPY = 0x160
CODE, INITIALIZED_DATA = 0x20, 0x40
EXECUTE, READ, WRITE, DISCARDABLE = 0x20000000, 0x40000000, 0x80000000, 0x02000000
DIR64 = 10  # IMAGE_REL_BASED_DIR64
SOUND_IMPORTS = {"ntoskrnl.exe": ["IofCompleteRequest", "KeSetTimer"], "hal.dll": ["KeQueryPerformanceCounter"]}


def import_table(rva, modules):
    """An import directory at `rva`: descriptors, then each module's lookup
    table, address table, hint/name entries and name."""
    size = 20 * (len(modules) + 1)
    body, descriptors = bytearray(), bytearray()
    for module, functions in modules.items():
        names = bytearray()
        name_rvas = []
        for function in functions:
            name_rvas.append(rva + size + len(body) + 16 * (len(functions) + 1) + len(names))
            names += struct.pack("<H", 0) + function.encode() + b"\0"
            names += b"\0" * (len(names) % 2)
        thunks = b"".join(struct.pack("<Q", r) for r in name_rvas) + struct.pack("<Q", 0)
        lookup = rva + size + len(body)
        module_name = lookup + 2 * len(thunks) + len(names)
        body += thunks + thunks + names + module.encode() + b"\0"
        body += b"\0" * (len(body) % 2)
        descriptors += struct.pack("<IIIII", lookup, 0, 0, module_name, lookup + len(thunks))
    return bytes(descriptors + bytes(20) + body), size


def checksum(image, field):
    data = image[:field] + bytes(4) + image[field + 4:]
    data += bytes(len(data) % 2)
    total = sum(struct.unpack(f"<{len(data) // 2}H", data))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)


def pe_image(imports=SOUND_IMPORTS, base=IMAGE_BASE, relocations=True, exports=False, writable_code=False,
             checksum_off_by=0):
    """A PE32+ driver image for x64: .text, .idata, .reloc and, when asked,
    an export table or a section both writable and executable."""
    sections, directories = [], [(0, 0)] * 16
    idata, idata_size = import_table(2 * SECTION_ALIGN, imports)
    sections.append((b".text", b"\xc3", CODE | EXECUTE | READ))
    sections.append((b".idata", idata, INITIALIZED_DATA | READ | WRITE))
    directories[1] = (2 * SECTION_ALIGN, idata_size)
    block = struct.pack("<IIHH", SECTION_ALIGN, 12, DIR64 << 12 | 0x10, 0)
    sections.append((b".reloc", block, INITIALIZED_DATA | READ | DISCARDABLE))
    if relocations:
        directories[5] = (3 * SECTION_ALIGN, len(block))
    if exports:
        name = b"broken.sys\0"
        table = struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, 4 * SECTION_ALIGN + 40, 1, 0, 0, 0, 0, 0) + name
        sections.append((b".edata", table, INITIALIZED_DATA | READ))
        directories[0] = (4 * SECTION_ALIGN, len(table))
    if writable_code:
        sections.append((b".wx", b"\xc3", CODE | EXECUTE | READ | WRITE))

    pe = 0x40
    headers = bytearray(FILE_ALIGN)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, pe)
    headers[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, pe + 4, 0x8664, len(sections), 0, 0, 0, 240, 0x22)
    image_size = (len(sections) + 1) * SECTION_ALIGN
    optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 2, 40, FILE_ALIGN, FILE_ALIGN, 0, SECTION_ALIGN,
                           SECTION_ALIGN, base, SECTION_ALIGN, FILE_ALIGN, 6, 0, 0, 0, 6, 0, 0, image_size,
                           FILE_ALIGN, 0, 1, DYNAMIC_BASE_NX_HIGH_ENTROPY, 0x100000, 0x1000, 0x100000, 0x1000, 0,
                           16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    headers[pe + 24:pe + 24 + len(optional)] = optional
    body = bytearray()
    for i, (name, content, flags) in enumerate(sections):
        header = struct.pack("<8sIIIIIIHHI", name, len(content), (i + 1) * SECTION_ALIGN, FILE_ALIGN,
                             FILE_ALIGN * (i + 1), 0, 0, 0, 0, flags)
        at = pe + 24 + len(optional) + 40 * i
        headers[at:at + 40] = header
        body += content + bytes(FILE_ALIGN - len(content))
    image = bytearray(headers + body)
    field = pe + 24 + 64
    struct.pack_into("<I", image, field, checksum(bytes(image), field) + checksum_off_by)
    return bytes(image)


# Each fault the check names, and how it says it.
FAULTS = {
    "foreign import": r"it imports CreateFileW from kernel32\.dll, which \S+ does not allow",
    "unlisted import": r"it imports PsSetLoadImageNotifyRoutine from ntoskrnl\.exe, which \S+ does not allow",
    "writable code": r"its section '\.wx' is both writable and executable",
    "no relocations": r"it has no relocation table, yet asks to be loaded anywhere",
    "image base": r"its image base is 0x0000000010000000, not 0x0000000140000000",
    "checksum": r"its header checksum is 0x[0-9a-f]+, the image's is 0x[0-9a-f]+",
    "export table": r"it has an export table",
}

# name -> (the image, the faults the check must name)
CASES = {
    "sound": (pe_image(), []),
    "foreign import": (pe_image(imports={**SOUND_IMPORTS, "kernel32.dll": ["CreateFileW"]}), ["foreign import"]),
    "unlisted import": (pe_image(imports={"ntoskrnl.exe": ["IofCompleteRequest", "PsSetLoadImageNotifyRoutine"]}),
                        ["unlisted import"]),
    "writable code": (pe_image(writable_code=True), ["writable code"]),
    "no relocations": (pe_image(relocations=False), ["no relocations"]),
    "image base": (pe_image(base=0x10000000), ["image base"]),
    "checksum": (pe_image(checksum_off_by=1), ["checksum"]),
    "export table": (pe_image(exports=True), ["export table"]),
}


class DriverImageCheck(unittest.TestCase):
    def test_each_fault_is_named_alone(self):
        with tempfile.TemporaryDirectory() as folder:
            for name, (image, expected) in CASES.items():
                with self.subTest(name):
                    path = Path(folder) / (name.replace(" ", "_") + ".sys")
                    path.write_bytes(image)
                    run = subprocess.run([CMAKE, f"-DOBJDUMP={OBJDUMP}", f"-DDRIVER={path}", f"-DALLOWED={ALLOWED}",
                                          "-P", CHECK], capture_output=True, text=True)
                    named = sorted(f for f, text in FAULTS.items() if re.search(text, run.stderr))
                    self.assertEqual(named, sorted(expected), run.stderr)
                    self.assertEqual(run.returncode != 0, bool(expected), run.stderr)


if __name__ == "__main__":
    CMAKE, OBJDUMP, CHECK, ALLOWED = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1])
