// Loading of the picture I/O module (see picture_io.h).
#include "capture/picture_io.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <string>

#include "log/debug.h"

namespace cm {
namespace {

constexpr const char* kModule = "libcapture-module-picture-io.so";
constexpr const char* kEntry = "cm_picture_io";
using Entry = const PictureIo* (*)();

// The directory of the running program, "" when unknown.
std::string programDirectory() {
    std::array<char, 4096> path{};
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return "";
    const std::string exe(path.data(), static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash);
}

const PictureIo* load() {
    // A program that links the module (the tests) has it already.
    if (auto linked = reinterpret_cast<Entry>(::dlsym(RTLD_DEFAULT, kEntry))) return linked();
    const std::string dir = programDirectory();
    // The installed package's place first, then beside the program (a
    // build tree). The module stays loaded for the life of the process.
    std::string tried;
    for (const std::string& path : {dir + "/../lib/capture-module/" + kModule, dir + "/" + kModule}) {
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            tried += "; " + std::string(why != nullptr ? why : path);
            continue;
        }
        if (auto entry = reinterpret_cast<Entry>(::dlsym(handle, kEntry))) return entry();
        tried += "; " + path + ": no entry point " + kEntry;
    }
    verbos("The default path's picture and video I/O (%s) could not be loaded%s: no picture is taken and no clip "
           "made on this path",
           kModule, tried.c_str());
    return nullptr;
}

}  // namespace

const PictureIo* pictureIo() {
    static const PictureIo* const io = load();
    return io;
}

}  // namespace cm
