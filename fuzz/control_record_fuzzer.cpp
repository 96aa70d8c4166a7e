// The control record as loaded from a file the companion wrote: any length,
// any bytes. Checks that a load never touches memory outside the record,
// that the record's image holds exactly the bytes loaded, and that a
// latched exit is never lowered by a load.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "control/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    settingTag record;
    record.loadImage(data, size);
    settingTag::Image img = record.image();
    std::size_t n = size < kControlRecordSize ? size : kControlRecordSize;
    if (std::memcmp(img.data(), data, n) != 0) std::abort();
    for (std::size_t i = n; i < kControlRecordSize; ++i)
        if (img[i] != 0) std::abort();

    setting.raiseExitInMemory();
    setting.loadImage(data, size);
    if (!setting.exitFlag()) std::abort();
    settingTag::clearExitLatch();
    setting.reset();
    return 0;
}
