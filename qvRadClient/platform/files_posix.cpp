// The spool's file calls on POSIX: openat and friends relative to the folder's descriptor, flock
// for a record's lock, fsync of the file and of the folder for a durable rename.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>  // renameat
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/files.h"

namespace platform {

namespace {

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

}  // namespace

FolderCheck FolderOpenPrivate(const char* path, FolderHandle* folder) {
    *folder = kInvalidFolder;
    if (path == nullptr || path[0] == '\0') return FolderCheck::kCannotOpen;
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FolderCheck::kCannotOpen;
    struct stat st;
    // The folder as opened, not as named: a rename of the path after this changes nothing.
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        ::close(fd);
        return FolderCheck::kCannotOpen;
    }
    // Group or others with write permission could add a record of their choosing, or remove
    // ours (even with the sticky bit, as /tmp has, they could add one).
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(fd);
        return FolderCheck::kOthersCanWrite;
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        ::close(fd);
        return FolderCheck::kOtherOwner;
    }
    *folder = fd;
    return FolderCheck::kOk;
}

void FolderClose(FolderHandle folder) {
    if (folder != kInvalidFolder) ::close(Fd(folder));
}

FileHandle FileCreateLocked(FolderHandle folder, const char* name) {
    const int fd = ::openat(Fd(folder), name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            S_IRUSR | S_IWUSR);
    if (fd < 0) return kInvalidFile;
    // A new file: nobody else can hold its lock, but a failure here is one all the same.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::unlinkat(Fd(folder), name, 0);
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

FileHandle FileOpenLocked(FolderHandle folder, const char* name, bool* busy) {
    *busy = false;
    // Non-blocking: a FIFO in the folder fails at once instead of waiting for a writer.
    const int fd = ::openat(Fd(folder), name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return kInvalidFile;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kInvalidFile;
    }
    // flock locks the open file description: another process's, or another open of this one,
    // holds it off alike.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *busy = errno == EWOULDBLOCK;
        ::close(fd);
        return kInvalidFile;
    }
    // The holder before us may have sent it and removed it between our open and our lock.
    if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
        ::close(fd);
        return kInvalidFile;
    }
    return fd;
}

int FileWriteAll(FileHandle file, const void* bytes, std::size_t length) {
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    // Each write moves at least one byte or fails: at most length rounds.
    while (length > 0) {
        const ssize_t wrote = ::write(Fd(file), at, length);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return -1;
        at += wrote;
        length -= static_cast<std::size_t>(wrote);
    }
    return 0;
}

int FileSync(FileHandle file) {
    return ::fsync(Fd(file)) == 0 ? 0 : -1;
}

int FileReadAll(FileHandle file, void* buffer, std::size_t capacity) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    unsigned char extra = 0;
    // pread from 0 until end of file or one byte past capacity: each read moves at least one
    // byte, so at most capacity + 1 rounds.
    for (;;) {
        unsigned char* at = done < capacity ? out + done : &extra;
        const std::size_t room = done < capacity ? capacity - done : 1;
        const ssize_t got = ::pread(Fd(file), at, room, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        if (done >= capacity) return -2;
        done += static_cast<std::size_t>(got);
    }
    return done > 0x7FFFFFFF ? -2 : static_cast<int>(done);
}

int FileRenameLocked(FolderHandle folder, FileHandle file, const char* from, const char* to) {
    (void)file;  // the lock belongs to the file, whatever its name
    // The new name holds 64 random bits (spool_file.cpp): it replaces nothing.
    if (::renameat(Fd(folder), from, Fd(folder), to) != 0) return -1;
    return ::fsync(Fd(folder)) == 0 ? 0 : -1;
}

int FileRemoveLocked(FolderHandle folder, FileHandle file, const char* name) {
    const int rc = ::unlinkat(Fd(folder), name, 0) == 0 ? 0 : -1;
    ::close(Fd(file));
    return rc;
}

void FileClose(FileHandle file) {
    if (file != kInvalidFile) ::close(Fd(file));
}

int FolderList(FolderHandle folder, bool (*visit)(void* context, const char* name), void* context) {
    // A descriptor of its own for the listing, which closedir closes.
    const int fd = ::openat(Fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return -1;
    }
    // readdir ends at the folder's end; visit may end it sooner.
    for (const dirent* entry = ::readdir(dir); entry != nullptr; entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (!visit(context, name)) break;
    }
    ::closedir(dir);
    return 0;
}

std::int64_t UtcMillis() {
    timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace platform
