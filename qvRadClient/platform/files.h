// The file calls of the accounting spool: a private folder opened once and checked, records
// created, written, flushed to disk, renamed, listed, locked one by one and removed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A folder opened for records: a directory descriptor on POSIX (the files are then reached
// relative to it, whatever happens to the path), the folder's path on Windows.
using FolderHandle = std::intptr_t;
constexpr FolderHandle kInvalidFolder = -1;
// An open record, locked while it is open: a descriptor with a flock on POSIX, a handle opened
// for this process alone (no sharing) on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidFile = -1;

// What opening a folder found.
enum class FolderCheck : std::uint8_t {
    kOk = 0,
    kCannotOpen,      // missing, not permitted, or not a folder
    kOthersCanWrite,  // POSIX: group or others may write (mode & 022); Windows: its DACL
                      // lets Everyone, Authenticated Users, Users or Guests add, change or delete
                      // files, or it has no DACL at all
    kOtherOwner,      // POSIX: owned by neither this user nor root
};

// Opens a folder for records if it is one nobody else may write to.
FolderCheck FolderOpenPrivate(const char* path, FolderHandle* folder);
void FolderClose(FolderHandle folder);

// Creates a file of folder that must not exist yet, for the owner alone (0600; on Windows the
// folder's inheritable entries), open and locked. kInvalidFile when it cannot be made.
FileHandle FileCreateLocked(FolderHandle folder, const char* name);
// Opens a regular file of folder and locks it without waiting. kInvalidFile when it is locked
// by any other open (another process, or another call of this one: *busy set), when it is no
// regular file, or when it was removed before the lock was had.
FileHandle FileOpenLocked(FolderHandle folder, const char* name, bool* busy);
// Writes all of bytes at the file's position: 0, or -1.
int FileWriteAll(FileHandle file, const void* bytes, std::size_t length);
// Makes what was written durable (fsync, FlushFileBuffers): 0, or -1.
int FileSync(FileHandle file);
// Reads the file from its start: its length, -1 on an error, -2 when it holds more than capacity.
int FileReadAll(FileHandle file, void* buffer, std::size_t capacity);
// Renames the open, locked file from one name of folder to another that must not exist, keeping
// the lock, and makes the rename durable (the folder synced on POSIX). 0, or -1.
int FileRenameLocked(FolderHandle folder, FileHandle file, const char* from, const char* to);
// Removes the open, locked file (its name in folder) and closes it: 0, or -1 (then still closed,
// the file perhaps left).
int FileRemoveLocked(FolderHandle folder, FileHandle file, const char* name);
// Closes the file, which releases its lock.
void FileClose(FileHandle file);
// Calls visit with each name of folder ("." and ".." left out) until visit returns false or
// every name was visited: 0, or -1 when the folder could not be read.
int FolderList(FolderHandle folder, bool (*visit)(void* context, const char* name), void* context);
// Milliseconds since 1970-01-01 UTC, for the names of records (their order).
std::int64_t UtcMillis();

}  // namespace platform
