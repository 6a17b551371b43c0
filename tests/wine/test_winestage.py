"""The Wine stage's readers and bookkeeping, on saved samples of what Wine and
the product write: a misread here would pass or fail the stage wrongly."""

import io
import tempfile
import unittest
from datetime import datetime
from pathlib import Path

from winestage import conformance, controller, evidence, exports, installer, product, scenario, winsim_story
from winestage.report import FAIL, PASS, SKIP, Plan, Report
from winestage.scenario import BANNER_RULE, BANNER_TITLE, banner_problem
from winestage.controller_commands import ControllerCommands
from winestage.controller_service import ControllerService
from winestage.service_road import in_order
from winestage.stage import Stage
import os

from winestage.session import Prefix, Process, Result

STAMP = "[0306-14:05:09.042][PID=321] "


class DebugLogReading(unittest.TestCase):
    def test_entries_carry_time_pid_and_text_and_skip_the_empty_lines_of_line_breaks(self):
        data = (f"{STAMP}{BANNER_RULE}\r\n\r\n"
                f"[0306-14:05:10.500][PID=8] [VORNAPI::Connect#12]Connect\n\r\n"
                f"[0306-14:05:11.000][PID=8] [ERR]Device is not connected.\r\n\r\n").encode()
        entries = evidence.parse_log_file("20250306-14.log", data)
        self.assertEqual([e.pid for e in entries], [321, 8, 8])
        self.assertEqual(entries[0].when, datetime(2025, 3, 6, 14, 5, 9, 42000))
        self.assertEqual(entries[1].text, "[VORNAPI::Connect#12]Connect")
        self.assertEqual(entries[2].text, "[ERR]Device is not connected.")
        self.assertTrue(all(e.in_file_of_its_hour() for e in entries))

    def test_a_line_still_being_written_is_left_for_the_next_read(self):
        data = f"{STAMP}first\r\n{STAMP}sec".encode()
        self.assertEqual([e.text for e in evidence.parse_log_file("20250306-14.log", data)], ["first"])

    def test_a_text_broken_inside_continues_its_entry(self):
        data = f"{STAMP}Reg Key Path = S-1 \nmore\r\n".encode()
        self.assertEqual(evidence.parse_log_file("20250306-14.log", data)[0].text,
                         "Reg Key Path = S-1 \nmore")

    def test_a_line_in_the_file_of_another_hour_is_noticed(self):
        entry = evidence.parse_log_file("20250306-13.log", f"{STAMP}x\r\n".encode())[0]
        self.assertFalse(entry.in_file_of_its_hour())

    def test_since_a_mark_sees_appended_lines_and_new_files_only(self):
        with tempfile.TemporaryDirectory() as folder:
            log = evidence.DebugLog(folder)
            first = Path(folder) / "20250306-14.log"
            first.write_bytes(f"{STAMP}old\r\n".encode())
            mark = log.mark()
            with first.open("ab") as f:
                f.write(f"{STAMP}new\r\n".encode())
            (Path(folder) / "20250306-15.log").write_bytes(b"[0306-15:00:00.000][PID=3] next\r\n")
            (Path(folder) / "notes.txt").write_bytes(f"{STAMP}ignored\r\n".encode())
            self.assertEqual([e.text for e in log.since(mark)], ["new", "next"])

    def test_banner_pids_in_start_order(self):
        entries = [evidence.LogEntry("f", datetime(2025, 1, 1), pid, text) for pid, text in
                   [(9, BANNER_TITLE), (9, "x"), (4, BANNER_TITLE), (9, BANNER_TITLE)]]
        self.assertEqual(evidence.banner_pids(entries), [9, 4])


class EventLogReading(unittest.TestCase):
    CALL = ("{tid}:fixme:advapi:ReportEventW (00000000CAFE4242,0x{type},0x0000,0x00000000,"
            "0000000000000000,0x0002,0x00000000,000000000199FCB0,0000000000000000): stub")

    def line(self, tid, text):
        return f'{tid}:trace:eventlog:ReportEventW L"{text}"'

    def test_strings_of_interleaved_threads_are_kept_apart(self):
        lines = [self.CALL.format(tid="0168", type="0004"), self.CALL.format(tid="0170", type="0001"),
                 self.line("0168", "VornPalmixSvc"), self.line("0170", "VornPalmixSvc"),
                 self.line("0170", "second"), self.line("0168", "first"),
                 "0168:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub"]
        entries = evidence.parse_event_lines("\n".join(lines))
        self.assertEqual([(e.text, e.event_type) for e in entries], [("second", 1), ("first", 4)])

    def test_without_the_call_line_two_strings_make_an_entry_of_unknown_type(self):
        entries = evidence.parse_event_lines("\n".join([self.line("00d4", "VornPalmixSvc"),
                                                        self.line("00d4", "OnStop OK.")]))
        self.assertEqual((entries[0].source, entries[0].text, entries[0].event_type),
                         ("VornPalmixSvc", "OnStop OK.", -1))

    def test_wine_quoting_is_undone(self):
        quoted = r'Connect fail. [ERR]Device is not connected.\r\n \"q\" \\ \00e9'
        self.assertEqual(evidence.unescape_debugstr(quoted),
                         'Connect fail. [ERR]Device is not connected.\r\n "q" \\ \u00e9')

    def test_only_entries_of_the_source_are_read_from_a_file(self):
        with tempfile.NamedTemporaryFile("w", suffix=".err", delete=False) as f:
            f.write("\n".join([self.line("1", "Other"), self.line("1", "x"),
                               self.line("2", "VornPalmixSvc"), self.line("2", "mine")]))
        try:
            self.assertEqual([e.text for e in evidence.event_entries(f.name, "VornPalmixSvc")], ["mine"])
        finally:
            Path(f.name).unlink()
        self.assertEqual(evidence.event_entries("/nonexistent/file.err", "VornPalmixSvc"), [])


class StatusReportReading(unittest.TestCase):
    def test_state_and_accepted_controls_of_each_traced_report(self):
        lines = ["0058:trace:service:SetServiceStatus 00000000010A1F00 0x30 0x4 0x5 0 0 0 0",
                 "0104:trace:service:SetServiceStatus 0000000000000001 0x110 0x2 0x85 0 0 0x1 0",
                 "0104:trace:service:StartServiceCtrlDispatcherW 000000000011FD30",
                 "0108:trace:service:SetServiceStatus 0000000000000001 0x110 0x4 0x85 0 0 0 0",
                 "0108:trace:eventlog:ReportEventW L\"VornPalmixSvc\""]
        with tempfile.NamedTemporaryFile("w", suffix=".err", delete=False) as f:
            f.write("\n".join(lines))
        try:
            self.assertEqual(evidence.status_reports(f.name), [(0x30, 0x4, 0x5), (0x110, 0x2, 0x85), (0x110, 0x4, 0x85)])
        finally:
            Path(f.name).unlink()
        self.assertEqual(evidence.status_reports("/nonexistent/file.err"), [])


class ConsoleAndBanner(unittest.TestCase):
    def test_console_lines_drop_carriage_returns_and_empty_lines(self):
        text = "Library Version Information  x\r\r\n \r\n\r\r\nConnect\r\n"
        self.assertEqual(evidence.console_lines(text), ["Library Version Information  x", "Connect"])

    def test_in_order_allows_lines_between_but_not_a_swap(self):
        self.assertTrue(in_order(["a", "x", "b", "c"], ["a", "b", "c"]))
        self.assertFalse(in_order(["b", "a", "c"], ["a", "b", "c"]))
        self.assertFalse(in_order(["a"], ["a", "a"]))

    def banner(self, path="C:\\VORN\\Palmix\\VornPalmixSvc.exe", version="File Version: 1.0.3.7"):
        texts = [BANNER_RULE, BANNER_TITLE, BANNER_RULE, "FilePath:", path] + ([version] if version else [])
        return [evidence.LogEntry("f", datetime(2025, 1, 1), 1, t) for t in texts]

    def test_banner_matches_with_the_path_in_any_letter_case(self):
        self.assertEqual(banner_problem(self.banner(path="c:\\vorn\\palmix\\vornpalmixsvc.exe"),
                                        "C:\\VORN\\Palmix\\VornPalmixSvc.exe", "1.0.3.7"), "")

    def test_banner_without_version_line_or_with_another_version_is_reported(self):
        exe = "C:\\VORN\\Palmix\\VornPalmixSvc.exe"
        self.assertIn("item 6", banner_problem(self.banner(version=None), exe, "1.0.3.7"))
        self.assertIn("1.0.3.7", banner_problem(self.banner(version="File Version: 1.0.0.0"), exe, "1.0.3.7"))


class PlanAndReport(unittest.TestCase):
    def plan(self, missing=()):
        return Plan("group", {"a": ("exe",), "b": ("exe", "service"), "c": ()}, missing=set(missing))

    def test_unreached_checks_fail_with_the_reason_and_unmet_needs_skip(self):
        plan = self.plan(missing={"service"})
        plan.record("a", True)
        plan.record("b", True)  # its needs are unmet: ignored
        plan.aborted = "net start failed"
        outcomes = plan.finish(lambda lacking: f"waits for {lacking}")
        self.assertEqual([(o.name, o.status) for o in outcomes], [("a", PASS), ("b", SKIP), ("c", FAIL)])
        self.assertIn("net start failed", outcomes[2].detail)
        self.assertFalse(plan.can("b"))

    def test_the_first_verdict_of_a_check_stands_and_undeclared_checks_are_refused(self):
        plan = self.plan()
        plan.record("a", False, "first")
        plan.record("a", True)
        self.assertEqual(plan.finish(str)[0].status, FAIL)
        with self.assertRaises(KeyError):
            plan.record("typo", True)

    def test_closing_line_and_exit_status(self):
        out = io.StringIO()
        report = Report(out)
        plan = self.plan(missing={"service"})
        plan.record("a", True)
        plan.record("c", False, "why")
        report.group("group", plan.finish(str))
        self.assertEqual(report.close(), 1)
        lines = out.getvalue().splitlines()
        self.assertEqual(lines[-1], "1 passed, 1 failed")
        self.assertIn("FAIL group: c -- why", lines)


class ConformanceResults(unittest.TestCase):
    def test_gaps_need_a_reason(self):
        with tempfile.NamedTemporaryFile("w", delete=False) as f:
            f.write("# comment\nConformanceX.*  Wine answers 0 here\nConformanceY.Z\n")
        try:
            with self.assertRaisesRegex(ValueError, "ConformanceY.Z has no reason"):
                conformance.load_gaps(f.name)
        finally:
            Path(f.name).unlink()

    def test_test_list_with_typed_suites(self):
        listing = ("Running main() from gtest_main.cc\nConformanceEvent.\n  Manual\n  Auto\n"
                   "Typed/0.  # TypeParam = int\n  Works  # GetParam() = 1\n")
        self.assertEqual(conformance.parse_test_list(listing),
                         ["ConformanceEvent.Manual", "ConformanceEvent.Auto", "Typed/0.Works"])

    def test_results_gaps_and_tests_that_never_reported(self):
        xml = ('<testsuites><testsuite name="S">'
               '<testcase name="Ok" classname="S" status="run" result="completed"/>'
               '<testcase name="Bad" classname="S" status="run" result="completed">'
               '<failure message="x.cpp:3&#x0A;Expected equality"/></testcase>'
               '<testcase name="Skipped" classname="S" status="run" result="skipped">'
               '<skipped message="x.cpp:9&#x0A;Wine keeps the old rule"/></testcase>'
               '</testsuite></testsuites>')
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "results.xml"
            path.write_text(xml)
            run = Result(["suite"], 1, "", "", 1.0, False, path)
            outcomes = conformance._outcomes(["S.Ok", "S.Bad", "S.Skipped", "S.Gap", "S.Crashed"],
                                             {"S.Gap": "Wine differs"}, path, run)
        self.assertEqual([o.status for o in outcomes], [PASS, FAIL, SKIP, SKIP, FAIL])
        self.assertEqual(outcomes[1].detail, "x.cpp:3")
        self.assertTrue(outcomes[2].detail.endswith(": Wine keeps the old rule"))
        self.assertIn("Wine differs", outcomes[3].detail)
        self.assertEqual(conformance.gap_reason("S.Gap7", {"S.Gap*": "r"}), "r")

    def test_a_suite_that_dies_without_failures_fails_the_group(self):
        run = Result(["suite"], 3, "", "", 1.0, False, Path("x"))
        outcomes = conformance._outcomes([], {}, Path("/nonexistent.xml"), run)
        self.assertEqual([o.status for o in outcomes], [FAIL])


class VirtualControllerOutput(unittest.TestCase):
    def test_state_lines_become_keys_and_values(self):
        text = "wake-on-touch on\r\npower sleep\r\nresets 12\r\n"
        self.assertEqual(controller.parse_state(text), {"wake-on-touch": "on", "power": "sleep", "resets": "12"})

    def test_wire_lines_keep_their_text_and_drop_blank_lines(self):
        text = "out 03 00 04 F0 02 00 01 ...\r\n\r\nin 02 04 52 01 20 40 ...\r\n"
        self.assertEqual(controller.wire_lines(text), ["out 03 00 04 F0 02 00 01 ...", "in 02 04 52 01 20 40 ..."])

    def test_a_build_without_the_driver_files_has_no_vdev_folder(self):
        with tempfile.TemporaryDirectory() as folder:
            vdev = Path(folder) / "vdev"
            vdev.mkdir()
            for name in controller.VDEV_FILES[:-1]:
                (vdev / name).write_bytes(b"x")
            self.assertIsNone(controller.vdev_dir(folder))
            (vdev / controller.VDEV_FILES[-1]).write_bytes(b"x")
            self.assertEqual(controller.vdev_dir(folder), vdev)

    def test_vornsim_wire_channel_is_read_from_its_timeline(self):
        output = ("0.000 sim start\n6.010 wire out 03 00 04 F0 02 00 01 ...\n6.011 ctl wake-on-touch on\n"
                  "9.000 event VornPalmixSvc: wire\n9.200 wire in 02 04 52 01 20 40 ...\n")
        self.assertEqual(winsim_story.wire_of(output), ["out 03 00 04 F0 02 00 01 ...", "in 02 04 52 01 20 40 ..."])

    def test_checks_waiting_for_the_driver_say_so(self):
        self.assertIn("virtual controller", product.describe_missing(["driver"]))

    def test_wire_lines_carry_the_time_and_length_and_keep_other_lines_whole(self):
        text = ("(3 earlier entries were dropped: the record holds 256)\r\n"
                "120 out 03 00 04 53 00 00 01 ... [64 bytes]\r\n125 in 02 ... (write failed) [16 bytes]\r\n")
        self.assertEqual(controller.wire_entries(text),
                         [(None, "(3 earlier entries were dropped: the record holds 256)", None),
                          (120, "out 03 00 04 53 00 00 01 ...", 64), (125, "in 02 ... (write failed)", 16)])


class DriverThatDidNotInstall(unittest.TestCase):
    def stage(self, built):
        stage = Stage(Path("/nonexistent"), Path("VornPalmixSvc.exe"), "1.0.3.7", set(), "")
        controller.mark_driver(stage, "vorndev install in the template: exit 1", built=built)
        return stage

    def sessions(self, title):
        raise AssertionError(f"{title}: no session may start")

    def test_a_built_driver_that_did_not_install_fails_the_controller_groups(self):
        stage = self.stage(built=True)
        for group in (ControllerCommands(stage, self.sessions), ControllerService(stage, self.sessions)):
            outcomes = group.execute()
            self.assertTrue(outcomes)
            self.assertEqual({o.status for o in outcomes}, {FAIL}, group.title)
            self.assertTrue(all("exit 1" in o.detail for o in outcomes))

    def test_a_driver_not_built_leaves_them_waiting(self):
        outcomes = ControllerCommands(self.stage(built=False), self.sessions).execute()
        self.assertEqual({o.status for o in outcomes}, {SKIP})


class ExportTable(unittest.TestCase):
    DUMP = ("There is an export table in .edata at 0x14001d000\n\n[Ordinal/Name Pointer] Table\n"
            "\t[   0] ??0CTPInfo@@QEAA@XZ\n\t[   1] _ZN7CTPInfoC1Ev\n\nThe Function Table\n")

    def test_names_are_read_from_the_name_pointer_table_only(self):
        self.assertEqual(exports.export_names(self.DUMP), ["??0CTPInfo@@QEAA@XZ", "_ZN7CTPInfoC1Ev"])

    def test_a_dropped_or_an_extra_export_is_a_problem(self):
        full = sorted(exports.MSVC_EXPORTS | exports.MINGW_EXPORTS)
        self.assertEqual(exports.table_problem(full), "")
        self.assertIn("missing ?GetYTrace@CTPInfo@@QEAAHXZ",
                      exports.table_problem([n for n in full if n != "?GetYTrace@CTPInfo@@QEAAHXZ"]))
        self.assertIn("unexpected _ZN7CTPInfo8CopyFromERKS_",
                      exports.table_problem(full + ["_ZN7CTPInfo8CopyFromERKS_"]))
        self.assertEqual(exports.table_problem([]), "the executable exports nothing")


class ProductProbe(unittest.TestCase):
    def test_version_from_the_cache_and_reasons_for_missing_parts(self):
        with tempfile.TemporaryDirectory() as folder:
            (Path(folder) / "CMakeCache.txt").write_text("CMAKE_PROJECT_VERSION:STATIC=1.0.3.7\n")
            self.assertEqual(product.project_version(folder), "1.0.3.7")
            self.assertIsNone(product.project_version(Path(folder) / "none"))
            self.assertIsNone(product.find_executable(folder))
        self.assertEqual(product.missing_features(None)[0], {"exe", "log", "service", "controller", "watcher"})
        self.assertIn("CSampleService", product.describe_missing(["service"]))
        self.assertEqual(product.describe_missing(["exe", "log"]), "waits for VornPalmixSvc.exe to be built")


class PackageReading(unittest.TestCase):
    def test_reg_query_output_is_read_key_by_key_with_the_value_types(self):
        text = ("\r\nHKEY_LOCAL_MACHINE\\Software\\X\\{A}\r\n    DisplayName    REG_SZ    VORN Palmix Service\r\n"
                "    DisplayVersion    REG_SZ    1.0.4\r\n    Comments    REG_SZ    \r\n\r\n"
                "HKEY_LOCAL_MACHINE\\Software\\X\\{B}\r\n    File    REG_EXPAND_SZ    C:\\a.exe\r\n")
        keys = scenario.reg_values(text)
        self.assertEqual(list(keys), ["HKEY_LOCAL_MACHINE\\Software\\X\\{A}", "HKEY_LOCAL_MACHINE\\Software\\X\\{B}"])
        self.assertEqual(keys["HKEY_LOCAL_MACHINE\\Software\\X\\{A}"],
                         {"DisplayName": "VORN Palmix Service", "DisplayVersion": "1.0.4", "Comments": ""})
        self.assertEqual(scenario.reg_entries(text)["HKEY_LOCAL_MACHINE\\Software\\X\\{B}"],
                         {"File": ("REG_EXPAND_SZ", "C:\\a.exe")})
        self.assertEqual(installer.bumped("1.0.3"), "1.0.4")
        self.assertTrue(installer.expected_description())

    def test_what_is_no_executable_or_no_package_version_is_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            exe = Path(folder) / "a.exe"
            exe.write_bytes(b"MZ" + b"\0" * 62)
            for bad in (lambda: installer.packaging.file_version(exe),
                        lambda: installer.packaging.file_version(Path(folder) / "none.exe"),
                        lambda: installer.packaging.check_version("1.0"),
                        lambda: installer.packaging.check_version("256.0.1")):
                with self.assertRaises(installer.packaging.PackageError):
                    bad()


class ProcessesAndPrefixes(unittest.TestCase):
    def test_output_goes_to_files_and_the_exit_status_is_kept(self):
        with tempfile.TemporaryDirectory() as folder:
            out, err = Path(folder) / "a.out", Path(folder) / "a.err"
            result = Process(["sh", "-c", "echo out; echo err >&2; exit 3"], dict(os.environ),
                             out, err, limit_s=30).wait()
        self.assertEqual((result.returncode, result.stdout, result.stderr, result.timed_out),
                         (3, "out\n", "err\n", False))

    def test_a_call_past_its_limit_is_ended_and_marked(self):
        with tempfile.TemporaryDirectory() as folder:
            result = Process(["sleep", "30"], dict(os.environ), Path(folder) / "o", Path(folder) / "e",
                             limit_s=1).wait()
        self.assertTrue(result.timed_out)
        self.assertLess(result.elapsed_s, 15)

    def fake_prefix(self, root):
        prefix = Prefix(root / "template", root / "tmp")
        (prefix.path / "drive_c/windows/system32").mkdir(parents=True)
        (prefix.path / "drive_c/windows/system32/kernel32.dll").write_text("code")
        (prefix.path / "drive_c/users").mkdir(parents=True)
        (prefix.path / "system.reg").write_text("registry")
        (prefix.path / "wineserver").write_text("wine-AbC123")
        (prefix.path / "dosdevices").mkdir()
        (prefix.path / "dosdevices/c:").symlink_to("../drive_c")
        return prefix

    def test_a_clone_shares_wine_code_by_link_and_owns_its_registry(self):
        with tempfile.TemporaryDirectory() as folder:
            template = self.fake_prefix(Path(folder))
            clone = template.clone(Path(folder) / "clone")
            dll = "drive_c/windows/system32/kernel32.dll"
            self.assertTrue(os.path.samefile(template.path / dll, clone.path / dll))
            self.assertFalse(os.path.samefile(template.path / "system.reg", clone.path / "system.reg"))
            self.assertEqual(os.readlink(clone.path / "dosdevices/c:"), "../drive_c")
            self.assertEqual(clone.tmp_dir, template.tmp_dir)

    def test_server_folder_is_named_by_the_prefix_and_its_inode(self):
        with tempfile.TemporaryDirectory() as folder:
            prefix = self.fake_prefix(Path(folder))
            st = prefix.path.stat()
            self.assertEqual(prefix.server_dir(),
                             Path(folder) / "tmp/wine-AbC123" / f"server-{st.st_dev:x}-{st.st_ino:x}")
            self.assertEqual(prefix.windows_path(prefix.drive_c / "VORN" / "a.exe"), "C:\\VORN\\a.exe")


if __name__ == "__main__":
    unittest.main()
