// Shell commands: the program hands directory creation, conversion and
// upload to /bin/sh, so everything that goes into a command line from
// outside (file names, the device serial) passes through shellQuote.
#pragma once

#include <string>
#include <string_view>

namespace cm {

// Runs `command` through /bin/sh ("/bin/sh -c <command>", a child as
// common/child_process.h makes them: no descriptor of the daemon, least
// urgent) and waits for it. Returns the raw wait status (exit code x 256 on
// a normal exit, -1 when no shell could start).
int runShell(const std::string& command);

// `word` as one shell word that stands for exactly itself. A word made only
// of characters the shell never interprets comes back unchanged, so
// ordinary names keep their command lines byte for byte; anything else is
// single-quoted.
std::string shellQuote(std::string_view word);

// Creates the directory `dir` (with its parents, "mkdir -p" through the
// shell) when nothing exists at that path, after handing `announce` the
// line "Save dir not found.. creating <dir>". Returns true when it was
// missing, whether or not the command then made it: the caller's next
// open of a file in it reports that.
bool createDirIfMissing(const std::string& dir, void (*announce)(const char* line));

}  // namespace cm
