#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is laid out as its target reads its input (FuzzInput in
FuzzSupport.h: little-endian numbers, blocks with a 16-bit length, texts with
an 8-bit length). The descriptors are the real ones of tests/data and the
simulated controller's. Run it after changing an input layout; the files it
writes are committed.
"""
import json
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"

# The simulated touch controller's descriptor: touch screen, vendor input
# (report 2, with status report 4), vendor output (report 3).
CONTROLLER = bytes.fromhex(
    "050D0904A1018501050D0922A102094215002501750195018102950781030951250F750895018102050126FF0F7510550E"
    "65113500467C0B0930810246720609318102450055006500C0050D0922A102094215002501750195018102950781030951"
    "250F750895018102050126FF0F7510550E65113500467C0B0930810246720609318102450055006500C0050D0954257F75"
    "0895018102850A0955250AB102C00600FF0901A10185020902150026FF007508953F810285040904150026FF007508953F"
    "8102C00600FF0901A10185030903150026FF007508953F9102C0")


def u8(value):
    return struct.pack("<B", value & 0xFF)


def u16(value):
    return struct.pack("<H", value & 0xFFFF)


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def block(data):
    return u16(len(data)) + bytes(data)


def text(data):
    data = data.encode("utf-8") if isinstance(data, str) else bytes(data)
    return u8(len(data)) + data


def descriptors():
    """(name, bytes, [(usage page, usage) per top-level collection or None])"""
    found = [("controller", CONTROLLER, [(0x0D, 4), (0xFF00, 1), (0xFF00, 1)])]
    touch = json.loads((ROOT / "tests/data/touch-descriptors.json").read_text())
    for item in touch["descriptors"]:
        tlcs = [(c["usage_page"], c["usage"]) for c in item["top_level_collections"]]
        found.append((item["id"], bytes.fromhex(item["descriptor_hex"]), tlcs))
    parser = json.loads((ROOT / "tests/data/hid-parser-expectations.json").read_text())
    for case in parser["cases"]:
        found.append((case["id"], bytes.fromhex(case["descriptor_hex"]), None))
    return found


def array_of_usages(count, usage_page=0x09):
    """One array input item naming `count` usages, 65535 fields of 7 bits: the
    parser makes a cap per usage, each over all the fields."""
    usages = b"".join(bytes([0x09, i % 254 + 1]) for i in range(count))
    return (bytes([0x05, usage_page, 0xA1, 0x01]) + usages +
            bytes([0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x07, 0x96, 0xFF, 0xFF, 0x81, 0x00, 0xC0]))


# Inputs that once made a target fail, kept as seeds so that every replay
# checks them again.
ALLOCATION = array_of_usages(100)  # a usage list per cap row: gigabytes in all
USAGE_COST = array_of_usages(1900)  # HidP_GetUsages once read every field per cap


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def hid_descriptor_seeds():
    counting = bytes(range(256)) * 2
    for name, descriptor, _ in descriptors():
        write("hid_descriptor", name + "-zeros", block(descriptor) + bytes(256))
        write("hid_descriptor", name + "-counting", block(descriptor) + counting)
    write("hid_descriptor", "regression-array-usages-cost", block(USAGE_COST) + bytes(64))


# Roles of hid_profile_fuzz: 0 none, 1 touch screen, 2 pen, 3 vendor defined.
def role_of(page, usage):
    if page == 0x0D and usage == 4:
        return 1
    if page == 0x0D and usage == 2:
        return 2
    if page >= 0xFF00:
        return 3
    return 0


def hid_profile_seeds():
    for name, descriptor, tlcs in descriptors():
        if tlcs is None:
            continue
        roles = bytes(role_of(page, usage) for page, usage in tlcs)
        # Reports: a known report ID at its exact length, all zero, then all ones,
        # then one of any length.
        reports = (u8(3) + u16(0) + u8(0) + bytes(64) + u8(3) + u16(0) + u8(0) + b"\xff" * 64 +
                   u8(0) + u16(5) + b"\x01\x02\x03\x04\x05")
        write("hid_profile", name, block(descriptor) + roles + reports)
    write("hid_profile", "regression-allocation", block(ALLOCATION) + u8(1))


def controller_device(pid=0x0101, firmware=0x1203, fault=0):
    return u8(0x20) + u16(pid) + u16(firmware) + u8(fault)


def fuzzed_device(descriptor=None, vendor=None, hardware=None, instance=None):
    kind = 0
    tail = b""
    if descriptor is not None:
        kind |= 1
        tail += block(descriptor)
    if vendor is not None:
        kind |= 4
        tail += u16(vendor)
    if hardware is not None:
        kind |= 8
        tail += text(hardware)
    if instance is not None:
        kind |= 0x10
        tail += text(instance)
    return u8(kind) + u16(0x0101) + u16(0x1203) + u8(0) + tail


# Operations of hid_bus_fuzz: the op byte, a 16-bit length, then its own bytes.
def op_write_command(command, timeout=3, dev=0):
    return u8(1) + u16(len(command)) + bytes(command) + u8(timeout) + u8(dev)


def op_read_data(length=64, timeout=3, dev=0, strip=1):
    return u8(2) + u16(length) + u8(timeout) + u8(dev) + u8(strip)


def op_profile(report, dev=0):
    return u8(8) + u16(0) + u8(dev) + u16(len(report)) + bytes(report)


# The controller layer's commands (op 13): connect, disconnect, firmware
# version, wake-on-touch selection, sleep, wake, reset, device path.
def op_controller(command, *extra):
    return u8(13) + u16(0) + u8(command) + bytes(extra)


CONNECT = op_controller(0, 1)
DISCONNECT = op_controller(1)
FIRMWARE = op_controller(2)


def standard_ids():
    return u8(1) + u8(1)  # input report 2, output report 3


# A fuzzed device's answer to one write: done, then one input report on
# collection 1 at its exact length with one of its report IDs.
ANSWER_WITH_REPORT = u8(0x08) + u8(1) + u8(3) + bytes(64) + u8(0)

VERSION_QUERY = bytes([0x52, 0x00, 0x00, 0x01])
WAKE_ON_TOUCH = bytes([0xF0, 0x02, 0x00, 0x01])


def hid_bus_seeds():
    write("hid_bus", "controller-version",
          u8(0) + controller_device() + standard_ids() + op_write_command(VERSION_QUERY) + op_read_data())
    write("hid_bus", "controller-wake-on-touch",
          u8(0) + controller_device() + standard_ids() + op_write_command(WAKE_ON_TOUCH) + op_read_data())
    for fault in range(1, 8):
        write("hid_bus", "controller-fault-%d" % fault,
              u8(0) + controller_device(fault=fault) + standard_ids() + op_write_command(VERSION_QUERY) +
              op_read_data() + op_write_command(WAKE_ON_TOUCH) + op_read_data())
    for pid in (0x0101, 0x0007, 0x000B):
        write("hid_bus", "controller-layer-%04x" % pid,
              u8(0) + controller_device(pid=pid) + standard_ids() + CONNECT + FIRMWARE + op_controller(3, 1) +
              op_controller(4) + op_controller(5) + op_controller(7) + DISCONNECT)
    write("hid_bus", "controller-layer-fuzzed-answers",
          u8(0) + fuzzed_device() + standard_ids() + CONNECT + FIRMWARE + ANSWER_WITH_REPORT +
          op_controller(3, 0) + u8(5) + DISCONNECT)
    write("hid_bus", "fuzzed-controller-answers",
          u8(0) + fuzzed_device() + standard_ids() + op_write_command(VERSION_QUERY) + ANSWER_WITH_REPORT +
          op_read_data() + op_write_command(WAKE_ON_TOUCH) + u8(4) + u8(0))
    # A second device of the vendor beside the controller, sharing its pair number.
    write("hid_bus", "two-devices-one-pair",
          u8(1) + controller_device() +
          fuzzed_device(descriptor=bytes.fromhex("0600FF0901A10185030903150026FF007508953F9102C0"),
                        instance="5&1a2b3c4d&0") +
          standard_ids() + op_write_command(WAKE_ON_TOUCH) + u8(0))
    for name, descriptor, tlcs in descriptors():
        if tlcs is None:
            continue
        write("hid_bus", "screen-" + name,
              u8(1) + controller_device() + fuzzed_device(descriptor=descriptor, instance="5&1a2b3c4d&0") +
              standard_ids() + op_profile(bytes(64)) + op_profile(b"\x01" + bytes(63)))
    write("hid_bus", "regression-allocation", u8(0) + fuzzed_device(descriptor=ALLOCATION) + standard_ids())
    write("hid_bus", "maker-word-paths",
          u8(1) + fuzzed_device(hardware="VORN0101&mi_00") + fuzzed_device(hardware="vid_2c1a&pid_0101",
                                                                          instance="serial-without-fields") +
          standard_ids() + u8(0) + u16(0) + u8(1) + u8(1))


# Operations of dbglog_fuzz: kind, operation text, message text, repeats,
# line (32 bits), error code (32 bits), [precision (16 bits) for kind 4].
def log_op(kind, operation, message, repeats=1, line=42, code=2, precision=None):
    data = u8(kind) + text(operation) + text(message) + u8(repeats - 1) + u32(line) + u32(code)
    if precision is not None:
        data += u16(precision)
    return data


def dbglog_seeds():
    unicode = "Zoë wählt 日本語 ✓ 🙂 ".encode("utf-8")
    write("dbglog", "ascii", log_op(0, "", "Logging Start") + log_op(1, "CHIDWinGet::Open", "CreateFile Success") +
          log_op(2, "CHIDWinGet::Read", "Read Data Wait timeout.") + log_op(3, "Op", "SetEvent", code=6))
    write("dbglog", "utf8-long", log_op(1, "Op", unicode, repeats=16) + log_op(2, "Op", unicode, repeats=16) +
          log_op(3, "Op", unicode, repeats=16, code=5) + log_op(0, "", unicode, repeats=16))
    write("dbglog", "line-breaks", log_op(2, "Op", "first\r\nsecond\n", repeats=3) + log_op(0, "", "\r\n\r\n"))
    write("dbglog", "cut-inside", log_op(4, "Op", unicode, repeats=8, precision=7) +
          log_op(4, "Op", unicode, repeats=8, precision=509))
    write("dbglog", "invalid-bytes", log_op(1, b"\xc3", b"\xe6\x97\xa5\xe6\x9c", repeats=16) +
          log_op(3, b"\xff\xfe", b"\xf0\x9f\x99", repeats=5, code=0x80070005))


# wot_setting_fuzz: a choice byte (0 no key, 1 no value, 2 any path, else a
# value: bit 3 REG_DWORD, bit 4 the name in capitals), the type unless REG_DWORD,
# then the data as a 16-bit length and bytes.
REG_SZ, REG_BINARY, REG_DWORD, REG_QWORD = 1, 3, 4, 11


def value_seed(data, reg_type=None, capitals=False):
    choice = 3 | (0x10 if capitals else 0)
    if reg_type is None:
        return u8(choice | 8) + u16(len(data)) + data
    return u8(choice) + u32(reg_type) + u16(len(data)) + data


def wot_setting_seeds():
    write("wot_setting", "dword-1", value_seed(u32(1)))
    write("wot_setting", "dword-257", value_seed(u32(257), capitals=True))
    write("wot_setting", "qword", value_seed(struct.pack("<Q", 1), REG_QWORD))
    write("wot_setting", "string", value_seed("1\0".encode("utf-16-le"), REG_SZ))
    write("wot_setting", "binary-3", value_seed(b"\x01\x00\x00", REG_BINARY))
    write("wot_setting", "empty", value_seed(b"", REG_DWORD))
    write("wot_setting", "no-key", u8(0))
    write("wot_setting", "no-value", u8(1))
    write("wot_setting", "other-path", u8(2) + text("S-1-5-18\\Software\\Microsoft\\Input\\WakeableInputTypes"))


if __name__ == "__main__":
    hid_descriptor_seeds()
    hid_profile_seeds()
    hid_bus_seeds()
    dbglog_seeds()
    wot_setting_seeds()
