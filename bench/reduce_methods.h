// The ways of reducing a camera frame to a quarter of its width and height
// that the reduction benchmarks compare, on the same frames:
//   daemon   the daemon's in-memory reduction (streaming::JpegReducer);
//   literal  the frame written to a temporary file, decoded whole by
//            OpenCV, resized bilinearly, encoded to a file and read back;
//   floor    what no decoder of the frame can undercut: reading its
//            entropy-coded data, measured as a decode at 1/8 scale (DC
//            coefficients only, 1/64 of the pixels).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "camera_pictures.h"

namespace cmbench {

inline constexpr const char* kReduceMethods[] = {"daemon", "literal", "floor"};

class ReduceMethod {
public:
    virtual ~ReduceMethod() = default;
    // Reduces one frame; `out` receives the reduced JPEG (the floor makes
    // no picture and leaves it empty). False on failure.
    virtual bool reduce(const Bytes& frame, Bytes& out) = 0;
};

// nullptr for an unknown name.
std::unique_ptr<ReduceMethod> makeReduceMethod(const std::string& name);

// The frame sets: every content at 1280 x 720 and 640 x 480, 8 frames each,
// named "<content>-<W>x<H>".
struct FrameSetSpec {
    Content content;
    int width, height;
    std::string name() const;
};
std::vector<FrameSetSpec> frameSetSpecs();
inline constexpr int kFramesPerSet = 8;

// Frames of a set, made in this process (cached).
const std::vector<Bytes>& frameSet(const FrameSetSpec& shape);

// Frame files: "<dir>/<set>-<k>.jpg", k = 0..7.
bool writeFrameSet(const std::string& dir, const FrameSetSpec& shape);
std::vector<Bytes> readFrameSet(const std::string& dir, const std::string& set);

}  // namespace cmbench
