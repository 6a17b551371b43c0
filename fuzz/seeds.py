#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is laid out as its target reads its input through
FuzzedDataProvider: contents (descriptors, reports, texts) from the front,
numbers (lengths, choices) from the back. The descriptors are the real ones
of tests/data and the simulated controller's. Run it after changing the order
in which a target reads its input; the files it writes are committed.
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


class Seed:
    """Part of an input: its contents, read front to back, and its numbers in
    the order the target reads them. Parts add up in reading order."""

    def __init__(self, contents=b"", numbers=b""):
        self.contents = bytes(contents)
        self.numbers = bytes(numbers)

    def __add__(self, other):
        return Seed(self.contents + other.contents, self.numbers + other.numbers)

    def data(self):
        # A number is read from the end of the input, its most significant
        # byte first; so the file ends with the numbers reversed.
        return self.contents + self.numbers[::-1]


def number(value, size):
    return Seed(numbers=value.to_bytes(size, "big"))


def u8(value):
    return number(value & 0xFF, 1)


def u16(value):
    return number(value & 0xFFFF, 2)


def u32(value):
    return number(value & 0xFFFFFFFF, 4)


def i32(value):
    """ConsumeIntegral<int>: the number read counts up from INT_MIN."""
    return u32(value + 2**31)


def in_range(value, low, high):
    """ConsumeIntegralInRange(low, high): as many bytes as the range needs."""
    span = high - low
    size = (span.bit_length() + 7) // 8
    return number(value - low, size)


def content(data):
    return Seed(contents=data)


def block(data):
    return u16(len(data)) + content(data)


def text(data):
    """ConsumeRandomLengthString: a backslash doubled, a backslash and any
    other byte end the text."""
    data = data.encode("utf-8") if isinstance(data, str) else bytes(data)
    return content(data.replace(b"\\", b"\\\\") + b"\\;")


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


def write(target, name, seed):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(seed.data())


def hid_descriptor_seeds():
    # The queries' choices and the reports' bytes come out of the filler, from
    # either end.
    counting = content(bytes(range(256)) * 2)
    for name, descriptor, _ in descriptors():
        write("hid_descriptor", name + "-zeros", block(descriptor) + content(bytes(256)))
        write("hid_descriptor", name + "-counting", block(descriptor) + counting)
    write("hid_descriptor", "regression-array-usages-cost", block(USAGE_COST) + content(bytes(64)))


# Roles of hid_profile_fuzz: 0 none, 1 touch screen, 2 pen, 3 vendor defined.
def role_of(page, usage):
    if page == 0x0D and usage == 4:
        return 1
    if page == 0x0D and usage == 2:
        return 2
    if page >= 0xFF00:
        return 3
    return 0


def role(value):
    return in_range(value, 0, 3)


# A report of hid_profile_fuzz: choice bit 0 a known report ID (then which
# one), bit 1 at its exact length instead of `length`.
def profile_report(choice, length, data, known=0):
    seed = u8(choice) + in_range(length, 0, 4095)
    if choice & 1:
        seed += u8(known)
    return seed + content(data)


def hid_profile_seeds():
    for name, descriptor, tlcs in descriptors():
        if tlcs is None:
            continue
        roles = sum((role(role_of(page, usage)) for page, usage in tlcs), Seed())
        # A known report ID at its exact length, all zero, then all ones, then
        # one of any length.
        reports = (profile_report(3, 0, bytes(64)) + profile_report(3, 0, b"\xff" * 64) +
                   profile_report(0, 5, b"\x01\x02\x03\x04\x05"))
        write("hid_profile", name, block(descriptor) + roles + reports)
    write("hid_profile", "regression-allocation", block(ALLOCATION) + role(1))


def controller_device(pid=0x0101, firmware=0x1203, fault=0):
    return u8(0x20) + u16(pid) + u16(firmware) + in_range(fault, 0, 7)


def fuzzed_device(descriptor=None, vendor=None, hardware=None, instance=None):
    kind = 0
    tail = Seed()
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
    return u8(kind) + u16(0x0101) + u16(0x1203) + in_range(0, 0, 7) + tail


# Operations of hid_bus_fuzz: the op, a length below 4096, then its own
# choices and bytes. A transfer's time-out is one of four.
def op(number, length=0):
    return in_range(number, 0, 14) + in_range(length, 0, 4095)


def op_write_command(command, timeout=3, dev=0):
    return op(1, len(command)) + content(command) + in_range(timeout, 0, 3) + u8(dev)


def op_read_data(length=64, timeout=3, dev=0, strip=1):
    return op(2, length) + in_range(timeout, 0, 3) + u8(dev) + u8(strip)


def op_profile(report, dev=0):
    return op(8) + u8(dev) + in_range(len(report), 0, 4095) + content(report)


# The controller layer's commands (op 13): connect, disconnect, firmware
# version, wake-on-touch selection, sleep, wake, reset, device path.
def op_controller(command, *extra):
    return sum((u8(value) for value in extra), op(13) + u8(command))


CONNECT = op_controller(0, 1)
DISCONNECT = op_controller(1)
FIRMWARE = op_controller(2)


def standard_ids():
    return u8(1) + u8(1)  # input report 2, output report 3


def device_count(count):
    return in_range(count, 1, 4)


# A fuzzed device's answer to one write: done, then one input report on
# collection 1 at its exact length with one of its report IDs.
ANSWER_WITH_REPORT = u8(0x08) + u8(1) + u8(3) + content(bytes(64)) + u8(0)
ANSWER_STUCK = u8(5)
ANSWER_FAILED = u8(4) + in_range(0, 0, 4)

VERSION_QUERY = bytes([0x52, 0x00, 0x00, 0x01])
WAKE_ON_TOUCH = bytes([0xF0, 0x02, 0x00, 0x01])


def hid_bus_seeds():
    write("hid_bus", "controller-version",
          device_count(1) + controller_device() + standard_ids() + op_write_command(VERSION_QUERY) + op_read_data())
    write("hid_bus", "controller-wake-on-touch",
          device_count(1) + controller_device() + standard_ids() + op_write_command(WAKE_ON_TOUCH) + op_read_data())
    for fault in range(1, 8):
        write("hid_bus", "controller-fault-%d" % fault,
              device_count(1) + controller_device(fault=fault) + standard_ids() + op_write_command(VERSION_QUERY) +
              op_read_data() + op_write_command(WAKE_ON_TOUCH) + op_read_data())
    for pid in (0x0101, 0x0007, 0x000B):
        write("hid_bus", "controller-layer-%04x" % pid,
              device_count(1) + controller_device(pid=pid) + standard_ids() + CONNECT + FIRMWARE +
              op_controller(3, 1) + op_controller(4) + op_controller(5) + op_controller(7) + DISCONNECT)
    write("hid_bus", "controller-layer-fuzzed-answers",
          device_count(1) + fuzzed_device() + standard_ids() + CONNECT + FIRMWARE + ANSWER_WITH_REPORT +
          op_controller(3, 0) + ANSWER_STUCK + DISCONNECT)
    write("hid_bus", "fuzzed-controller-answers",
          device_count(1) + fuzzed_device() + standard_ids() + op_write_command(VERSION_QUERY) + ANSWER_WITH_REPORT +
          op_read_data() + op_write_command(WAKE_ON_TOUCH) + ANSWER_FAILED)
    # A second device of the vendor beside the controller, sharing its pair number.
    write("hid_bus", "two-devices-one-pair",
          device_count(2) + controller_device() +
          fuzzed_device(descriptor=bytes.fromhex("0600FF0901A10185030903150026FF007508953F9102C0"),
                        instance="5&1a2b3c4d&0") +
          standard_ids() + op_write_command(WAKE_ON_TOUCH) + u8(0))
    for name, descriptor, tlcs in descriptors():
        if tlcs is None:
            continue
        write("hid_bus", "screen-" + name,
              device_count(2) + controller_device() + fuzzed_device(descriptor=descriptor, instance="5&1a2b3c4d&0") +
              standard_ids() + op_profile(bytes(64)) + op_profile(b"\x01" + bytes(63)))
    write("hid_bus", "regression-allocation",
          device_count(1) + fuzzed_device(descriptor=ALLOCATION) + standard_ids())
    # Discovery (op 0) of the vendor's devices, any product.
    write("hid_bus", "maker-word-paths",
          device_count(2) + fuzzed_device(hardware="VORN0101&mi_00") +
          fuzzed_device(hardware="vid_2c1a&pid_0101", instance="serial-without-fields") +
          standard_ids() + op(0) + u8(1) + u8(1))


# Operations of dbglog_fuzz: kind, operation text, message text, repeats,
# line, error code (32 bits), [precision below 2048 for kind 4].
def log_op(kind, operation, message, repeats=1, line=42, code=2, precision=None):
    seed = (in_range(kind, 0, 4) + text(operation) + text(message) + in_range(repeats, 1, 16) + i32(line) +
            u32(code))
    if precision is not None:
        seed += in_range(precision, 0, 2047)
    return seed


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
# then the data's length (below 4096) and the data.
REG_SZ, REG_BINARY, REG_DWORD, REG_QWORD = 1, 3, 4, 11


def value_seed(data, reg_type=None, capitals=False):
    choice = 3 | (0x10 if capitals else 0)
    if reg_type is None:
        return u8(choice | 8) + in_range(len(data), 0, 4095) + content(data)
    return u8(choice) + u32(reg_type) + in_range(len(data), 0, 4095) + content(data)


def wot_setting_seeds():
    write("wot_setting", "dword-1", value_seed(struct.pack("<I", 1)))
    write("wot_setting", "dword-257", value_seed(struct.pack("<I", 257), capitals=True))
    write("wot_setting", "qword", value_seed(struct.pack("<Q", 1), REG_QWORD))
    write("wot_setting", "string", value_seed("1\0".encode("utf-16-le"), REG_SZ))
    write("wot_setting", "binary-3", value_seed(b"\x01\x00\x00", REG_BINARY))
    write("wot_setting", "empty", value_seed(b"", REG_DWORD))
    write("wot_setting", "no-key", u8(0))
    write("wot_setting", "no-value", u8(1))
    write("wot_setting", "other-path", u8(2) + text("S-1-5-18\\Software\\Microsoft\\Input\\WakeableInputTypes"))


# ctlmodel_reports_fuzz: firmware, product (one of four), fault, then
# operations: 0/1 an output report, 2 get and 3 set a feature report, 4 an
# input report sent, 5 the wire record drained, 6 a control change.
def model_report(data, zero_as_null=False):
    seed = in_range(len(data), 0, 512)
    if not data:
        seed += u8(1 if zero_as_null else 0)
    return seed + content(data)


def model_output(collection, data):
    return in_range(0, 0, 6) + in_range(collection, 0, 3) + model_report(data)


def model_feature(get, collection, data, zero_as_null=False):
    return in_range(2 if get else 3, 0, 6) + in_range(collection, 0, 3) + model_report(data, zero_as_null)


def model_drain(entries, size=320):
    return in_range(5, 0, 6) + in_range(entries, 0, 8) + sum((in_range(size, 0, 320) for _ in range(entries)), Seed())


def model_fault(fault):
    return in_range(6, 0, 6) + in_range(1, 0, 4) + in_range(fault, 0, 7)


def command(*data):
    return bytes([3, 0, len(data)]) + bytes(data) + bytes(64 - 3 - len(data))


def frame(*data):
    return bytes([3]) + bytes(data) + bytes(64 - 1 - len(data))


def ctlmodel_reports_seeds():
    commands = [command(0x53, 0, 0, 1), command(0xF0, 2, 0, 1), command(0xF0, 2, 0, 0), command(0x54, 0x50, 0, 1),
                command(0x54, 0x58, 0, 1), command(0x77, 0x77, 0x77, 0x77), bytes([3, 0, 6, 0xF0, 2, 0, 1, 0, 0])]
    bridge = [frame(0x12, 0x21, 0x21, 0, 0x21), frame(0x02, 32), frame(0x01, 63), frame(0x11), frame(0x99)]
    for product in range(3):
        for fault in range(8):
            ops = sum((model_output(2, report) for report in commands), Seed())
            if product == 1:
                ops += sum((model_output(2, report) for report in bridge), Seed())
            ops += model_drain(8) + model_output(1, commands[0]) + model_output(2, b"") + model_drain(8, size=7)
            write("ctlmodel_reports", "product-%d-fault-%d" % (product, fault),
                  u16(0x1203) + in_range(product, 0, 3) + in_range(fault, 0, 7) + ops)
    write("ctlmodel_reports", "features",
          u16(0x1203) + in_range(0, 0, 3) + in_range(0, 0, 7) + model_feature(True, 0, bytes([10, 0])) +
          model_feature(True, 0, bytes([10])) + model_feature(True, 1, bytes([10, 0])) +
          model_feature(False, 0, bytes([10, 5])) + model_feature(True, 0, b"", zero_as_null=True) + model_drain(2))
    write("ctlmodel_reports", "long-and-short",
          u16(0x1203) + in_range(1, 0, 3) + in_range(0, 0, 7) + model_output(2, bytes([3, 0, 4, 0x53])) +
          model_output(2, bytes([3, 0x12])) + model_output(2, command(0x53, 0, 0, 1) + bytes(448)) +
          model_fault(7) + model_output(2, command(0x53, 0, 0, 1)) + model_drain(8, size=1))


if __name__ == "__main__":
    hid_descriptor_seeds()
    hid_profile_seeds()
    hid_bus_seeds()
    dbglog_seeds()
    wot_setting_seeds()
    ctlmodel_reports_seeds()
