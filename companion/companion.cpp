#include "companion/companion.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/clock.h"
#include "control/settings.h"
#include "upload/positionurl.h"

namespace {

// The notification record as the upload unit writes it: the URL field
// closes the record, behind the reserved word.
constexpr std::size_t kRecordSize = kNotificationRecordSize;
constexpr std::size_t kUrlOffset = kNotificationRecordSize - kNotificationUrlField;

int usage(const char* message) {
    if (message != nullptr) fprintf(stderr, "capture_control: %s\n", message);
    fputs("usage: capture_control alert on|off | exit [on|off] | user-video [VALUE] | cams VALUE |\n"
          "                       stream MODE(0-9) | show | notifications\n",
          stderr);
    return 2;
}

std::optional<bool> onOff(const std::string& word) {
    if (word == "on" || word == "1") return true;
    if (word == "off" || word == "0") return false;
    return std::nullopt;
}

void show(const settingTag& r) {
    printf("alert=%d exit=%d user_video=%lld cams=%lld stream=%lld (mode %lld)\n", r.alertFlag(),
           r.exitFlag() ? 1 : 0, r.userVideoCommand(), r.camSet(), r.streamVideoStamp(),
           r.streamVideoStamp() % 10);
}

int notifications() {
    const std::string path = notificationFilePath();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "capture_control: no notification queue at %s\n", path.c_str());
        return 1;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    std::size_t trailing = 0;
    for (const std::string& url : notificationUrls(ss.str(), trailing)) printf("%s\n", url.c_str());
    // The daemon appends each record in one write, which a read may meet
    // half done; the next read has it whole.
    if (trailing != 0)
        fprintf(stderr, "capture_control: %zu bytes of a record still being appended, left for the next read\n",
                trailing);
    return 0;
}

}  // namespace

std::optional<long long> parseInt64(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || end == text.c_str() || *end != '\0' || text.find_first_of(" \t\n") != std::string::npos)
        return std::nullopt;
    return v;
}

long long nextStreamStamp(long long previous, int mode, long long nowSeconds) {
    long long stamp = nowSeconds * 10 + mode;
    if (stamp == previous) stamp += 10;
    return stamp;
}

long long nextUserVideoCommand(long long previous, long long nowMicros) {
    long long value = nowMicros;
    if (value == previous || value == 0) value = previous + 1;
    if (value == 0) value = 1;
    return value;
}

std::vector<std::string> notificationUrls(const std::string& content, std::size_t& trailing) {
    std::vector<std::string> urls;
    std::size_t whole = content.size() / kRecordSize;
    for (std::size_t i = 0; i < whole; ++i) {
        const char* url = content.data() + i * kRecordSize + kUrlOffset;
        std::size_t len = strnlen(url, kRecordSize - kUrlOffset);
        if (len != 0) urls.emplace_back(url, len);  // an empty slot: a torn record the daemon zeroed
    }
    trailing = content.size() % kRecordSize;
    return urls;
}

int companionMain(int argc, char** argv) {
    if (argc < 2) return usage(nullptr);
    const std::string cmd = argv[1];
    const std::string arg = argc > 2 ? argv[2] : "";
    if (argc > 3) return usage("too many arguments");

    if (cmd == "notifications") return argc == 2 ? notifications() : usage("notifications takes no argument");

    // Every write stores the whole record: start from the file's content so
    // that the other fields keep their values.
    settingTag record;
    record.readSettings();
    if (cmd == "show") {
        if (argc != 2) return usage("show takes no argument");
        show(record);
        return 0;
    }
    bool stored = false;
    if (cmd == "alert") {
        std::optional<bool> on = onOff(arg);
        if (!on) return usage("alert takes on or off");
        stored = record.panic(*on ? 1 : 0);
    } else if (cmd == "exit") {
        std::optional<bool> on = argc == 2 ? std::optional<bool>(true) : onOff(arg);
        if (!on) return usage("exit takes on or off");
        stored = record.exit(*on ? 1 : 0);
    } else if (cmd == "user-video") {
        long long value;
        if (argc == 2) {
            timespec now = cm::wallNow();
            value = nextUserVideoCommand(record.userVideoCommand(),
                                         static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
        } else {
            std::optional<long long> v = parseInt64(arg);
            if (!v || *v == 0) return usage("user-video takes a non-zero decimal number");
            if (*v == record.userVideoCommand()) return usage("that user-video command was already given");
            value = *v;
        }
        stored = record.record_user_video(value);
    } else if (cmd == "cams") {
        std::optional<long long> v = parseInt64(arg);
        if (!v) return usage("cams takes a decimal number");
        stored = record.set_cams(*v);
    } else if (cmd == "stream") {
        std::optional<long long> mode = parseInt64(arg);
        if (!mode || *mode < 0 || *mode > 9) return usage("stream takes a mode from 0 to 9");
        stored = record.stream_video(nextStreamStamp(record.streamVideoStamp(), static_cast<int>(*mode), cm::wallNow().tv_sec));
    } else {
        return usage("unknown command");
    }
    if (!stored) {
        // The companion must know: the daemon never saw this request.
        fprintf(stderr, "capture_control: the control record was not written; the request is not given\n");
        return 1;
    }
    show(record);
    return 0;
}
