// The order in which this run gave its clips their final names: a raw clip
// in /tmp, a clip set aside, a clip entering the upload queue. Where room
// is made or set-aside clips are bounded, "the oldest" is taken from here.
// Modification times and the time strings in names cannot tell it: they
// are readings of the wall clock, which NTP steps by years on a board
// without a battery clock, and after a step back the newest clips looked
// the oldest and were removed first.
//
// A file this run did not note (an earlier run left it) has no known place
// in this order; callers put such files before all of this run's, ordered
// among themselves by what their times or names tell.
//
// Any thread; one lock guards the record. It holds at most kArrivalsKept
// paths and forgets the earliest first: a file forgotten counts as an
// earlier run's, which puts it first, where its age puts it anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace cm {

inline constexpr std::size_t kArrivalsKept = 1024;

// Notes that `path` gets its final name now. Call it just before the
// rename or write that gives the name, so that no listing finds the file
// unnoted. A path noted again moves to the end.
void noteArrival(const std::string& path);

// The place of `path` among this run's arrivals (a later one is larger),
// or nothing for a file this run did not note.
std::optional<std::uint64_t> arrivalOf(const std::string& path);

// Nothing noted.
void resetArrivalsForTests();

}  // namespace cm
