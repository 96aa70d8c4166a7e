#include "board/camera_selection.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "board/gpio.h"
#include "common/clock.h"
#include "common/footprint.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"

std::atomic<std::uint8_t> bInputs[4] = {};
std::atomic<std::uint8_t> b1By1Inputs[4] = {};
std::atomic<int> n1By1RecordingsLeft{0};
std::atomic<long long> g_nCAMs{0};

namespace {

std::mutex g_oneByOneLock;  // serialises step1By1

std::string flagsJoined(const std::atomic<std::uint8_t> (&flags)[4], bool trailing) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        s += std::to_string(flags[i].load());
        if (trailing || i < 3) s += '-';
    }
    return s;
}

bool everyTurnOnASelectedInput() {
    for (int i = 0; i < 4; ++i)
        if (b1By1Inputs[i].load() != 0 && bInputs[i].load() == 0) return false;
    return true;
}

void rotateTurn() {
    std::uint8_t last = b1By1Inputs[3].load();
    for (int i = 3; i > 0; --i) b1By1Inputs[i].store(b1By1Inputs[i - 1].load());
    b1By1Inputs[0].store(last);
}

void restartWalk() {
    for (auto& f : b1By1Inputs) f.store(0);
    for (int i = 0; i < 4; ++i) {
        if (bInputs[i].load() != 0) {
            cm::printLine("step1by1: zero cam is: " + std::to_string(i));
            b1By1Inputs[i].store(1);
            break;
        }
    }
    cm::printLine("step1by1: first camera state: " + flagsJoined(b1By1Inputs, false));
}

}  // namespace

void clearInputSelection() {
    for (int i = 0; i < 4; ++i) {
        bInputs[i].store(0);
        b1By1Inputs[i].store(0);
    }
}

bool inputSelected(int input) {
    return input >= 0 && input < 4 && bInputs[input].load(std::memory_order_relaxed) != 0;
}

int selectedInputCount() {
    int n = 0;
    for (const auto& f : bInputs) n += f.load() != 0 ? 1 : 0;
    return n;
}

int readInputsDIPState() {
    // Switch pins in read order: input 3, 2, 1, 0.
    static constexpr int kReadOrder[4] = {3, 2, 1, 0};
    int raw[4];
    for (int input : kReadOrder) raw[input] = getGPIO(footprint::kPinCameraSwitch[input]);

    bool noneSelected = false;
    int value[4];
    if (bTurnOnAllCams) {
        for (int i = 0; i < 4; ++i) value[i] = raw[i] = 1;
    } else {
        noneSelected = true;
        for (int i = 0; i < 4; ++i) {
            value[i] = raw[i] & 0xff;  // a failed read (-1) becomes 255: selected
            if (value[i] != 0) noneSelected = false;
        }
    }
    bool changed = false;
    for (int input : kReadOrder) {
        // Compared as read: a failed read (-1) never equals the stored 255,
        // so it counts as a change on every call.
        if (raw[input] != bInputs[input].load()) changed = true;
        bInputs[input].store(static_cast<std::uint8_t>(value[input]));
    }
    if (changed || noneSelected) {
        cm::printOutFormatted("Camera switch changed! currently: %d-%d-%d-%d\n", bInputs[0].load(), bInputs[1].load(),
                              bInputs[2].load(), bInputs[3].load());
    }
    if (noneSelected) {
        verbos("Warning.. No inputs are selected.. sleeping for 3 seconds!!");
        cm::sleepSeconds(3);
    }
    return changed ? 1 : 0;
}

void step1By1(int reason) {
    if (!bOneByOne) return;
    std::lock_guard<std::mutex> guard(g_oneByOneLock);
    cm::printLine("step1by1: " + std::to_string(reason));
    const int n = selectedInputCount();
    if (n == 0) {
        cm::printLine("step1by1: all cams turned off!");
        return;
    }
    int left = n1By1RecordingsLeft.load();
    if (left > 0) {
        left -= 1;
        n1By1RecordingsLeft.store(left);
        if (left == 0) {
            cm::printLine("step1by1: done recording from all cams");
            restartWalk();
            return;
        }
    }
    if (left != 0 && reason == 1) {
        cm::printLine("step1by1: shuffling.. before: " + flagsJoined(bInputs, true));
        if (n == 1) return;
        for (int attempt = 0; attempt < 4; ++attempt) {
            rotateTurn();
            cm::printLine("step1by1: shuffling.. after: " + flagsJoined(b1By1Inputs, false));
            if (everyTurnOnASelectedInput()) return;
            cm::printLine("step1by1: More shuffling is needed!");
        }
        return;
    }
    restartWalk();
}

void checkCams() {
    const long long recorded = setting.camSet();
    if (recorded == g_nCAMs.load()) return;
    g_nCAMs.store(recorded);
    verbos("Cams changed# %lld.. closing everything and restarting!", recorded);
    setting.raiseExitInMemory();
}

void resetCameraSelectionForTests() {
    clearInputSelection();
    n1By1RecordingsLeft.store(0);
    g_nCAMs.store(0);
}
