#!/usr/bin/env python3
"""Checks a built qvRadClient.dll as a Windows host sees it, from the PE file alone.

Usage: check_pe.py DLL MACHINE    (MACHINE: i386 or AMD64)

The machine, that it is a DLL, the export table (exactly auth and info, by plain name), the
imports (Windows system DLLs only: the runtime must be linked in statically), the hardening
flags and the version resource. Prints one line per check; exits 1 when any fails.
"""
import sys

try:
    import pefile
except ImportError:  # the Debian package python3-pefile
    sys.exit("check_pe.py: the pefile module is missing (apt-get install python3-pefile)")

MACHINES = {
    "i386": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pefile.OPTIONAL_HEADER_MAGIC_PE),
    "AMD64": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
              pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS),
}
EXPORTS = {"auth", "info"}
# Present on every Windows since Vista. No MinGW runtime (libgcc_s, libstdc++, libwinpthread),
# no ADVAPI32 or USER32: nothing this library does needs them.
ALLOWED_IMPORTS = {"kernel32.dll", "ws2_32.dll", "msvcrt.dll", "bcrypt.dll"}
ALLOWED_IMPORT_PREFIXES = ("api-ms-win-crt-", "api-ms-win-core-")
VERSION_STRINGS = {
    "FileDescription": "Quorvel SDK for Win32",
    "ProductName": "Quorvel SDK for Win32",
    "InternalName": "qvRadClient.dll",
    "OriginalFilename": "qvRadClient.dll",
    "FileVersion": "1.0.0.2",
    "ProductVersion": "1.1.0.1",
}
VERSION_NUMBER = (1, 1, 0, 1)  # FILEVERSION and PRODUCTVERSION
VFT_DLL = 2


class Checker:
    def __init__(self):
        self.failures = 0

    def check(self, ok, what, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (": " + detail if detail else ""))
        if not ok:
            self.failures += 1


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def check_headers(pe, c, machine):
    want_machine, want_magic = MACHINES[machine]
    c.check(pe.FILE_HEADER.Machine == want_machine, "machine " + machine,
            hex(pe.FILE_HEADER.Machine))
    c.check(pe.OPTIONAL_HEADER.Magic == want_magic, "optional header format",
            hex(pe.OPTIONAL_HEADER.Magic))
    c.check(pe.FILE_HEADER.IMAGE_FILE_DLL, "image is a DLL")
    c.check(pe.FILE_HEADER.IMAGE_FILE_EXECUTABLE_IMAGE, "image is executable")
    oh = pe.OPTIONAL_HEADER
    c.check(oh.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "ASLR (dynamic base)")
    c.check(oh.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "DEP (NX compatible)")
    if machine == "AMD64":
        c.check(oh.IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, "high-entropy ASLR")
    # A DLL that asks for ASLR but carries no relocations cannot actually be moved.
    reloc = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    c.check(reloc.Size > 0, "base relocations present", "%d bytes" % reloc.Size)


def check_exports(pe, c):
    exp = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    c.check(exp is not None, "export table present")
    if exp is None:
        return
    names = [text(s.name) if s.name is not None else None for s in exp.symbols]
    print("     exports: " + ", ".join(n if n else "(ordinal only)" for n in names))
    c.check(sorted(n for n in names if n) == sorted(EXPORTS) and len(names) == len(EXPORTS),
            "exports exactly auth and info", " ".join(str(n) for n in names))
    # Every export is code in this image, not a forwarder to another DLL.
    for s in exp.symbols:
        section = pe.get_section_by_rva(s.address)
        code = section is not None and bool(
            section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"])
        c.check(s.forwarder is None and code, "export %s is code here" % text(s.name))
    c.check(text(pe.get_string_at_rva(exp.struct.Name)) == "qvRadClient.dll",
            "export table names the DLL qvRadClient.dll",
            text(pe.get_string_at_rva(exp.struct.Name)))


def allowed_import(dll):
    lower = dll.lower()
    return lower in ALLOWED_IMPORTS or lower.startswith(ALLOWED_IMPORT_PREFIXES)


def check_imports(pe, c):
    imported = [text(e.dll) for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    imported += [text(e.dll) for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
    print("     imports: " + ", ".join(imported))
    c.check(len(imported) > 0, "import table present")
    for dll in imported:
        c.check(allowed_import(dll), "import %s is a system DLL" % dll)


def check_version(pe, c):
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    c.check(bool(fixed), "fixed version info present")
    if fixed:
        f = fixed[0]
        file_version = (f.FileVersionMS >> 16, f.FileVersionMS & 0xFFFF, f.FileVersionLS >> 16,
                        f.FileVersionLS & 0xFFFF)
        product_version = (f.ProductVersionMS >> 16, f.ProductVersionMS & 0xFFFF,
                           f.ProductVersionLS >> 16, f.ProductVersionLS & 0xFFFF)
        c.check(file_version == VERSION_NUMBER, "FILEVERSION 1,1,0,1", str(file_version))
        c.check(product_version == VERSION_NUMBER, "PRODUCTVERSION 1,1,0,1",
                str(product_version))
        c.check(f.FileType == VFT_DLL, "file type VFT_DLL", str(f.FileType))
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            if text(getattr(entry, "Key", b"")) != "StringFileInfo":
                continue
            for table in entry.StringTable:
                for key, value in table.entries.items():
                    strings[text(key)] = text(value)
    for key, want in VERSION_STRINGS.items():
        got = strings.get(key)
        c.check(got == want, "version string %s = %r" % (key, want), repr(got))


def main(argv):
    if len(argv) != 3 or argv[2] not in MACHINES:
        sys.exit("usage: check_pe.py DLL (i386|AMD64)")
    pe = pefile.PE(argv[1])
    c = Checker()
    check_headers(pe, c, argv[2])
    check_exports(pe, c)
    check_imports(pe, c)
    check_version(pe, c)
    warnings = pe.get_warnings()
    for w in warnings:
        print("     pefile warning: " + w)
    print("%s: %d check(s) failed" % (argv[1], c.failures) if c.failures else
          "%s: all checks passed" % argv[1])
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
