// Writing a file whole under its final name: the data goes into a fresh
// file beside it, made exclusively under a name nobody can predict (so no
// link planted there, in /tmp say, is ever followed), and the fresh file is
// renamed over the final name. A file of that name is replaced whole and
// afterwards holds exactly the new content; a reader never sees half of it.
//
// A durable write also survives a power cut (common/durable.h): the data is
// synced before the rename and the directory after it, so that the final
// name never stands for data that had not reached the card, and the caller
// may rely on the file once the write has returned.
#pragma once

#include <cstddef>
#include <string>

#include "common/unique_fd.h"

namespace cm {

// Mode of the files written here: readable by the converter and the upload.
inline constexpr unsigned kCreatedFileMode = 0644;

enum class Durability {
    cacheOnly,  // a power cut may lose the file (debug images)
    durable,    // data synced before the rename, the directory after
};

enum class FileWrite {
    Done,
    NotDurable,    // in place, but a sync failed (`err`): a power cut may lose or damage it
    OpenFailed,
    RenameFailed,
};

// One file being written: the fresh file ".<name>.XXXXXX" beside `path`,
// appended to and then published under `path`. Not published, the fresh
// file is removed when the object goes. One thread at a time.
class ReplacingFile {
public:
    explicit ReplacingFile(const std::string& path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Whether the fresh file was made; else openError() is its errno.
    bool opened() const { return file_.valid(); }
    int openError() const { return openError_; }

    // Appends `length` bytes; returns how many reached the file. Short when
    // the file system is full, and from then on nothing more is appended (a
    // later write that fits would leave a hole in the middle of the data).
    std::size_t append(const void* data, std::size_t length);

    // Puts the file in place under its final name, with `durability`. A
    // fresh file that cannot be renamed is removed (RenameFailed, `err`).
    FileWrite publish(Durability durability, int& err);

private:
    std::string path_;
    std::string fresh_;
    UniqueFd file_;
    int openError_ = 0;
    bool full_ = false;
    bool published_ = false;
};

// Writes `data` whole through a ReplacingFile. `written` is the number of
// bytes that reached the file (less than `length` when the file system is
// full: the short file is still put in place, and the caller decides what
// it is worth); `err` the errno of a failure.
FileWrite writeFileReplacing(const std::string& path, const void* data, std::size_t length, Durability durability,
                             std::size_t& written, int& err);

}  // namespace cm
