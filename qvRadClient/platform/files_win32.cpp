// The spool's file calls on Windows: UTF-16 paths under the folder's, a record locked by being
// open for this handle alone, renamed and removed through that handle; the folder judged by its
// DACL.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // Vista: SetFileInformationByHandle
#endif

#include <windows.h>

#include <aclapi.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "platform/files.h"

namespace platform {

namespace {

constexpr std::size_t kPathUnits = 1024;  // the folder's path and a record's name, in UTF-16

// The folder: its path in UTF-16 with a trailing backslash, made once at open.
struct Folder {
    wchar_t path[kPathUnits];
    std::size_t length;
};

Folder* AsFolder(FolderHandle folder) {
    return reinterpret_cast<Folder*>(folder);
}

HANDLE AsHandle(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

// folder's path followed by name, in out: false when it does not fit or is not UTF-8.
bool JoinPath(const Folder& folder, const char* name, wchar_t* out, std::size_t size) {
    if (folder.length >= size) return false;
    std::memcpy(out, folder.path, folder.length * sizeof(wchar_t));
    const int room = static_cast<int>(size - folder.length);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out + folder.length, room) >
           0;
}

// The broad groups whose write access to the folder would let other people of the machine add
// records, or change or remove ours.
const WELL_KNOWN_SID_TYPE kBroadGroups[] = {WinWorldSid, WinAuthenticatedUserSid,
                                            WinBuiltinUsersSid, WinBuiltinGuestsSid};
constexpr ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC |
                                     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Conservative, as qvrad-auth's check of a secret file: an allowing entry counts even where a
// denying one might take it back; a DACL that cannot be read, or none (all access to all),
// counts as Everyone's. Inherit-only entries apply to what the folder will hold, not to it.
bool BroadWriter(HANDLE handle) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    bool found = dacl == nullptr;
    for (DWORD i = 0; !found && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (GetAce(dacl, i, &entry) == 0) continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kWriteRights) == 0) continue;
        for (WELL_KNOWN_SID_TYPE group : kBroadGroups)
            if (IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), group)) found = true;
    }
    LocalFree(descriptor);
    return found;
}

}  // namespace

FolderCheck FolderOpenPrivate(const char* path, FolderHandle* folder) {
    *folder = kInvalidFolder;
    if (path == nullptr || path[0] == '\0') return FolderCheck::kCannotOpen;
    Folder* made = new (std::nothrow) Folder;
    if (made == nullptr) return FolderCheck::kCannotOpen;
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, made->path, kPathUnits - 1);
    if (units <= 1) {
        delete made;
        return FolderCheck::kCannotOpen;
    }
    made->length = static_cast<std::size_t>(units - 1);
    // FILE_FLAG_BACKUP_SEMANTICS opens a folder; READ_CONTROL reads its DACL.
    const HANDLE handle = CreateFileW(made->path, READ_CONTROL | FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        delete made;
        return FolderCheck::kCannotOpen;
    }
    BY_HANDLE_FILE_INFORMATION facts;
    const bool isFolder = GetFileInformationByHandle(handle, &facts) != 0 &&
                          (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool broad = isFolder && BroadWriter(handle);
    CloseHandle(handle);
    if (!isFolder || broad) {
        delete made;
        return isFolder ? FolderCheck::kOthersCanWrite : FolderCheck::kCannotOpen;
    }
    const wchar_t last = made->path[made->length - 1];
    if (last != L'\\' && last != L'/') made->path[made->length++] = L'\\';
    made->path[made->length] = L'\0';
    *folder = reinterpret_cast<FolderHandle>(made);
    return FolderCheck::kOk;
}

void FolderClose(FolderHandle folder) {
    if (folder != kInvalidFolder) delete AsFolder(folder);
}

namespace {

// Opened for this handle alone (share mode 0): any other open, in this process or another,
// fails with a sharing violation while it is held. DELETE: renamed and removed through it.
HANDLE OpenExclusive(FolderHandle folder, const char* name, DWORD disposition) {
    wchar_t path[kPathUnits];
    if (!JoinPath(*AsFolder(folder), name, path, kPathUnits)) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

FileHandle FileCreateLocked(FolderHandle folder, const char* name) {
    const HANDLE file = OpenExclusive(folder, name, CREATE_NEW);
    return file == INVALID_HANDLE_VALUE ? kInvalidFile : reinterpret_cast<FileHandle>(file);
}

FileHandle FileOpenLocked(FolderHandle folder, const char* name, bool* busy) {
    *busy = false;
    const HANDLE file = OpenExclusive(folder, name, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        // Held by another open; a file being removed (delete pending) refuses access.
        *busy = GetLastError() == ERROR_SHARING_VIOLATION;
        return kInvalidFile;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return kInvalidFile;
    }
    return reinterpret_cast<FileHandle>(file);
}

int FileWriteAll(FileHandle file, const void* bytes, std::size_t length) {
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    while (length > 0) {  // each round moves at least one byte or fails
        const DWORD chunk = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
        DWORD wrote = 0;
        if (!WriteFile(AsHandle(file), at, chunk, &wrote, nullptr) || wrote == 0) return -1;
        at += wrote;
        length -= wrote;
    }
    return 0;
}

int FileSync(FileHandle file) {
    return FlushFileBuffers(AsHandle(file)) != 0 ? 0 : -1;
}

int FileReadAll(FileHandle file, void* buffer, std::size_t capacity) {
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(AsHandle(file), start, nullptr, FILE_BEGIN)) return -1;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    unsigned char extra = 0;
    for (;;) {  // each round moves at least one byte, or ends
        unsigned char* at = done < capacity ? out + done : &extra;
        const std::size_t room = done < capacity ? capacity - done : 1;
        DWORD got = 0;
        if (!ReadFile(AsHandle(file), at, room > 0x10000000 ? 0x10000000 : static_cast<DWORD>(room),
                      &got, nullptr))
            return -1;
        if (got == 0) break;
        if (done >= capacity) return -2;
        done += got;
    }
    return done > 0x7FFFFFFF ? -2 : static_cast<int>(done);
}

int FileRenameLocked(FolderHandle folder, FileHandle file, const char* from, const char* to) {
    (void)from;  // the handle names the file
    // FILE_RENAME_INFO with the whole new path after it; ReplaceIfExists false.
    alignas(FILE_RENAME_INFO) unsigned char
        block[sizeof(FILE_RENAME_INFO) + kPathUnits * sizeof(wchar_t)];
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(block);
    std::memset(block, 0, sizeof block);
    if (!JoinPath(*AsFolder(folder), to, info->FileName, kPathUnits)) return -1;
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(std::wcslen(info->FileName) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(AsHandle(file), FileRenameInfo, info, sizeof block)) return -1;
    // NTFS journals the rename itself; the data was flushed before.
    return 0;
}

int FileRemoveLocked(FolderHandle folder, FileHandle file, const char* name) {
    (void)folder;
    (void)name;
    // Marked for deletion through the handle that holds it, so no other open can come between
    // the mark and the removal, which happens as the handle closes.
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    const int rc = SetFileInformationByHandle(AsHandle(file), FileDispositionInfo, &disposition,
                                              sizeof disposition)
                       ? 0
                       : -1;
    CloseHandle(AsHandle(file));
    return rc;
}

void FileClose(FileHandle file) {
    if (file != kInvalidFile) CloseHandle(AsHandle(file));
}

int FolderList(FolderHandle folder, bool (*visit)(void* context, const char* name), void* context) {
    wchar_t pattern[kPathUnits];
    if (!JoinPath(*AsFolder(folder), "*", pattern, kPathUnits)) return -1;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    // FindNextFileW ends at the folder's end; visit may end it sooner.
    do {
        char name[MAX_PATH * 3 + 1];
        if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr,
                                nullptr) <= 0)
            continue;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (!visit(context, name)) break;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return 0;
}

std::int64_t UtcMillis() {
    // FILETIME: 100-nanosecond intervals since 1601-01-01 UTC; 11644473600 s before 1970.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000) - 11644473600000LL;
}

}  // namespace platform
