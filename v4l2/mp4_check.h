// The check a converted clip passes before it enters the upload queue: the
// file is a whole MP4 file. A converter that ran out of space or was cut
// off may still end with status 0 and leave a file without its index (the
// 'moov' box is written last) or with a box that runs past the file's end;
// such a file would be uploaded and announced as a clip nobody can play.
//
// Whole means: more than 0 bytes; the top-level boxes (32-bit size, or size
// 1 and a 64-bit size behind the type, or size 0 for a last box that runs
// to the end of the file) lie back to back and end exactly at the end of
// the file; among them an 'ftyp' and a 'moov' box.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Checks the bytes of a whole file; `why` says what is wrong.
bool isWholeMp4Data(std::string_view data, std::string& why);

// Checks the file at `path` (a regular file, not followed through a link).
// Only the box headers are read.
bool isWholeMp4File(const std::string& path, std::string& why);
