#include "common/queue_names.h"

bool isInProgressName(std::string_view fileName) {
    return fileName.substr(0, sizeof(kInProgressPrefix) - 1) == kInProgressPrefix;
}

std::string inProgressPathFor(std::string_view finalPath) {
    size_t slash = finalPath.rfind('/');
    size_t nameAt = slash == std::string_view::npos ? 0 : slash + 1;
    std::string out(finalPath.substr(0, nameAt));
    out += kInProgressPrefix;
    out += finalPath.substr(nameAt);
    return out;
}
