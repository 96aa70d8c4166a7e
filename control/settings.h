// The control record: 40 bytes that the companion process on the board
// writes to "/home/Tarvisel/capture_control.ini" to steer this program, and
// the device identity read from the board EEPROM.
//
// File layout (little-endian, byte for byte the in-memory layout below):
//   0  alert flag (1 byte)          8  user-video command (int64)
//   1  exit flag (1 byte)          16  camera-set value (int64)
//   2  reserved (6 bytes)          24  stream-video stamp (int64)
//                                  32  reserved (8 bytes)
//
// One instance, `setting`, is shared by every thread. Its fields are atomic:
// two threads re-load the whole record from the file while all others read
// the flags. An exit raised in memory by this process (watchdog, camera
// check, end of capture) is latched apart from the record: the exit flag's
// readers consult the latch as well as the record's exit byte, so that no
// re-load of a file that still holds 0, however it interleaves with the
// raise, lowers the flag again; every thread and the main wait loop keep
// seeing it until the process ends. (The record's exit byte shows the raise
// too, but only until the next re-load replaces it with the file's byte.)
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kControlRecordSize = 40;

class settingTag {
public:
    using Image = std::array<std::uint8_t, kControlRecordSize>;

    settingTag() { reset(); }
    settingTag(const settingTag&) = delete;
    settingTag& operator=(const settingTag&) = delete;

    // Fills device_serial from the board EEPROM; 0 when a serial was read,
    // -1 when "NO_EEPROM" was stored.
    int init();
    // All 40 bytes to zero (in memory only); returns 0.
    int reset();
    // Replaces the in-memory record with the file's content (as many bytes
    // as the file has, up to 40). A missing file changes nothing; anything
    // but a regular file there (a FIFO, say) is reported as a file that
    // cannot be read, without waiting on it.
    void readSettings();
    // Stores the in-memory record in the file: written whole under a fresh
    // name beside it ("capture_control.ini.XXXXXX"), synced, renamed over
    // it and the directory synced (cm::replaceFileDurably), so that the
    // file always holds a whole record (the old one when the new cannot be
    // written) and a record said to be written survives a power cut.
    // Whether the new record is in the file.
    bool writeSettings();

    // Writer's side (the companion process): each stores the whole record
    // and says whether the file holds it.
    bool record_user_video(long long value);  // only when the value changes
    bool set_cams(long long value);           // only when the value changes
    bool stream_video(long long value);       // only when the value changes
    bool panic(int value);                    // alert flag, always written
    bool exit(int value);                     // exit flag, always written

    // Readers.
    std::uint8_t alertFlag() const { return alert_.load(std::memory_order_relaxed); }
    // The exit byte of the record, or the latch of an exit raised in memory.
    bool exitFlag() const;
    long long userVideoCommand() const { return userVideo_.load(std::memory_order_relaxed); }
    long long camSet() const { return camSet_.load(std::memory_order_relaxed); }
    long long streamVideoStamp() const { return streamVideo_.load(std::memory_order_relaxed); }

    // In-memory changes made by this process (the file is not written).
    void raiseAlertInMemory() { alert_.fetch_or(1, std::memory_order_relaxed); }
    void raiseExitInMemory();

    // Reads the exit flag byte of the file alone (nothing else of the record
    // changes): when it is up there, the in-memory flag goes up and stays up,
    // as with raiseExitInMemory; a 0 in the file, or no file, changes
    // nothing. Returns whether the file's flag was up. The main wait uses
    // it because the threads that re-load the whole record pause for long
    // stretches (45 s after an alert, a streaming hold of two minutes).
    bool refreshExitFlagFromFile();

    // The 40-byte file image of the record, and its inverse (the first n
    // bytes of `bytes` replace the record's first n bytes).
    Image image() const;
    void loadImage(const std::uint8_t* bytes, std::size_t n);

    // A new process starts with the exit latch down; unit tests that stand
    // in for several processes lower it between cases.
    static void clearExitLatch();

private:
    std::atomic<std::uint8_t> alert_;
    std::atomic<std::uint8_t> exit_;
    std::atomic<std::uint8_t> reserved0_[6];
    std::atomic<std::int64_t> userVideo_;
    std::atomic<std::int64_t> camSet_;
    std::atomic<std::int64_t> streamVideo_;
    std::atomic<std::uint64_t> reserved1_;
};

static_assert(sizeof(settingTag) == kControlRecordSize, "the control record is exactly 40 bytes");
static_assert(alignof(std::atomic<std::int64_t>) == 8, "64-bit fields sit on 8-byte boundaries");
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "record fields must be lock-free");

extern settingTag setting;

// The board serial (at most 12 letters, digits, '-' or '_'), "UNKNOWN" or
// "NO_EEPROM".
// Written once by setting.init() before any worker thread starts.
extern char device_serial[60];

// At start: removes the temporaries "capture_control.ini.XXXXXX" that a
// writer (this program or the companion) left when it ended before its
// rename; one that a writer still holds is kept. How many went.
int removeLeftoverControlRecordTemporaries();

// Reads the serial field of the board EEPROM into dst (60 bytes): at most 12
// bytes from byte 16, ending at a zero byte or at the first byte that is not
// a letter, digit, '-' or '_'. -1 when the EEPROM cannot be opened, else 1
// if dst is non-empty, 0 if empty.
int readBBBSerial(char* dst);

// The record zeroed, the exit latch down and the serial "UNKNOWN", as a new
// process has them.
void resetSettingsForTests();

// True once the exit flag is up, in the file or raised in memory.
inline bool exitRequested() { return setting.exitFlag(); }
