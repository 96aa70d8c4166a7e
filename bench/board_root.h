// A fresh emulated board root for a benchmark's whole run: a private
// directory made below CM_BENCH_DIR (default /tmp), named after `purpose`,
// which the board's fixed paths resolve under (CAPTURE_MODULE_ROOT) from
// construction on, and which goes, with all it holds, at destruction.
// Single-threaded setup only: it sets the process environment.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/footprint.h"

namespace bench {

class BoardRoot {
public:
    explicit BoardRoot(const std::string& purpose) {
        const char* where = std::getenv("CM_BENCH_DIR");
        std::string tmpl = std::string(where != nullptr ? where : "/tmp") + "/cm-bench-" + purpose + "-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) return;
        dir_ = tmpl;
        ::setenv("CAPTURE_MODULE_ROOT", dir_.c_str(), 1);
        footprint::reloadRootFromEnvironment();
    }
    ~BoardRoot() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    BoardRoot(const BoardRoot&) = delete;
    BoardRoot& operator=(const BoardRoot&) = delete;
    // Whether the root was made (nothing else holds then).
    bool ok() const { return !dir_.empty(); }

private:
    std::string dir_;
};

}  // namespace bench
