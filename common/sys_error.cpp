#include "common/sys_error.h"

#include <cstring>

namespace cm {

std::string errnoText(int err) {
    char buf[256];
    // GNU strerror_r: returns a pointer that may or may not be `buf`.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text != nullptr ? std::string(text) : std::string("Unknown error");
}

}  // namespace cm
