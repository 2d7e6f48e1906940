#!/usr/bin/env python3
"""Checks a built Seamlog installer without running it.

  installer_image.py INSTALLER ARCH VERSION

ARCH x86: an i386 GUI program that Windows XP starts (subsystem version 5.x
or lower); x64: an AMD64 GUI program. Both: NSIS data after the stub, and
the version in the installer's version block.
"""
import struct
import sys


def main(path, arch, version):
    data = open(path, "rb").read()
    failures = []

    def expect(ok, what):
        print(("ok: " if ok else "FAIL: ") + what)
        if not ok:
            failures.append(what)

    expect(data[:2] == b"MZ", "an MZ executable")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    expect(data[pe:pe + 4] == b"PE\0\0", "a PE image")
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    want = {"x86": 0x14C, "x64": 0x8664}[arch]
    expect(machine == want, "machine 0x%X for %s (found 0x%X)" % (want, arch, machine))
    opt = pe + 24
    subsystem_major = struct.unpack_from("<H", data, opt + 48)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    expect(subsystem == 2, "a GUI program (subsystem 2, found %d)" % subsystem)
    if arch == "x86":
        expect(subsystem_major <= 5, "starts on Windows XP (subsystem version %d.x)" % subsystem_major)
    # The NSIS first header: flags, 0xDEADBEEF, "NullsoftInst".
    expect(b"\xef\xbe\xad\xdeNullsoftInst" in data, "carries NSIS install data")
    expect(("%s.0" % version).encode("utf-16-le") in data or version.encode("utf-16-le") in data,
           "version block names %s" % version)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[2] not in ("x86", "x64"):
        raise SystemExit(__doc__)
    sys.exit(main(*sys.argv[1:]))
