#include "common/footprint.h"

#include <cstdlib>
#include <mutex>

namespace footprint {
namespace {

std::string readRoot() {
    const char* env = std::getenv("CAPTURE_MODULE_ROOT");
    if (env == nullptr || *env == '\0') return {};
    std::string r(env);
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") return {};
    return r;
}

std::mutex g_rootLock;
bool g_rootRead = false;  // guarded by g_rootLock
std::string g_root;       // guarded by g_rootLock

}  // namespace

std::string root() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    if (!g_rootRead) {
        g_root = readRoot();
        g_rootRead = true;
    }
    return g_root;
}

void reloadRootFromEnvironment() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_root = readRoot();
    g_rootRead = true;
}

std::string resolve(std::string_view path) {
    const std::string r = root();
    if (r.empty() || path.empty() || path.front() != '/') return std::string(path);
    std::string out;
    out.reserve(r.size() + path.size());
    out.append(r).append(path);
    return out;
}

}  // namespace footprint
