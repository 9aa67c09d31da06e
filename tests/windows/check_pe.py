#!/usr/bin/env python3
"""Checks a built qvRadClient.dll as a Windows host sees it, from the PE file alone.

Usage: check_pe.py DLL MACHINE [DEF]    (MACHINE: i386 or AMD64; DEF: the .def, by default
                                         qvRadClient/api/qvRadClient.def of this tree)
       check_pe.py --imports IMAGE       (the import floor alone, for qvrad-auth.exe)

The machine, that it is a DLL, the export table (exactly the functions of the .def, which
tests/package/check_exports.cmake holds to the public headers, by plain name), the
imports (Windows system DLLs only: the runtime must be linked in statically, and every imported
function exists on the oldest Windows we support), the hardening flags, no link timestamp and
the version resource. Prints one line per check; exits 1 when any fails.
"""
import os
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
DEFAULT_DEF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "qvRadClient",
                           "api", "qvRadClient.def")
# Present on every Windows since Vista. No MinGW runtime (libgcc_s, libstdc++, libwinpthread),
# no USER32: nothing this library does needs it. ADVAPI32 reads the spool folder's DACL.
ALLOWED_IMPORTS = {"kernel32.dll", "ws2_32.dll", "msvcrt.dll", "bcrypt.dll", "advapi32.dll"}
ALLOWED_IMPORT_PREFIXES = ("api-ms-win-crt-", "api-ms-win-core-")
# The oldest Windows the images load on, and the version they declare in their headers.
WINDOWS_ORDER = ["Windows 2000", "Windows XP", "Windows Vista", "Windows 7", "Windows 8"]
FLOOR = "Windows Vista"
FLOOR_NT_VERSION = (6, 0)
# Every function the DLL and qvrad-auth.exe import, by the "Minimum supported client" of
# Microsoft's documentation of each (msvcrt.dll: the system C runtime, whose exports these are
# since Windows 2000). A function missing here fails the check until someone looks it up.
MINIMUM_CLIENT = [
    ("kernel32.dll", "Windows XP", """AddVectoredExceptionHandler CloseHandle CreateEventA
        CreateFileW CreateSemaphoreA DeleteCriticalSection DuplicateHandle EnterCriticalSection FreeLibrary
        GetCommandLineW GetConsoleMode GetCurrentProcess GetCurrentProcessId GetCurrentThread
        GetCurrentThreadId GetEnvironmentVariableA GetEnvironmentVariableW GetFileType
        GetHandleInformation
        GetLastError GetModuleHandleA GetModuleHandleW GetProcAddress GetProcessAffinityMask
        GetStartupInfoA GetStdHandle GetSystemTime GetSystemTimeAsFileTime GetThreadContext
        GetThreadPriority InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent
        LeaveCriticalSection LoadLibraryA LocalFree MultiByteToWideChar OpenProcess
        OutputDebugStringA RaiseException ReadConsoleW ReleaseSemaphore
        RemoveVectoredExceptionHandler ResetEvent ResumeThread SetConsoleCtrlHandler
        SetConsoleMode SetEnvironmentVariableW SetEvent SetHandleInformation SetLastError
        SetProcessAffinityMask SetThreadContext SetThreadPriority SetUnhandledExceptionFilter
        Sleep SuspendThread TlsAlloc TlsFree TlsGetValue TlsSetValue TryEnterCriticalSection
        VirtualProtect VirtualQuery WaitForMultipleObjects WaitForSingleObject
        WideCharToMultiByte"""),
    # The x64 unwinder the 64-bit images use; x64 Windows begins with Windows XP x64.
    ("kernel32.dll", "Windows XP", """RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx
        RtlVirtualUnwind __C_specific_handler"""),
    ("kernel32.dll", "Windows Vista", "GetTickCount64"),
    # Kept RADIUS over TLS connections: threads waiting for their replies.
    ("kernel32.dll", "Windows Vista", """SleepConditionVariableCS WakeAllConditionVariable
        WakeConditionVariable"""),
    # The lock of the threads' random streams, which needs no set-up or tear-down.
    ("kernel32.dll", "Windows Vista", "AcquireSRWLockExclusive ReleaseSRWLockExclusive"),
    # The TLS key material files, read without the C runtime's buffering.
    ("kernel32.dll", "Windows XP", "CreateFileA ReadFile"),
    ("kernel32.dll", "Windows 2000", "GetComputerNameExA"),
    # The accounting spool's files (qvRadClient/platform/files_win32.cpp).
    ("kernel32.dll", "Windows XP", """FindClose FindFirstFileW FindNextFileW FlushFileBuffers
        GetFileInformationByHandle SetFilePointerEx WriteFile"""),
    ("kernel32.dll", "Windows Vista", "SetFileInformationByHandle"),
    ("shell32.dll", "Windows XP", "CommandLineToArgvW"),
    # qvrad-auth.exe's check of the secret file's DACL, and the library's of the spool folder.
    ("advapi32.dll", "Windows XP", "GetAce GetSecurityInfo IsWellKnownSid"),
    # The exchange's comparisons of server addresses and request forms.
    ("msvcrt.dll", "Windows 2000", "memcmp"),
    # The refusal text of a build without Mbed TLS (qvRadClient/tls/tls_session_stub.cpp).
    ("msvcrt.dll", "Windows 2000", "strncpy"),
    # qvrad-auth.exe's load mode: std::thread and std::chrono through the static winpthread and
    # libstdc++ (their clocks, thread times and the texts of system errors).
    ("kernel32.dll", "Windows 2000", """FileTimeToSystemTime GetSystemTimeAdjustment
        QueryPerformanceCounter QueryPerformanceFrequency SetSystemTime"""),
    ("kernel32.dll", "Windows XP", "FormatMessageA GetProcessTimes GetThreadTimes LoadLibraryW"),
    ("msvcrt.dll", "Windows 2000", "_read"),
    ("bcrypt.dll", "Windows Vista", """BCryptCloseAlgorithmProvider BCryptGenRandom
        BCryptOpenAlgorithmProvider"""),
    ("ws2_32.dll", "Windows Vista", """WSACleanup WSAGetLastError WSASetLastError WSASocketW
        WSAStartup bind closesocket connect freeaddrinfo getaddrinfo gethostname getnameinfo
        getsockname htonl htons inet_addr inet_pton ioctlsocket ntohs recvfrom select sendto
        setsockopt accept getsockopt listen recv send"""),
    ("msvcrt.dll", "Windows XP", """___lc_codepage_func ___mb_cur_max_func __iob_func _acmdln
        _commode _fmode _setjmp"""),
    ("msvcrt.dll", "Windows 2000", """__getmainargs __initenv __mb_cur_max __p__acmdln
        __p__commode __p__fmode __set_app_type __setusermatherr _amsg_exit _beginthreadex _cexit
        _close _endthreadex _errno _fdopen _initterm _iob _lock _onexit _open_osfhandle _setjmp3
        _strdup _ultoa _unlock abort
        atoi calloc exit fclose ferror fflush fgetc fopen fprintf fputc fputs free fwrite
        isspace localeconv longjmp malloc memchr memcpy memmove memset printf realloc setlocale
        setvbuf signal strchr strcmp strerror strlen strncmp strstr vfprintf wcslen _wputenv"""),
]
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
    check_stamp_and_floor(pe, c)


def check_stamp_and_floor(pe, c):
    # A link time in the header would make every build of the same commit differ.
    c.check(pe.FILE_HEADER.TimeDateStamp == 0, "no link timestamp",
            str(pe.FILE_HEADER.TimeDateStamp))
    oh = pe.OPTIONAL_HEADER
    declared = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    c.check(declared == FLOOR_NT_VERSION and
            (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion) == FLOOR_NT_VERSION,
            "declares %s (NT %d.%d)" % ((FLOOR,) + FLOOR_NT_VERSION), "%d.%d" % declared)


def def_exports(path):
    """The names under EXPORTS in a .def file (comments start with ';')."""
    names, listing = [], False
    with open(path, encoding="ascii") as f:
        for line in f:
            words = line.split(";", 1)[0].split()
            if words == ["EXPORTS"]:
                listing = True
            elif words and listing:
                names.append(words[0])
    return names


def check_exports(pe, c, want):
    exp = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    c.check(exp is not None, "export table present")
    if exp is None:
        return
    names = [text(s.name) if s.name is not None else None for s in exp.symbols]
    print("     exports: " + ", ".join(n if n else "(ordinal only)" for n in names))
    c.check(len(want) >= 2 and sorted(n for n in names if n) == sorted(want) and
            len(names) == len(want), "exports exactly the %d functions of the .def" % len(want),
            " ".join(str(n) for n in names))
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
    check_import_floor(pe, c)


def check_import_floor(pe, c):
    since = {}
    for dll, version, names in MINIMUM_CLIENT:
        for name in names.split():
            since[(dll, name)] = version
    newest = WINDOWS_ORDER.index(FLOOR)
    count = 0
    failures_before = c.failures
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = text(entry.dll).lower()
        if dll == "qvradclient.dll":  # qvrad-auth.exe's own DLL, shipped beside it
            continue
        for imp in entry.imports:
            count += 1
            if imp.name is None:
                c.check(False, "import %s by ordinal %d has a name" % (dll, imp.ordinal))
                continue
            name = text(imp.name)
            version = since.get((dll, name))
            if version is None:
                c.check(False, "import %s!%s is in the table of minimum clients" % (dll, name))
            elif WINDOWS_ORDER.index(version) > newest:
                c.check(False, "import %s!%s exists on %s" % (dll, name, FLOOR), version)
    c.check(count > 0 and c.failures == failures_before,
            "every imported function exists on %s" % FLOOR, "%d functions" % count)


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
    if len(argv) == 3 and argv[1] == "--imports":
        pe = pefile.PE(argv[2])
        c = Checker()
        check_stamp_and_floor(pe, c)
        check_import_floor(pe, c)
        print("%s: %d check(s) failed" % (argv[2], c.failures) if c.failures else
              "%s: all checks passed" % argv[2])
        return 1 if c.failures else 0
    if len(argv) not in (3, 4) or argv[2] not in MACHINES:
        sys.exit("usage: check_pe.py DLL (i386|AMD64) [DEF]")
    pe = pefile.PE(argv[1])
    c = Checker()
    check_headers(pe, c, argv[2])
    check_exports(pe, c, def_exports(argv[3] if len(argv) == 4 else DEFAULT_DEF))
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
