#!/usr/bin/env python3
"""Finishes and checks the Portline.sys image.

  driver_image.py checksum IMAGE   writes the PE checksum into IMAGE
  driver_image.py check IMAGE      fails unless IMAGE is a sound kernel driver
  driver_image.py inf INF HWID     fails unless the built INF installs
                                   Portline.sys for HWID on x86 and x64
  driver_image.py inf-class INF OLDEST
                                   fails unless INF's setup class exists on
                                   every Windows from version OLDEST (e.g. 5.1
                                   for XP) or the INF installs it itself
  driver_image.py winusb-inf INF HWID HEADER
                                   fails unless the built WinUSB INF binds HWID
                                   to WinUsb.sys on x86, x64 and ARM64 with the
                                   interface GUID that HEADER defines

The kernel refuses a driver whose header checksum is wrong, and the GNU linker
leaves it zero, so the build writes it after linking. The check looks at what
the generic image check does not: the checksum, the machine-independent layout
rules of a driver (native subsystem, alignments, relocations, entry point, no
TLS), the import list down to the routines, and the version strings.
"""
import struct
import sys


def pe_offsets(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    opt = pe + 24
    return pe, opt


def checksum(data, field):
    total = 0
    padded = data + (b"\0" if len(data) % 2 else b"")
    for i in range(0, len(padded), 2):
        if i == field or i == field + 2:
            continue
        total += padded[i] | (padded[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def write_checksum(path):
    data = bytearray(open(path, "rb").read())
    _, opt = pe_offsets(data)
    field = opt + 64
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    open(path, "wb").write(data)


class Image:
    def __init__(self, data):
        self.data = data
        pe, opt = pe_offsets(data)
        self.machine, nsec = struct.unpack_from("<HH", data, pe + 4)
        self.characteristics = struct.unpack_from("<H", data, pe + 22)[0]
        magic = struct.unpack_from("<H", data, opt)[0]
        self.is64 = magic == 0x20B
        self.entry = struct.unpack_from("<I", data, opt + 16)[0]
        self.section_align, self.file_align = struct.unpack_from("<II", data, opt + 32)
        self.os_version = struct.unpack_from("<HH", data, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        self.checksum_field = opt + 64
        self.stored_checksum = struct.unpack_from("<I", data, opt + 64)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (112 if self.is64 else 96)
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        sec = opt + struct.unpack_from("<H", data, pe + 20)[0]
        self.sections = []
        for i in range(nsec):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            flags = struct.unpack_from("<I", data, sec + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), rawptr, flags))

    def offset(self, rva):
        for _, va, size, raw, _ in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("rva %x outside every section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imports(self):
        rva, _ = self.dirs[1]
        result = {}
        at = self.offset(rva)
        width = 8 if self.is64 else 4
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                return result
            routines = []
            t = self.offset(lookup or thunk)
            while True:
                entry = int.from_bytes(self.data[t:t + width], "little")
                if entry == 0:
                    break
                routines.append(self.cstring((entry & 0x7FFFFFFF) + 2))
                t += width
            result[self.cstring(name).lower()] = routines
            at += 20


def checks():
    """The list of failed checks, and the function that prints one check and
    records it there when it failed."""
    failures = []

    def expect(ok, what):
        print(("ok: " if ok else "FAIL: ") + what)
        if not ok:
            failures.append(what)

    return failures, expect


def inf_lines(path):
    """The INF's lines without their comments and surrounding blanks."""
    text = open(path, encoding="ascii").read()
    return [line.split(";")[0].strip() for line in text.splitlines()]


def check(path):
    data = open(path, "rb").read()
    image = Image(data)
    failures, expect = checks()

    expect(image.subsystem == 1, "native subsystem (1), found %d" % image.subsystem)
    expect(image.os_version == (5, 1) and image.subsystem_version == (5, 1),
           "OS and subsystem version 5.1, found %d.%d and %d.%d"
           % (image.os_version + image.subsystem_version))
    expect(image.file_align == 0x200 and image.section_align == 0x1000,
           "file alignment 0x200, section alignment 0x1000")
    expect(image.stored_checksum != 0 and
           image.stored_checksum == checksum(data, image.checksum_field),
           "header checksum 0x%08X matches the image" % image.stored_checksum)
    expect(image.entry != 0, "an entry point")
    expect(image.dirs[5][1] != 0, "base relocations present (the kernel relocates drivers)")
    expect(image.dirs[9][1] == 0, "no thread-local storage")
    expect(image.dirs[2][1] != 0, "a resource section (version block)")
    for name, _, _, _, flags in image.sections:
        wx = (flags & 0x20000000) and (flags & 0x80000000)
        expect(not wx, "section %s is not both writable and executable" % name)
    imports = image.imports()
    expect(sorted(imports) in (["ntoskrnl.exe", "usbd.sys"], ["ntoskrnl.exe"]),
           "imports only ntoskrnl.exe and usbd.sys: %s" % ", ".join(sorted(imports)))
    usbd = imports.get("usbd.sys", [])
    for routine in ("USBD_ParseConfigurationDescriptorEx", "USBD_CreateConfigurationRequestEx"):
        expect(routine in usbd, "imports %s from usbd.sys" % routine)
    for text in ("1, 0, 0, 1", "Portline USB Device Driver", "Portline USB"):
        expect(text.encode("utf-16-le") in data, 'version block holds "%s"' % text)
    print("imports:")
    for dll in sorted(imports):
        print("  %s: %s" % (dll, " ".join(sorted(imports[dll]))))
    return 1 if failures else 0


# Setup classes built into Windows: GUID and the first version that has it.
BUILT_IN_CLASSES = {
    "USB": ("{36FC9E60-C465-11CF-8056-444553540000}", (5, 0)),
    "USBDevice": ("{88BAE032-5A81-49F0-BC3D-A4FF138216D6}", (6, 2)),
}


def check_setup_class(lines, expect, oldest):
    """The INF's class must exist on every Windows from `oldest` on: a class
    Windows has built in since then, or one the INF installs itself in
    [ClassInstall32]."""
    def value(key):
        for line in lines:
            name, _, rest = line.partition("=")
            if name.strip().lower() == key.lower():
                return rest.strip()
        return ""

    name, guid = value("Class"), value("ClassGuid").upper()
    expect(name != "" and guid != "", "names its setup class and the class GUID")
    installs = "[ClassInstall32]" in lines or "[ClassInstall32.NT]" in lines
    known = BUILT_IN_CLASSES.get(name)
    if known is not None:
        expect(known[0] == guid, "class %s has its GUID %s" % (name, known[0]))
    since = known[1] if known is not None else None
    built_in = since is not None and since <= oldest
    expect(built_in or installs,
           "class %s exists on Windows %d.%d and later, or [ClassInstall32] installs it"
           % ((name,) + oldest))


def check_inf_class(path, oldest):
    failures, expect = checks()
    check_setup_class(inf_lines(path), expect, tuple(int(v) for v in oldest.split(".")))
    return 1 if failures else 0


def check_inf(path, hardware_id):
    lines = inf_lines(path)
    failures, expect = checks()
    # Portline.sys is the driver of Windows XP, Vista and 32-bit Windows 7.
    check_setup_class(lines, expect, (5, 1))

    expect("@" not in "".join(lines), "no unreplaced build setting")
    for section in ("[Portline.NTx86]", "[Portline.NTamd64]"):
        at = lines.index(section) if section in lines else -1
        model = lines[at + 1] if at >= 0 else ""
        expect(model.endswith(", " + hardware_id), "%s binds to %s" % (section, hardware_id))
    expect("%ProviderName% = Portline, NTx86, NTamd64" in lines, "models for x86 and x64")
    expect("CopyFiles = Portline_CopyFiles" in lines and "Portline.sys" in lines, "copies Portline.sys")
    expect("AddService = Portline, 0x00000002, Portline_Service" in lines,
           "installs the service as the function driver")
    expect("ServiceType   = 1" in lines or any(l.replace(" ", "") == "ServiceType=1" for l in lines),
           "a kernel driver service")
    expect(any(l.replace(" ", "") == "ServiceBinary=%12%\\Portline.sys" for l in lines),
           "the service runs Portline.sys from the drivers directory")
    return 1 if failures else 0


def interface_guid(header):
    """The Portline device interface GUID from its DEFINE_GUID, as an INF writes it."""
    text = open(header, encoding="ascii").read()
    at = text.index("DEFINE_GUID(GUID_DEVINTERFACE_PORTLINE,")
    body = text[text.index(",", at) + 1:text.index(")", at)]
    n = [int(v.strip(), 16) for v in body.split(",")]
    return "{%08X-%04X-%04X-%02X%02X-%s}" % (n[0], n[1], n[2], n[3], n[4],
                                            "".join("%02X" % b for b in n[5:]))


def check_winusb_inf(path, hardware_id, header):
    lines = inf_lines(path)
    squeezed = [line.replace(" ", "") for line in lines]
    failures, expect = checks()

    def section(name):
        if name not in lines:
            return []
        body = []
        for line in lines[lines.index(name) + 1:]:
            if line.startswith("["):
                break
            if line:
                body.append(line.replace(" ", ""))
        return body

    expect("@" not in "".join(lines), "no unreplaced build setting")
    expect("Class=USBDevice" in squeezed, "USBDevice class")
    expect("ClassGuid={88BAE032-5A81-49f0-BC3D-A4FF138216D6}" in squeezed, "the USBDevice class GUID")
    expect("CatalogFile=PortlineWinUsb.cat" in squeezed, "names its catalog PortlineWinUsb.cat")
    expect("%ProviderName%=PortlineWinUsb,NTx86,NTamd64,NTarm64" in squeezed,
           "models for x86, x64 and ARM64")
    for arch in ("NTx86", "NTamd64", "NTarm64"):
        model = section("[PortlineWinUsb.%s]" % arch)
        expect(model == ["%%DeviceDesc%%=PortlineWinUsb_Install,%s" % hardware_id],
               "[PortlineWinUsb.%s] binds %s and nothing else" % (arch, hardware_id))
    expect(section("[PortlineWinUsb_Install]") == ["Include=winusb.inf", "Needs=WINUSB.NT"],
           "the install section takes WINUSB.NT from winusb.inf")
    expect(section("[PortlineWinUsb_Install.Services]") == ["Include=winusb.inf", "Needs=WINUSB.NT.Services"],
           "the service section takes WINUSB.NT.Services from winusb.inf")
    expect(section("[PortlineWinUsb_Install.HW]") == ["AddReg=PortlineWinUsb_AddReg"],
           "the hardware section adds the interface registration")
    guid = interface_guid(header)
    expect(section("[PortlineWinUsb_AddReg]") == ['HKR,,DeviceInterfaceGUIDs,0x10000,"%s"' % guid],
           "registers the Portline interface GUID %s" % guid)
    expect(not any("CoInstaller" in line for line in lines), "no co-installer")
    expect(not any(line.startswith("CopyFiles") or line.startswith("AddService") for line in squeezed),
           "copies no file and adds no service of its own")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in ("checksum", "check", "inf", "inf-class", "winusb-inf"):
        raise SystemExit(__doc__)
    if sys.argv[1] == "checksum":
        write_checksum(sys.argv[2])
    elif sys.argv[1] == "inf":
        sys.exit(check_inf(sys.argv[2], sys.argv[3]))
    elif sys.argv[1] == "inf-class":
        sys.exit(check_inf_class(sys.argv[2], sys.argv[3]))
    elif sys.argv[1] == "winusb-inf":
        sys.exit(check_winusb_inf(sys.argv[2], sys.argv[3], sys.argv[4]))
    else:
        sys.exit(check(sys.argv[2]))
