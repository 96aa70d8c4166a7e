// Command-line arguments of any length and content: option matching never
// reads or writes outside its buffers and always leaves the texts of the
// run configuration terminated within their sizes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/options.h"
#include "common/run_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool once = [] {
        resetRunConfig();
        return true;
    }();
    (void)once;
    // NUL bytes split the input into several arguments, as argv would.
    std::string all(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        std::string arg = all.substr(start, end - start);
        if (applyArgument(arg.c_str()) == 827 && arg.find("-exit") == std::string::npos) std::abort();
        start = end + 1;
    }
    if (strnlen(szBitrate, sizeof szBitrate) == sizeof szBitrate) std::abort();
    if (strnlen(szFPS, sizeof szFPS) == sizeof szFPS) std::abort();
    if (strnlen(szMP4Size, sizeof szMP4Size) == sizeof szMP4Size) std::abort();
    if (strnlen(SOCKET_ADDR, sizeof SOCKET_ADDR) == sizeof SOCKET_ADDR) std::abort();
    return 0;
}
