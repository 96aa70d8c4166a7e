#include "v4l2/conversion_start.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/durable.h"
#include "common/footprint.h"
#include "common/paths.h"
#include "common/run_config.h"
#include "log/debug.h"
#include "v4l2/clip_names.h"
#include "v4l2/conversion_job.h"
#include "v4l2/conversion_output_dir.h"
#include "v4l2/converter_command.h"
#include "v4l2/format_file.h"

void requeuePendingRawClips() {
    const std::string tmp = footprint::resolve(footprint::kTmp);
    std::vector<SavedName> pending;
    std::vector<std::string> formatFiles;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (isHalfWritten(file)) {
            cm::removeOwnFile(tmp + "/" + file);
            continue;
        }
        SavedName clip;
        if (parseSavedName(file, ".raw.format", false, clip)) formatFiles.push_back(tmp + "/" + file);
        if (!parseSavedName(file, ".raw", false, clip)) continue;
        if (!cm::isOwnRegularFile(tmp + "/" + file)) continue;
        pending.push_back(std::move(clip));
    }
    ::closedir(dir);
    // A format file goes into place before its raw clip: one without its
    // raw clip is what a cut between the two left.
    bool removed = false;
    for (const std::string& format : formatFiles) {
        const std::string raw = format.substr(0, format.size() - (sizeof(".format") - 1));
        if (cm::pathPresent(raw) || conversionPending(raw)) continue;
        if (cm::isOwnRegularFile(setAsidePath(raw)))  // a cut while the clip was set aside
            ::rename(format.c_str(), formatFilePath(setAsidePath(raw)).c_str());
        else
            cm::removeOwnFile(format);
        removed = true;
    }
    std::sort(pending.begin(), pending.end(), olderFirst);
    for (const SavedName& c : pending) {
        ClipPaths paths = clipPaths(tmp, "", LBASE_PATH, c.name, c.device, c.timeGroup);
        if (conversionPending(paths.raw)) continue;  // saved by this run already
        // The temporary MP4 file of older versions, beside the raw clip.
        cm::removeOwnFile(tmp + "/" + clipStem(c.name, c.device, c.timeGroup) + ".mp4");
        if (cm::pathPresent(paths.queued)) {
            verbos("Removing a clip left by the last run, already converted into the queue: %s", paths.raw.c_str());
            ::unlink(paths.raw.c_str());
            cm::removeOwnFile(formatFilePath(paths.raw));
            removed = true;
            continue;
        }
        verbos("Queueing the conversion of a clip left by the last run: %s", paths.raw.c_str());
        ClipFormat recorded;
        std::string why;
        switch (readFormatFile(paths.raw, recorded, why)) {
            case FormatFileRead::Read: break;
            case FormatFileRead::Missing:
                verbos("No format file beside %s: converted with this run's settings", paths.raw.c_str());
                break;
            case FormatFileRead::Refused:
                verbos("Format file of %s refused (%s): converted with this run's settings", paths.raw.c_str(),
                       why.c_str());
                recorded = ClipFormat{};
                break;
        }
        queueConversion(paths, converterSettingsFor(recorded));
    }
    // Durable before the upload starts: a raw clip back after a cut would
    // be converted and uploaded once more.
    if (removed) cm::syncDirectory(tmp);
}

void startClipConversion() {
    const std::string dir = conversionOutputDir();
    removeStaleConversionOutputDirs(dir);
    requeuePendingRawClips();
}
