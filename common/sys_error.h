// The one place that turns an errno value into text.
#pragma once

#include <string>

namespace cm {

// The system's message for `err` ("No such file or directory"), thread-safe.
std::string errnoText(int err);

}  // namespace cm
