#!/usr/bin/python3
"""The installer package of VornPalmixSvc.exe and its Authenticode signatures.

    packaging/package.py [--build | --exe EXE] [--out DIR] [--help-link URL]
                         [--sign CERT.pfx [--pass-file FILE] (--timestamp URL | --no-timestamp)]
    packaging/package.py [--build | --exe EXE] [--out DIR] --self-test

builds the Windows executable first with --build (scripts/package does), copies
the executable into DIR (default build/package), signs it when a
certificate is given, builds VornPalmixSvc-<version>-x64.msi from it with wixl,
completes the package's tables with msibuild where wixl has no element for what
they need, and signs the package too. The version is major.minor.patch of the
executable's version resource (Windows Installer compares only those three
fields), read with pefile. The stage of the Wine tests uses the same functions.

Runs with Debian's python3, which has python3-pefile (scripts/setup).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WXS = ROOT / "packaging" / "VornPalmixSvc.wxs"
EXE_NAME = "VornPalmixSvc.exe"
DEFAULT_EXE = ROOT / "build" / "windows" / "app" / EXE_NAME
DEFAULT_OUT = ROOT / "build" / "package"
DESCRIPTION = "VORN Palmix Service"
# Programs and Features shows it as the product's help link.
HELP_LINK = "https://www.vorn.example/support/palmix"
TOOL_LIMIT_S = 120
SELF_TEST_SUFFIX = "-selftest"

# What the package's tables get after wixl (its 0.101 has no element for these
# and ignores or refuses the attributes that would say them). The identifiers
# are those of packaging/VornPalmixSvc.wxs.
UPGRADE_CODE = "{57D55DA0-AD43-4391-BEC8-F523F3FCE5DD}"
SERVICE_COMPONENT = "Service"
SERVICE_NAME = "VornPalmixSvc"
LOG_COMPONENT = "DebugLog"
LOG_FOLDER = "DebugLogFolder"
# Upgrade row attributes: migrate feature states (1) and take the maximum
# version itself (512), so that a rebuild of the same version replaces the
# installed product instead of going in beside it.
UPGRADE_SAME_VERSION = 513
# The failure actions: at install and reinstall (events 1 + 4), restart after
# 5 s, again after 60 s, then nothing; the count starts again after a day.
FAILURE_EVENTS = 5
FAILURE_RESET_S = 86400
FAILURE_ACTIONS = "1[~]1[~]0"
FAILURE_DELAYS_MS = "5000[~]60000[~]0"
# MsiConfigureServices runs between InstallServices (5800) and StartServices
# (5900), from Windows Vista on.
CONFIGURE_SERVICES_SEQUENCE = 5850
REMOVE_EXISTING_SEQUENCE = 1401  # right after InstallValidate: the old product goes first
# Component attributes: permanent (16), so that an uninstall leaves the log
# folder (the log is the administrator's); transitive (64), so that a
# reinstall with DEBUGLOG=1 adds it to a product installed without it.
LOG_COMPONENT_ATTRIBUTES = 16 | 64
LOG_PROPERTY = "DEBUGLOG"
LOG_CONDITION = f'{LOG_PROPERTY}="1"'
# Full control for SYSTEM and Administrators only, inherited by the hourly
# files, nothing inherited from C:\ (where authenticated users may modify).
LOG_FOLDER_SDDL = "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"


class PackageError(RuntimeError):
    """A step of building or signing failed; the message says which and why."""


def run(args, what, cwd=None):
    try:
        proc = subprocess.run([str(a) for a in args], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, errors="replace", timeout=TOOL_LIMIT_S, cwd=cwd)
    except FileNotFoundError:
        raise PackageError(f"{what}: {args[0]} is not installed (scripts/setup installs it)") from None
    except subprocess.TimeoutExpired:
        raise PackageError(f"{what}: {args[0]} did not finish within {TOOL_LIMIT_S} s") from None
    if proc.returncode != 0:
        detail = (proc.stderr.strip() or proc.stdout.strip()).splitlines()[-3:]
        raise PackageError(f"{what}: {args[0]} exited with {proc.returncode}: {' / '.join(detail)}")
    return proc


def file_version(exe):
    """The four fields of the executable's version resource."""
    try:
        import pefile
    except ImportError:
        raise PackageError(f"python3-pefile is not installed for {sys.executable} "
                           "(scripts/setup installs it for Debian's /usr/bin/python3)") from None
    try:
        image = pefile.PE(str(exe), fast_load=True)
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except OSError as error:
        raise PackageError(f"cannot read {exe}: {error.strerror}") from None
    except pefile.PEFormatError as error:
        raise PackageError(f"{exe} is not a Windows executable: {error}") from None
    fixed = getattr(image, "VS_FIXEDFILEINFO", None)
    if not fixed:
        raise PackageError(f"{exe} has no version resource")
    high, low = fixed[0].FileVersionMS, fixed[0].FileVersionLS
    return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def package_version(exe):
    """major.minor.patch: a release that should upgrade bumps patch."""
    return ".".join(str(part) for part in file_version(exe)[:3])


def msi_name(version, self_test=False):
    return f"VornPalmixSvc-{version}-x64{SELF_TEST_SUFFIX if self_test else ''}.msi"


def staged_name(self_test=False):
    """What is signed with a throw-away certificate never has a shippable name."""
    return EXE_NAME.replace(".exe", SELF_TEST_SUFFIX + ".exe") if self_test else EXE_NAME


def check_version(version):
    parts = version.split(".")
    if len(parts) != 3 or not all(p.isdigit() and int(p) <= 0xFFFF for p in parts) or int(parts[0]) > 255:
        raise PackageError(f"package version {version!r} is not major.minor.patch (major at most 255)")


def sql_text(value):
    return "'" + value.replace("'", "''") + "'"


def completing_queries(version, exe_version, log_attributes, secure_properties):
    """What msibuild does to the tables wixl wrote."""
    return [
        # A public property reaches the installation's server side only when listed.
        f"UPDATE `Property` SET `Value` = {sql_text(secure_properties)} WHERE `Property` = 'SecureCustomProperties'",
        # The Upgrade row's attributes are part of its key: replaced, not updated.
        "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
        "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES "
        f"({sql_text(UPGRADE_CODE)}, {sql_text(version)}, {UPGRADE_SAME_VERSION}, 'WIX_UPGRADE_DETECTED')",
        "DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RemoveExistingProducts'",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES "
        f"('RemoveExistingProducts', {REMOVE_EXISTING_SEQUENCE})",
        # A versioned file carries its version and no hash.
        f"UPDATE `File` SET `Version` = {sql_text(exe_version)} WHERE `File` = {sql_text(EXE_NAME)}",
        f"DELETE FROM `MsiFileHash` WHERE `File_` = {sql_text(EXE_NAME)}",
        # "#%" makes the value REG_EXPAND_SZ, as -install writes it.
        "UPDATE `Registry` SET `Value` = '#%[#VornPalmixSvc.exe]' WHERE `Name` = 'EventMessageFile'",
        "CREATE TABLE `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions` CHAR(72) NOT NULL, "
        "`Name` CHAR(255) NOT NULL LOCALIZABLE, `Event` SHORT NOT NULL, `ResetPeriod` LONG, "
        "`RebootMessage` CHAR(255) LOCALIZABLE, `Command` CHAR(255) LOCALIZABLE, `Actions` CHAR(255), "
        "`DelayActions` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `MsiServiceConfigFailureActions`)",
        "INSERT INTO `MsiServiceConfigFailureActions` (`MsiServiceConfigFailureActions`, `Name`, `Event`, "
        "`ResetPeriod`, `Actions`, `DelayActions`, `Component_`) VALUES "
        f"({sql_text(SERVICE_NAME)}, {sql_text(SERVICE_NAME)}, {FAILURE_EVENTS}, {FAILURE_RESET_S}, "
        f"{sql_text(FAILURE_ACTIONS)}, {sql_text(FAILURE_DELAYS_MS)}, {sql_text(SERVICE_COMPONENT)})",
        "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
        f"('MsiConfigureServices', 'VersionNT >= 600', {CONFIGURE_SERVICES_SEQUENCE})",
        f"UPDATE `Component` SET `Attributes` = {log_attributes}, `Condition` = {sql_text(LOG_CONDITION)} "
        f"WHERE `Component` = {sql_text(LOG_COMPONENT)}",
        "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
        "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDL` LONGCHAR NOT NULL, "
        "`Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
        "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDL`) VALUES "
        f"('DebugLogFolderLock', {sql_text(LOG_FOLDER)}, 'CreateFolder', {sql_text(LOG_FOLDER_SDDL)})",
    ]


def table(msi, name):
    """The rows of one of the package's tables as dictionaries (msiinfo export)."""
    lines = run(["msiinfo", "export", msi, name], f"read the {name} table").stdout.split("\n")
    columns = lines[0].rstrip("\r").split("\t")
    return [dict(zip(columns, line.rstrip("\r").split("\t"))) for line in lines[3:] if line.strip()]


def build_msi(exe, out_dir, version=None, help_link=HELP_LINK, self_test=False):
    """Builds the package from `exe` into out_dir; returns its path."""
    exe_version = ".".join(map(str, file_version(exe)))
    version = version or package_version(exe)
    check_version(version)
    out = Path(out_dir) / msi_name(version, self_test)
    out.parent.mkdir(parents=True, exist_ok=True)
    # wixl takes a file's source only as a path relative to where it runs.
    exe = Path(exe).resolve()
    run(["wixl", "-a", "x64", "-D", f"Version={version}", "-D", f"ExeSource={exe.name}",
         "-D", f"HelpLink={help_link}", "-o", out.resolve(), WXS], "build the package", cwd=exe.parent)
    # The base attributes (64-bit) are wixl's; the log folder's component adds its own.
    log_row = [row for row in table(out, "Component") if row["Component"] == LOG_COMPONENT]
    if not log_row:
        raise PackageError(f"build the package: {WXS.name} has no component {LOG_COMPONENT}")
    attributes = int(log_row[0]["Attributes"] or 0) | LOG_COMPONENT_ATTRIBUTES
    secure = [row["Value"] for row in table(out, "Property") if row["Property"] == "SecureCustomProperties"]
    queries = completing_queries(version, exe_version, attributes, ";".join(secure + [LOG_PROPERTY]))
    run(["msibuild", out, *[arg for query in queries for arg in ("-q", query)]], "complete the package's tables")
    return out


def sign(path, pfx, password_file=None, timestamp=None):
    """Signs `path` in place with the certificate and key of a PKCS#12 file."""
    path = Path(path)
    signed = path.with_name(path.name + ".signed")
    args = ["osslsigncode", "sign", "-pkcs12", pfx, "-h", "sha256", "-n", DESCRIPTION]
    if password_file:
        args += ["-readpass", password_file]
    if timestamp:
        args += ["-ts", timestamp]
    try:
        run(args + ["-in", path, "-out", signed], f"sign {path.name}")
        signed.replace(path)
    finally:
        signed.unlink(missing_ok=True)


def verify(path, ca_file):
    """osslsigncode's check of the signature against the given root; returns its report."""
    return run(["osslsigncode", "verify", "-CAfile", ca_file, "-in", path], f"verify {Path(path).name}").stdout


def make_test_certificate(folder):
    """A throw-away self-signed code-signing certificate: (pfx, password file, pem)."""
    folder = Path(folder)
    key, pem, pfx, password = (folder / n for n in ("test.key", "test.pem", "test.pfx", "test.pass"))
    password.write_text("throw-away\n")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=VORN test signing (throw-away)", "-addext", "extendedKeyUsage=codeSigning",
         "-keyout", key, "-out", pem], "make a test certificate")
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
         "-passout", f"file:{password}"], "make a test certificate")
    return pfx, password, pem


def make_package(exe, out_dir, version=None, pfx=None, password_file=None, timestamp=None,
                 help_link=HELP_LINK, self_test=False):
    """The executable copied into out_dir (signed first when pfx is given),
    then the package built from that copy (and signed). `version` is the
    package's own (the file keeps its version). Returns (exe, msi)."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    staged = out_dir / staged_name(self_test)
    try:
        shutil.copy2(exe, staged)
    except OSError as error:
        raise PackageError(f"cannot copy {exe}: {error.strerror}") from None
    if pfx:
        sign(staged, pfx, password_file, timestamp)
    msi = build_msi(staged, out_dir, version, help_link, self_test)
    if pfx:
        sign(msi, pfx, password_file, timestamp)
    return staged, msi


def build_executable():
    """The Windows build's executable, brought up to date (the build's output streams through)."""
    print("=== building VornPalmixSvc.exe (windows preset)", flush=True)
    for args in (["cmake", "--preset", "windows"],
                 ["cmake", "--build", "--preset", "windows", "-j", str(os.cpu_count() or 1), "--target", "VornPalmixSvc"]):
        try:
            status = subprocess.run(args, cwd=ROOT, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL if "--build" not in args else None).returncode
        except FileNotFoundError:
            raise PackageError("cmake is not installed (scripts/setup installs it)") from None
        if status != 0:
            raise PackageError(f"{' '.join(args)} exited with {status}")
    print("=== building the package", flush=True)


class Parser(argparse.ArgumentParser):
    """Every refusal names what it refuses and points at --help, status 2."""

    def error(self, message):
        self.exit(2, f"package: {message} (see {self.prog} --help)\n")


def parse_options(argv):
    parser = Parser(prog="scripts/package", allow_abbrev=False, description="Build (and sign) the installer package of VornPalmixSvc.exe")
    parser.add_argument("--build", action="store_true",
                        help="build the Windows executable first (cmake's windows preset) and package it")
    parser.add_argument("--exe", type=Path, help="the executable (default: the Windows build's)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output folder (default build/package)")
    parser.add_argument("--help-link", default=HELP_LINK, metavar="URL",
                        help=f"the help link of Programs and Features (default {HELP_LINK})")
    parser.add_argument("--sign", type=Path, metavar="CERT.pfx", help="sign the .exe and the .msi with this certificate")
    parser.add_argument("--pass-file", type=Path, help="file holding the certificate's password")
    parser.add_argument("--timestamp", metavar="URL", help="RFC 3161 time-stamp server for the signatures")
    parser.add_argument("--no-timestamp", action="store_true",
                        help="sign without a time stamp (the signatures then end with the certificate)")
    parser.add_argument("--self-test", action="store_true",
                        help="sign with a throw-away self-signed certificate, verify both signatures, "
                             "write VornPalmixSvc-<version>-x64-selftest.msi")
    options, unknown = parser.parse_known_args(argv)
    if unknown:
        parser.error(f"unknown argument '{unknown[0]}'")
    if options.build and options.exe:
        parser.error("--exe: scripts/package packages the Windows build's executable "
                     "(packaging/package.py --exe EXE packages another)")
    if (options.pass_file or options.timestamp or options.no_timestamp) and not options.sign:
        parser.error("--pass-file, --timestamp and --no-timestamp go with --sign")
    if options.sign and not options.timestamp and not options.no_timestamp:
        parser.error("--sign needs --timestamp URL (a signature without a time stamp ends with its "
                     "certificate); --no-timestamp signs without one")
    if options.timestamp and options.no_timestamp:
        parser.error("--timestamp and --no-timestamp exclude each other")
    if options.self_test and options.sign:
        parser.error("--self-test makes its own certificate; leave out --sign")
    return options


def main(argv):
    options = parse_options(argv)
    try:
        if options.build:
            build_executable()
        with tempfile.TemporaryDirectory(prefix="vorn-sign-") as scratch:
            pfx, password, pem = options.sign, options.pass_file, None
            if options.self_test:
                pfx, password, pem = make_test_certificate(scratch)
            exe, msi = make_package(options.exe or DEFAULT_EXE, options.out, None, pfx, password, options.timestamp,
                                    options.help_link, options.self_test)
            for path in (exe, msi) if pem else ():
                print(f"{path.name}: {verify(path, pem).strip().splitlines()[-1]}")
    except PackageError as error:
        print(f"package: {error}", file=sys.stderr)
        return 1
    print(f"{msi}{' (signed)' if pfx else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
