// The spool folder's files: a record written under a temporary name, flushed to disk and renamed
// to its final name (so that a record is either whole or absent), and the records listed oldest
// first. Each record file is locked while a process handles it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

// "acct-" 16 hex digits of the UTC milliseconds when it was written, "-" 16 random hex digits,
// ".rec": names sort as the records were written.
constexpr std::size_t kSpoolNameSize = 48;
struct SpoolName {
    char text[kSpoolNameSize];
};

// Opens the folder for records: null, or why it is refused (a fixed English text).
const char* OpenSpoolFolder(const char* path, platform::FolderHandle* folder);

// Writes an encoded record: a temporary name (".acct-...tmp", never taken for a record), every
// octet written and flushed to disk, then renamed to its final name, durably. On 0 the record is
// there under *name and still open and locked in *locked (the caller sends it, then removes or
// closes it); on -1 nothing is left.
int WriteSpoolRecord(platform::FolderHandle folder, const std::uint8_t* bytes, std::size_t length,
                     SpoolName* name, platform::FileHandle* locked);

// The folder's records, oldest first, at most kSpoolListMax per listing; what else lies there is
// counted and the first such name kept.
constexpr std::size_t kSpoolListMax = 4096;
struct SpoolListing {
    SpoolName* names = nullptr;  // count of them, on the heap
    std::size_t count = 0;
    std::size_t others = 0;  // files not named as records (a leftover temporary among them)
    SpoolName firstOther = {};
    bool more = false;  // more records than kSpoolListMax: the rest wait for the next listing

    SpoolListing() = default;
    ~SpoolListing() { delete[] names; }
    SpoolListing(const SpoolListing&) = delete;
    SpoolListing& operator=(const SpoolListing&) = delete;
};
// 0, or -1 when the folder could not be read or memory could not be had.
int ListSpoolRecords(platform::FolderHandle folder, SpoolListing* listing);
// Whether a name has the form of a record's (as WriteSpoolRecord names them).
bool IsSpoolRecordName(const char* name);
