// The emulated cameras inside a unit test: while an InProcessCameras
// object lives, the program's device system calls (cm::sys()) reach the
// camera model, so the capture code runs unchanged against "/dev/video0"
// to "/dev/video3". Every other path and descriptor still reaches the
// system. Only one object may live at a time.
#pragma once

#include "emulation/emucam_config.h"
#include "emulation/emucam_model.h"

namespace emucam {

class InProcessCameras {
public:
    explicit InProcessCameras(const Config& config = Config::defaults());
    // Restores the system's calls, then stops the cameras.
    ~InProcessCameras();
    InProcessCameras(const InProcessCameras&) = delete;
    InProcessCameras& operator=(const InProcessCameras&) = delete;

    Model& model() { return model_; }

private:
    Model model_;
};

// Parses `text` (the configuration's text form); a malformed text ends the
// test program with the parser's message.
Config configFromText(const char* text);

}  // namespace emucam
