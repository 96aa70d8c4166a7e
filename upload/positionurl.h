// Notification records. The capture module never calls its web services
// itself: every call it wants made (a queued file was uploaded, live
// streaming started or goes on) is appended as one 1000-byte record to the
// notification queue file "/home/Tarvisel/pos/1.pos", which the companion
// process on the board reads and carries out. This program only ever
// appends to that file: it never reads, truncates or deletes it.
//
// Record layout, written as it lies in memory, records back to back:
//   0..3    nReserved  32-bit word, little-endian, always 0
//   4..999  szURL      URL text (at most 995 characters), NUL-terminated,
//                      every byte behind the terminator 0
// The n-th record begins at byte 1000 x (n - 1).
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr std::size_t kNotificationRecordSize = 1000;
inline constexpr std::size_t kNotificationUrlField = 996;
inline constexpr std::size_t kNotificationUrlMax = kNotificationUrlField - 1;  // 995 characters

class PositionURL {
public:
    PositionURL() { reset(); }

    // nReserved 0, every byte of szURL 0.
    void reset();

    // Stores `url` (with its terminator) in a zeroed record. A URL longer
    // than 995 characters is not stored at all: the record stays empty,
    // the refusal is logged and false comes back. Cutting it instead would
    // queue a call to another address than the producer meant (a cut file
    // path names a file that does not exist, a cut query drops arguments);
    // a call that is plainly missing, with a log line saying why, is the
    // lesser harm. Producers format into a 996-byte buffer, so only a URL
    // built without that limit is ever refused.
    bool setURL(const char* url);

    // Appends this record to the notification queue file (see the free
    // function below).
    void saveRecord();

    std::int32_t nReserved;
    char szURL[kNotificationUrlField];
};

static_assert(sizeof(PositionURL) == kNotificationRecordSize, "a notification record is exactly 1000 bytes");
static_assert(offsetof(PositionURL, nReserved) == 0, "the reserved word leads the record");
static_assert(offsetof(PositionURL, szURL) == 4, "the URL follows the reserved word");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are written as they lie in memory, little-endian");

// Appends `record` to the notification queue file, creating its directory
// ("mkdir -p") and the file when missing. The file is opened for appending
// and closed for every record; the 1000 bytes go out in one write.
//
// Guarantees beyond the plain append:
//  - No open ever truncates the file: when the open for appending fails,
//    the one more attempt opens for writing without truncation and writes
//    at the end, so records already queued are kept.
//  - Appends of all threads of this process are serialised, so records
//    never interleave, also on the fallback path that has no append mode.
//  - A record that reaches the file only in part (disk full, I/O error) is
//    cut off again, so the file stays a whole number of records and every
//    later record still begins at a multiple of 1000.
//  - A file found with a torn tail (a power cut in the middle of an
//    append) has the torn record's slot zeroed from its record boundary up
//    to the next one before the new record goes in: the slot reads as an
//    empty record (which readers skip), never as a URL cut short, and the
//    new record and every later one begin on their boundaries. Only the
//    torn record is lost; the file is never cut shorter.
//  - A record without a URL (empty, or not terminated inside its field) is
//    not queued: it would be a call to nothing.
//  - Anything but a regular file at the queue file's path (a FIFO, a
//    socket) counts as a file that cannot be opened ("could not create
//    file!"), and no open ever waits on it.
//  - A record that cannot be written whole (the file cannot be opened, the
//    file system is full) is kept in memory and written, before any newer
//    record and in order, at the next append or retry: it is late, never
//    lost while the process runs. At most kNotificationPendingMax wait; past
//    that the oldest is dropped with a log line. Those still waiting when
//    the run ends are kept for the next run (see restoreKeptNotificationRecords).
//  - The append is not synced: a producer whose record must survive a power
//    cut calls syncNotificationRecords afterwards.
void saveRecord(PositionURL& record);

inline constexpr std::size_t kNotificationPendingMax = 1000;

// Syncs the queue file (and its directory when an append found it empty
// since the last sync), so that the records appended so far survive a
// power cut. Takes none of the appends' locks: an append of another thread
// never waits for it. Whether it succeeded (a failure is logged).
bool syncNotificationRecords();

// Writes the records waiting for a later try (the upload thread calls it
// every walk), and brings the kept file of an earlier run in line with
// what of it is still waiting; whether none is left waiting.
bool retryPendingNotificationRecords();
std::size_t pendingNotificationRecords();

// Notification records kept for the next run. A record that cannot be
// appended to the notification queue file (a full file system) waits in
// memory (see saveRecord); when the run ends before it could be
// appended, it is kept in a small file beside the queue file
// ("/home/Tarvisel/pos/1.kept", the same 1000-byte records back to back),
// which the next run appends to the queue file, in order and before any
// record of its own, and then removes.
//
// A power cut between that append and the removal leaves the records in
// both files. The next run then finds the queue file ending in exactly the
// kept records and only removes the kept file; should the companion have
// consumed the queue file in that instant, the records are appended once
// more. A notification made twice names the same file on the server twice,
// which the companion can recognise; a lost one leaves a clip on the server
// that nobody is told of. So a record is kept until its append is durable:
// at least once, and once but for that double coincidence.
//
// At start, before any thread appends: the records the last run kept go
// first, in their order, and the kept file is removed once they are
// durably in the queue file.
void restoreKeptNotificationRecords();

// At the end of the run: one last try of the waiting records, and those
// that still cannot be appended are written durably to the kept file for
// the next run. Records of this run saved after it are appended or lost,
// never kept twice. How many were kept.
std::size_t keepPendingNotificationRecordsForNextRun();

// Waiting records, the kept file's bookkeeping and the sync state back to
// a fresh process's, and open() as the opener.
void resetPositionUrlForTests();

// The notification queue file as this process uses it (under the emulated
// board root when there is one).
std::string notificationFilePath();

// For tests: the open() that saveRecord uses (nullptr restores ::open).
using NotificationOpenFn = int (*)(const char* path, int flags, mode_t mode);
void setNotificationOpenForTests(NotificationOpenFn fn);
