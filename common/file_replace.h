// Writing a file whole under its final name: the data goes into a fresh
// file beside it, made exclusively under a name nobody can predict (so no
// link planted there, in /tmp say, is ever followed), and the fresh file is
// renamed over the final name. A file of that name is replaced whole and
// afterwards holds exactly the new content; a reader never sees half of it.
#pragma once

#include <cstddef>
#include <string>

namespace cm {

// Mode of the files written here: readable by the converter and the upload.
inline constexpr unsigned kCreatedFileMode = 0644;

enum class FileWrite { Done, OpenFailed, RenameFailed };

// Writes `data` to a fresh file ".<name>.XXXXXX" beside `path` and renames
// it over `path`. `written` is the number of bytes that reached the file
// (less than `length` when the file system is full: the short file is
// still renamed into place, and the caller decides what it is worth);
// `err` the errno of a failure. A fresh file that cannot be renamed is
// removed.
FileWrite writeFileReplacing(const std::string& path, const void* data, std::size_t length, std::size_t& written,
                             int& err);

}  // namespace cm
