#include "common/arrival_order.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace cm {
namespace {

std::mutex g_lock;
std::uint64_t g_next = 0;                              // under g_lock
std::unordered_map<std::string, std::uint64_t> g_byPath;  // under g_lock
std::map<std::uint64_t, std::string> g_byPlace;          // under g_lock, the same entries

}  // namespace

void noteArrival(const std::string& path) {
    std::lock_guard<std::mutex> g(g_lock);
    auto [it, fresh] = g_byPath.try_emplace(path, g_next);
    if (!fresh) {
        g_byPlace.erase(it->second);
        it->second = g_next;
    }
    g_byPlace.emplace(g_next++, path);
    if (g_byPlace.size() > kArrivalsKept) {
        g_byPath.erase(g_byPlace.begin()->second);
        g_byPlace.erase(g_byPlace.begin());
    }
}

std::optional<std::uint64_t> arrivalOf(const std::string& path) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_byPath.find(path);
    if (it == g_byPath.end()) return std::nullopt;
    return it->second;
}

void resetArrivalsForTests() {
    std::lock_guard<std::mutex> g(g_lock);
    g_byPath.clear();
    g_byPlace.clear();
    g_next = 0;
}

}  // namespace cm
