// Captures frames with OpenCV's own V4L2 capture and prints what the block
// pattern of each says. Run it with the preload library:
//   opencv_capture INDEX FRAMES [FOURCC WIDTH HEIGHT]
// prints "opened <fourcc> <w>x<h>" and then one line per frame:
//   "frame <i> <w>x<h> camera <c> counter <n>" or "frame <i> <w>x<h> unreadable".
#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "emulation/emucam_pattern.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::fprintf(stderr, "usage: %s INDEX FRAMES [FOURCC WIDTH HEIGHT]\n", argv[0]);
        return 2;
    }
    const int index = std::atoi(argv[1]);
    const int frames = std::atoi(argv[2]);
    cv::VideoCapture cap(index, cv::CAP_V4L2);
    if (!cap.isOpened()) {
        std::printf("not opened\n");
        return 1;
    }
    if (argc == 6) {
        const std::string f = argv[3];
        cap.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc(f[0], f[1], f[2], f[3]));
        cap.set(cv::CAP_PROP_FRAME_WIDTH, std::atoi(argv[4]));
        cap.set(cv::CAP_PROP_FRAME_HEIGHT, std::atoi(argv[5]));
    }
    const int fourcc = static_cast<int>(cap.get(cv::CAP_PROP_FOURCC));
    std::printf("opened %c%c%c%c %dx%d\n", fourcc & 0xff, (fourcc >> 8) & 0xff, (fourcc >> 16) & 0xff,
                (fourcc >> 24) & 0xff, static_cast<int>(cap.get(cv::CAP_PROP_FRAME_WIDTH)),
                static_cast<int>(cap.get(cv::CAP_PROP_FRAME_HEIGHT)));
    for (int i = 0; i < frames; ++i) {
        cv::Mat frame, gray;
        if (!cap.read(frame) || frame.empty()) {
            std::printf("frame %d none\n", i);
            continue;
        }
        cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
        auto r = emucam::readPattern(gray.data, gray.cols, gray.rows, static_cast<std::ptrdiff_t>(gray.step));
        if (r) std::printf("frame %d %dx%d camera %d counter %u\n", i, gray.cols, gray.rows, r->camera, r->counter);
        else std::printf("frame %d %dx%d unreadable\n", i, gray.cols, gray.rows);
        std::fflush(stdout);
    }
    return 0;
}
