// The drain of a spool folder: records sent one by one in their order, a record removed only
// after its acknowledgement, and anything not ours left where it is with the reason.
#include "spool/spool_drain.h"

#include <cstring>
#include <new>

#include "platform/platform.h"
#include "spool/spool_file.h"

namespace {

// "name: why", cut to fit.
void Refuse(DrainReport* report, const char* name, const char* why) {
    if (report->refused++ != 0) return;
    std::size_t n = 0;
    const std::size_t limit = sizeof report->reason - 1;
    for (const char* p = name; *p != '\0' && n < limit; ++p) report->reason[n++] = *p;
    for (const char* p = ": "; *p != '\0' && n < limit; ++p) report->reason[n++] = *p;
    for (const char* p = why; *p != '\0' && n < limit; ++p) report->reason[n++] = *p;
    report->reason[n] = '\0';
}

}  // namespace

std::uint32_t SecondsWaited(std::int64_t spooledAt, std::int64_t nowSeconds) {
    if (nowSeconds <= spooledAt) return 0;
    const std::uint64_t waited = static_cast<std::uint64_t>(nowSeconds - spooledAt);
    return waited > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(waited);
}

int DrainSpool(platform::FolderHandle folder, SendSpooledRecord send, void* context,
               std::size_t limit, std::int64_t nowSeconds, DrainReport* report) {
    SpoolListing listing;
    if (ListSpoolRecords(folder, &listing) != 0) return -1;
    if (listing.others != 0) {
        Refuse(report, listing.firstOther.text, "not named as a record of ours: left alone");
        report->refused += listing.others - 1;
    }
    std::uint8_t* bytes = new (std::nothrow) std::uint8_t[kSpoolMaxRecord];
    if (bytes == nullptr) return -1;
    bool stopped = false;
    for (std::size_t i = 0; i < listing.count; ++i) {
        const char* name = listing.names[i].text;
        if (stopped || report->sent >= limit) {
            ++report->left;
            continue;
        }
        bool busy = false;
        const platform::FileHandle file = platform::FileOpenLocked(folder, name, &busy);
        if (file == platform::kInvalidFile) {
            // Held by another sender, or sent and removed meanwhile: either way not ours to send.
            if (busy) ++report->busy;
            continue;
        }
        const int length = platform::FileReadAll(file, bytes, kSpoolMaxRecord);
        SpoolRecord record;
        const SpoolFault fault =
            length < 0 ? SpoolFault::kLength
                       : DecodeSpoolRecord(bytes, static_cast<std::size_t>(length), &record);
        if (fault != SpoolFault::kNone) {
            Refuse(report, name, SpoolFaultText(fault));
            platform::FileClose(file);
            continue;
        }
        const int status = send(context, record, SecondsWaited(record.spooledAt, nowSeconds));
        if (status == 0) {
            platform::FileRemoveLocked(folder, file, name);
            ++report->sent;
        } else {
            platform::FileClose(file);  // kept, unlocked, for a later drain
            ++report->left;
            report->lastStatus = status;
            stopped = true;
        }
    }
    if (listing.more) ++report->left;  // at least one more behind the listing's cap
    // The records held user names and session data: the buffer goes wiped.
    platform::SecureZero(bytes, kSpoolMaxRecord);
    delete[] bytes;
    return 0;
}
