// Writing, naming and listing spooled records on the platform's file calls; the crash rule is
// that a record is renamed to its final name only once every octet of it is on disk.
#include "spool/spool_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace {

constexpr char kPrefix[] = "acct-";
constexpr char kSuffix[] = ".rec";
constexpr std::size_t kHexDigits = 16;
// "acct-" + 16 + "-" + 16 + ".rec"
constexpr std::size_t kNameLength =
    sizeof kPrefix - 1 + kHexDigits + 1 + kHexDigits + sizeof kSuffix - 1;
static_assert(kNameLength + 2 <= kSpoolNameSize, "a name and its temporary form fit");

void PutHex(char* at, std::uint64_t value) {
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kHexDigits; ++i)
        at[i] = kDigits[(value >> (4 * (kHexDigits - 1 - i))) & 0xF];
}

bool IsHex(const char* at, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!((at[i] >= '0' && at[i] <= '9') || (at[i] >= 'a' && at[i] <= 'f'))) return false;
    return true;
}

// A final name and its temporary form ("." before, "tmp" in place of "rec").
void MakeNames(SpoolName* final, SpoolName* temporary) {
    std::int64_t now = platform::UtcMillis();
    if (now < 0) now = 0;
    std::uint64_t random = 0;
    // Without the CSPRNG the time's low bits and a counter still make names distinct in a
    // process; the exclusive create below catches what is left.
    static std::uint64_t fallback = 0;
    if (platform::RandomBytes(&random, sizeof random) != 0)
        random = static_cast<std::uint64_t>(now) * 0x9E3779B97F4A7C15ull + ++fallback;
    char* at = final->text;
    std::memcpy(at, kPrefix, sizeof kPrefix - 1);
    at += sizeof kPrefix - 1;
    PutHex(at, static_cast<std::uint64_t>(now));
    at += kHexDigits;
    *at++ = '-';
    PutHex(at, random);
    at += kHexDigits;
    std::memcpy(at, kSuffix, sizeof kSuffix);  // with its NUL
    temporary->text[0] = '.';
    std::memcpy(temporary->text + 1, final->text, kNameLength - 3);
    std::memcpy(temporary->text + 1 + kNameLength - 3, "tmp", 4);
}

}  // namespace

bool IsSpoolRecordName(const char* name) {
    if (std::strlen(name) != kNameLength) return false;
    const char* at = name;
    if (std::memcmp(at, kPrefix, sizeof kPrefix - 1) != 0) return false;
    at += sizeof kPrefix - 1;
    if (!IsHex(at, kHexDigits) || at[kHexDigits] != '-') return false;
    at += kHexDigits + 1;
    return IsHex(at, kHexDigits) && std::memcmp(at + kHexDigits, kSuffix, sizeof kSuffix) == 0;
}

const char* OpenSpoolFolder(const char* path, platform::FolderHandle* folder) {
    switch (platform::FolderOpenPrivate(path, folder)) {
        case platform::FolderCheck::kOk:
            return nullptr;
        case platform::FolderCheck::kCannotOpen:
            return "the spool folder cannot be opened (missing, not a folder, or not permitted)";
        case platform::FolderCheck::kOthersCanWrite:
            return "others can write to the spool folder (POSIX: group or others have write "
                   "permission; Windows: its DACL lets a broad group add or remove files)";
        case platform::FolderCheck::kOtherOwner:
            return "the spool folder belongs to another user";
    }
    return "the spool folder was refused";
}

int WriteSpoolRecord(platform::FolderHandle folder, const std::uint8_t* bytes, std::size_t length,
                     SpoolName* name, platform::FileHandle* locked) {
    *locked = platform::kInvalidFile;
    SpoolName temporary;
    MakeNames(name, &temporary);
    const platform::FileHandle file = platform::FileCreateLocked(folder, temporary.text);
    if (file == platform::kInvalidFile) return -1;
    if (platform::FileWriteAll(file, bytes, length) != 0 || platform::FileSync(file) != 0 ||
        platform::FileRenameLocked(folder, file, temporary.text, name->text) != 0) {
        platform::FileRemoveLocked(folder, file, temporary.text);
        return -1;
    }
    *locked = file;
    return 0;
}

namespace {

struct Collect {
    SpoolListing* listing;
};

bool Visit(void* context, const char* name) {
    SpoolListing& listing = *static_cast<Collect*>(context)->listing;
    if (!IsSpoolRecordName(name)) {
        if (listing.others++ == 0) {
            std::strncpy(listing.firstOther.text, name, kSpoolNameSize - 1);
            listing.firstOther.text[kSpoolNameSize - 1] = '\0';
        }
        return true;
    }
    if (listing.count >= kSpoolListMax) {
        listing.more = true;  // the rest wait for a later listing
        return false;
    }
    std::memcpy(listing.names[listing.count++].text, name, kNameLength + 1);
    return true;
}

}  // namespace

int ListSpoolRecords(platform::FolderHandle folder, SpoolListing* listing) {
    delete[] listing->names;
    listing->names = new (std::nothrow) SpoolName[kSpoolListMax];
    listing->count = 0;
    listing->others = 0;
    listing->more = false;
    if (listing->names == nullptr) return -1;
    Collect collect = {listing};
    if (platform::FolderList(folder, Visit, &collect) != 0) return -1;
    std::sort(
        listing->names, listing->names + listing->count,
        [](const SpoolName& a, const SpoolName& b) { return std::strcmp(a.text, b.text) < 0; });
    return 0;
}
