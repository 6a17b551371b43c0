#!/usr/bin/env python3
"""The installer package of VornPalmixSvc.exe and its Authenticode signatures.

    packaging/package.py [--exe EXE] [--out DIR] [--version X.Y.Z]
                         [--sign CERT.pfx [--pass-file FILE] [--timestamp URL]]

copies the executable into DIR (default build/package), signs it when a
certificate is given, builds VornPalmixSvc-<version>-x64.msi from it with wixl
and signs that too. The version is major.minor.patch of the executable's
version resource (Windows Installer compares only those three fields) unless
--version says otherwise. The stage of the Wine tests uses the same functions.
"""

import argparse
import shutil
import struct
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
# The version resource's block is keyed "VS_VERSION_INFO" (UTF-16); its
# VS_FIXEDFILEINFO follows the key, aligned, starting with this signature, then
# the structure's version, then the file version as two DWORDs (major.minor,
# patch.tweak). The signature alone is no landmark: code may hold it too.
VERSION_KEY = "VS_VERSION_INFO".encode("utf-16-le")
FIXED_FILE_INFO = struct.pack("<I", 0xFEEF04BD)
KEY_TO_INFO_MAX = 8  # the key's terminator and the alignment padding
TOOL_LIMIT_S = 120


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
        data = Path(exe).read_bytes()
    except OSError as error:
        raise PackageError(f"cannot read {exe}: {error.strerror}") from None
    key = data.find(VERSION_KEY)
    at = data.find(FIXED_FILE_INFO, key + len(VERSION_KEY)) if key >= 0 else -1
    if at < 0 or at - key - len(VERSION_KEY) > KEY_TO_INFO_MAX or at + 16 > len(data):
        raise PackageError(f"{exe} has no version resource")
    high, low = struct.unpack_from("<II", data, at + 8)
    return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def package_version(exe):
    """major.minor.patch: a release that should upgrade bumps patch."""
    return ".".join(str(part) for part in file_version(exe)[:3])


def msi_name(version):
    return f"VornPalmixSvc-{version}-x64.msi"


def build_msi(exe, out_dir, version=None):
    """Builds the package from `exe` into out_dir; returns its path."""
    version = version or package_version(exe)
    parts = version.split(".")
    if len(parts) != 3 or not all(p.isdigit() and int(p) <= 0xFFFF for p in parts) or int(parts[0]) > 255:
        raise PackageError(f"package version {version!r} is not major.minor.patch (major at most 255)")
    out = Path(out_dir) / msi_name(version)
    out.parent.mkdir(parents=True, exist_ok=True)
    # wixl takes a file's source only as a path relative to where it runs.
    exe = Path(exe).resolve()
    run(["wixl", "-a", "x64", "-D", f"Version={version}", "-D", f"ExeSource={exe.name}",
         "-o", out.resolve(), WXS], "build the package", cwd=exe.parent)
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


def make_package(exe, out_dir, version=None, pfx=None, password_file=None, timestamp=None):
    """The executable copied into out_dir (signed first when pfx is given),
    then the package built from that copy (and signed). Returns (exe, msi)."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    staged = out_dir / EXE_NAME
    try:
        shutil.copy2(exe, staged)
    except OSError as error:
        raise PackageError(f"cannot copy {exe}: {error.strerror}") from None
    if pfx:
        sign(staged, pfx, password_file, timestamp)
    msi = build_msi(staged, out_dir, version)
    if pfx:
        sign(msi, pfx, password_file, timestamp)
    return staged, msi


def main(argv):
    parser = argparse.ArgumentParser(description="Build (and sign) the installer package of VornPalmixSvc.exe")
    parser.add_argument("--exe", type=Path, default=DEFAULT_EXE, help="the executable (default: the Windows build's)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output folder (default build/package)")
    parser.add_argument("--version", help="package version major.minor.patch (default: from the executable)")
    parser.add_argument("--sign", type=Path, metavar="CERT.pfx", help="sign the .exe and the .msi with this certificate")
    parser.add_argument("--pass-file", type=Path, help="file holding the certificate's password")
    parser.add_argument("--timestamp", metavar="URL", help="RFC 3161 time-stamp server for the signatures")
    parser.add_argument("--self-test", action="store_true",
                        help="sign with a throw-away self-signed certificate and verify both signatures")
    options = parser.parse_args(argv)
    if (options.pass_file or options.timestamp) and not options.sign:
        parser.error("--pass-file and --timestamp go with --sign")
    if options.self_test and options.sign:
        parser.error("--self-test makes its own certificate; leave out --sign")
    try:
        with tempfile.TemporaryDirectory(prefix="vorn-sign-") as scratch:
            pfx, password, pem = options.sign, options.pass_file, None
            if options.self_test:
                pfx, password, pem = make_test_certificate(scratch)
            exe, msi = make_package(options.exe, options.out, options.version, pfx, password, options.timestamp)
            for path in (exe, msi) if pem else ():
                print(f"{path.name}: {verify(path, pem).strip().splitlines()[-1]}")
    except PackageError as error:
        print(f"package: {error}", file=sys.stderr)
        return 1
    print(f"{msi}{' (signed)' if pfx else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
