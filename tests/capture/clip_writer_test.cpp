#include "capture/clip_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <csignal>
#include <regex>
#include <thread>

#include "board/camera_selection.h"
#include "capture/picture_store.h"
#include "capture_fixture.h"
#include "common/disk_space.h"
#include "common/run_config.h"
#include "common/time_group.h"
#include "control/settings.h"
#include "v4l2/device_state.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using captest::frameNumberOf;
using captest::numberedPicture;

struct Clip {
    int frameCount = -1;
    double rate = 0;
    cv::Size size;
    std::vector<int> frames;  // frame numbers read back, in order
};

Clip readClip(const std::string& path) {
    Clip c;
    cv::VideoCapture in(path, cv::CAP_OPENCV_MJPEG);
    if (!in.isOpened()) return c;
    c.frameCount = static_cast<int>(in.get(cv::CAP_PROP_FRAME_COUNT));
    c.rate = in.get(cv::CAP_PROP_FPS);
    cv::Mat m;
    while (in.read(m)) {
        c.size = m.size();
        c.frames.push_back(frameNumberOf(m));
    }
    return c;
}

class ClipWriterTest : public captest::CaptureTest {
protected:
    void storeInMemory(int input, std::initializer_list<int> frameNumbers, int width = 64, int height = 48) {
        for (int f : frameNumbers) pic_frames[input].append(numberedPicture(0, f, width, height));
    }
    // Writes the pictures as the capture loop does and lists their names.
    std::vector<std::string> storeAsFiles(int input, std::initializer_list<int> frameNumbers) {
        std::vector<std::string> names;
        for (int f : frameNumbers) {
            clock.advance(std::chrono::milliseconds(1300));
            std::string name = base() + "/" + std::to_string(input + 1) + "/video0:-" + std::to_string(f) + ".png";
            EXPECT_TRUE(cv::imwrite(name, numberedPicture(0, f)));
            listImages[input].append(name);
            names.push_back(name);
        }
        return names;
    }
    std::vector<int> memoryFrames(int input) {
        std::vector<int> out;
        for (const auto& p : pic_frames[input].oldest(SIZE_MAX)) out.push_back(frameNumberOf(p.picture));
        return out;
    }
    // The one clip of `input` in the queue, by its final name.
    std::string clipOf(int input) {
        std::string found;
        for (const auto& n : queueFiles()) {
            if (n.rfind("user" + std::to_string(input) + "_", 0) == 0) {
                EXPECT_TRUE(found.empty()) << "two clips of input " << input;
                found = base() + "/queue/" + n;
            }
        }
        return found;
    }
    std::string runClips(int saveType) {
        CaptureStdout();
        createUserVideos(saveType);
        return GetCapturedStdout();
    }
};

TEST_F(ClipWriterTest, MemoryStoreMakesOneClipPerSelectedInputFromItsOwnPictures) {
    bMemoryStore = 1;
    select("1010");
    storeInMemory(0, {0, 1, 2});
    storeInMemory(1, {9});
    storeInMemory(2, {5, 6}, 32, 24);
    const std::string stampBefore = szTimeGroupTimestamp.renew();
    clock.advance(std::chrono::seconds(1));
    std::string out = runClips(1);

    std::vector<std::string> files = queueFiles();
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u);
    const std::regex name("user[02]_[0-9]{14}_[0-9]{6}\\.avi");
    for (const auto& f : files) EXPECT_TRUE(std::regex_match(f, name)) << f;
    Clip c0 = readClip(clipOf(0));
    EXPECT_EQ(c0.frameCount, 3);
    EXPECT_EQ(c0.size, cv::Size(64, 48));
    EXPECT_EQ(c0.frames, (std::vector<int>{0, 1, 2}));
    EXPECT_DOUBLE_EQ(c0.rate, 1.0);
    Clip c2 = readClip(clipOf(2));
    EXPECT_EQ(c2.size, cv::Size(32, 24));
    EXPECT_EQ(c2.frames, (std::vector<int>{5, 6}));

    EXPECT_EQ(pic_frames[0].size(), 0u);
    EXPECT_EQ(pic_frames[2].size(), 0u);
    EXPECT_EQ(memoryFrames(1), (std::vector<int>{9}));  // not selected
    EXPECT_EQ(nCreatingVideosForInput.load(), -1);
    EXPECT_EQ(n1By1RecordingsLeft.load(), 2);
    EXPECT_NE(szTimeGroupTimestamp.get(), stampBefore);
    EXPECT_EQ(out.find("Creating usre video thread!\n"), 0u);
    EXPECT_NE(out.find("video size: 64x48\nimages to add: 3 for input: 0\nlist length: 3\n"
                       "Adding image#: 0 for input 0\nimage read#: 0\nabout to add image#: 0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("removing memory image#: 2\nremoving memory image#: 1\nremoving memory image#: 0\n"
                       "video created with 3 images! pics deleted!\n"),
              std::string::npos)
        << out;
}

TEST_F(ClipWriterTest, AlertAndUserClipsDifferOnlyInTheirTimeString) {
    bMemoryStore = 1;
    select("1000");
    storeInMemory(0, {1});
    runClips(1);
    clock.advance(std::chrono::seconds(2));
    storeInMemory(0, {2});
    runClips(2);
    std::vector<std::string> files = queueFiles();
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].substr(0, 6), "user0_");
    EXPECT_EQ(files[1].substr(0, 6), "user0_");
    EXPECT_NE(files[0], files[1]);
    EXPECT_EQ(readClip(base() + "/queue/" + files[0]).frames, (std::vector<int>{1}));
    EXPECT_EQ(readClip(base() + "/queue/" + files[1]).frames, (std::vector<int>{2}));
}

TEST_F(ClipWriterTest, FileStoreClipsEachInputAndDeletesExactlyItsFiles) {
    select("1011");
    std::vector<std::string> in0 = storeAsFiles(0, {0, 1});
    std::vector<std::string> in1 = storeAsFiles(1, {7});
    std::vector<std::string> in2 = storeAsFiles(2, {2, 3, 4});
    std::vector<std::string> in3 = storeAsFiles(3, {5});
    std::string out = runClips(2);

    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{0, 1}));
    EXPECT_EQ(readClip(clipOf(2)).frames, (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(readClip(clipOf(3)).frames, (std::vector<int>{5}));
    EXPECT_EQ(clipOf(1), "");
    EXPECT_EQ(queueFiles().size(), 3u);
    for (const auto& v : {in0, in2, in3})
        for (const auto& f : v) EXPECT_FALSE(cmtest::fileExists(f)) << f;
    EXPECT_TRUE(cmtest::fileExists(in1[0]));
    EXPECT_EQ(listImages[1].names(), in1);
    EXPECT_EQ(listImages[0].size() + listImages[2].size() + listImages[3].size(), 0u);
    EXPECT_TRUE(workingListNames().empty());
    // Every file-store clip restarts the store's life.
    EXPECT_DOUBLE_EQ(startImagesListLife.secondsUntil(cm::monotonicNow()), 0.0);
    EXPECT_NE(out.find("Creating video of input: 2, number of images: 3, time difference: 0\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("images to add: 3 for input: 2\nlist length: 0\nAdding image#: 0 name: " + in2[0] + "\n"),
              std::string::npos);
    EXPECT_NE(out.find("Update Succedded! deleting pics..\nDeleting image#: 0 name: " + in2[0] +
                       "\nDeleting image#: 1 name: " + in2[1] + "\nDeleting image#: 2 name: " + in2[2] +
                       "\nvideo created with 3 images! pics deleted!\n"),
              std::string::npos)
        << out;
}

// Pictures an earlier run left are taken back at start only while they lie
// within the store's span, and never open a clip once they are older than
// the span before its request.
TEST_F(ClipWriterTest, PicturesOfAnEarlierRunOpenAClipOnlyWithinTheStoresSpan) {
    select("1000");
    const time_t start = cm::wallNow().tv_sec;
    std::vector<std::string> earlier;  // frames 0..3, taken 100, 40 and 10 s before the start, and 5 s after it
    for (int ago : {100, 40, 10, -5}) {
        const time_t at = start - ago;
        struct tm t {};
        localtime_r(&at, &t);
        char time[32];
        strftime(time, sizeof time, "%Y%m%d%H%M%S_000000", &t);
        earlier.push_back(base() + "/1/video1:-" + time + ".png");
        ASSERT_TRUE(cv::imwrite(earlier.back(), numberedPicture(0, static_cast<int>(earlier.size()) - 1)));
    }
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 2);
    clock.stepWall(-std::chrono::hours(2));  // NTP: the earlier run's pictures keep their age
    clock.advance(std::chrono::seconds(30));
    storeAsFiles(0, {4, 5});  // the request comes 32.6 s after the start
    runClips(1);
    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{2, 4, 5}));
    for (const auto& f : earlier) EXPECT_FALSE(cmtest::fileExists(f)) << f;
}

TEST_F(ClipWriterTest, FileStoreTimeDifferenceCountsFromTheStoreLife) {
    select("1000");
    startImagesListLife.restart(cm::monotonicNow());
    storeAsFiles(0, {0, 1});  // 2.6 s later
    std::string out = runClips(1);
    EXPECT_NE(out.find("Creating video of input: 0, number of images: 2, time difference: 2.6\n"), std::string::npos)
        << out;
}

TEST_F(ClipWriterTest, MissingQueueKeepsMemoryPicturesForTheNextClip) {
    bMemoryStore = 1;
    select("1000");
    storeInMemory(0, {0, 1});
    cmtest::removeTree(base() + "/queue");
    std::string out = runClips(1);
    EXPECT_NE(out.find("No videowrite here!\n"), std::string::npos);
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{0, 1}));
    cmtest::makeDirs(base() + "/queue");
    storeInMemory(0, {2});
    runClips(1);
    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(pic_frames[0].size(), 0u);
}

// A queue on a small disk: free space is what its files leave of 100 kB
// above the reserve.
std::string g_queueDir;
std::optional<std::uint64_t> smallQueueDisk(const std::string&) {
    std::uint64_t used = 0;
    for (const std::string& n : cmtest::listDir(g_queueDir)) used += cmtest::readFile(g_queueDir + "/" + n).size();
    const std::uint64_t capacity = cm::kDiskReserveBytes + 100000;
    return used >= capacity ? 0 : capacity - used;
}

TEST_F(ClipWriterTest, AClipTakesTheRoomOfTheOldestQueuedClipsButNeverOfOneBeingUploaded) {
    bMemoryStore = 1;
    select("1000");
    g_queueDir = base() + "/queue";
    cm::setFreeSpaceProbeForTests(smallQueueDisk);
    cmtest::writeFile(g_queueDir + "/usb_0_1.mp4", std::string(10000, 'u'));  // the oldest, being uploaded
    cmtest::writeFile(g_queueDir + "/user2_2.avi", std::string(60000, 'o'));
    cmtest::writeFile(g_queueDir + "/user2_3.avi", std::string(1000, 'n'));
    for (const char* n : {"usb_0_1.mp4", "user2_2.avi", "user2_3.avi"}) {
        timespec t[2] = {{100 + n[6], 0}, {100 + n[6], 0}};  // in the order of their names
        utimensat(AT_FDCWD, (g_queueDir + "/" + n).c_str(), t, 0);
    }
    storeInMemory(0, {0, 1});
    std::string out;
    {
        cm::BusyFile uploading(g_queueDir + "/usb_0_1.mp4");
        out = runClips(1);
    }
    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{0, 1}));
    EXPECT_TRUE(cmtest::fileExists(g_queueDir + "/usb_0_1.mp4"));
    EXPECT_FALSE(cmtest::fileExists(g_queueDir + "/user2_2.avi"));
    EXPECT_TRUE(cmtest::fileExists(g_queueDir + "/user2_3.avi"));
    EXPECT_NE(out.find("disk space short for the clip "), std::string::npos) << out;
    EXPECT_NE(out.find("removed the oldest " + g_queueDir + "/user2_2.avi (60000 bytes)"), std::string::npos) << out;

    // No room even without every older clip: no clip, and the pictures wait.
    storeInMemory(0, std::initializer_list<int>{2, 3, 4}, 640, 480);
    out = runClips(1);
    EXPECT_NE(out.find("still short"), std::string::npos) << out;
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{2, 3, 4}));
    cm::setFreeSpaceProbeForTests(nullptr);
}

TEST_F(ClipWriterTest, MissingQueueGivesFileNamesBackToTheirOwnInput) {
    select("1100");
    std::vector<std::string> in0 = storeAsFiles(0, {0, 1});
    std::vector<std::string> in1 = storeAsFiles(1, {4});
    cmtest::removeTree(base() + "/queue");
    std::string out = runClips(1);
    EXPECT_EQ(cmtest::countOf(out, "No videowrite here!\n"), 2);
    EXPECT_TRUE(workingListNames().empty());
    EXPECT_EQ(listImages[0].names(), in0);
    EXPECT_EQ(listImages[1].names(), in1);
    for (const auto& f : in0) EXPECT_TRUE(cmtest::fileExists(f));
    // The next clip of each input holds its own pictures only.
    cmtest::makeDirs(base() + "/queue");
    std::vector<std::string> more = storeAsFiles(0, {2});
    runClips(1);
    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(readClip(clipOf(1)).frames, (std::vector<int>{4}));
    EXPECT_FALSE(cmtest::fileExists(in0[0]));
    EXPECT_FALSE(cmtest::fileExists(more[0]));
}

TEST_F(ClipWriterTest, UnreadableFirstPictureIsDroppedAndTheRestWait) {
    select("1000");
    std::vector<std::string> in0 = storeAsFiles(0, {0, 1, 2});
    cmtest::writeFile(in0[0], "not a picture");
    std::string out = runClips(1);
    EXPECT_NE(out.find("Error setting video size\n"), std::string::npos);
    EXPECT_TRUE(queueFiles().empty());
    EXPECT_FALSE(cmtest::fileExists(in0[0]));
    EXPECT_EQ(listImages[0].names(), (std::vector<std::string>{in0[1], in0[2]}));
    EXPECT_TRUE(cmtest::fileExists(in0[1]));
    runClips(1);
    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{1, 2}));
}

TEST_F(ClipWriterTest, UnreadablePictureInsideAClipIsSkippedAndDeleted) {
    select("1000");
    std::vector<std::string> in0 = storeAsFiles(0, {0, 1, 2});
    cmtest::writeFile(in0[1], "");
    std::string out = runClips(1);
    EXPECT_EQ(readClip(clipOf(0)).frames, (std::vector<int>{0, 2}));
    for (const auto& f : in0) EXPECT_FALSE(cmtest::fileExists(f));
    EXPECT_NE(out.find("video created with 3 images! pics deleted!\n"), std::string::npos);
}

TEST_F(ClipWriterTest, PicturesOfAnotherSizeOrKindBecomeFramesOfTheClipSize) {
    bMemoryStore = 1;
    select("1000");
    storeInMemory(0, {0});
    storeInMemory(0, {1}, 32, 24);
    cv::Mat grey(48, 64, CV_8UC1, cv::Scalar(20 + 10 * 2));
    pic_frames[0].append(grey);
    runClips(1);
    Clip c = readClip(clipOf(0));
    EXPECT_EQ(c.frameCount, 3);
    EXPECT_EQ(c.size, cv::Size(64, 48));
    EXPECT_EQ(c.frames, (std::vector<int>{0, 1, 2}));
}

// A queue on a full disk: the encoder's writes fail without a word, so the
// clip is read back before it enters the queue.
TEST_F(ClipWriterTest, ClipThatCannotBeWrittenInFullNeverEntersTheQueue) {
    bMemoryStore = 1;
    select("1000");
    cv::RNG rng(7);
    for (int f = 0; f < 6; ++f) {
        cv::Mat noise(240, 320, CV_8UC3);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 255);
        pic_frames[0].append(noise);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;  // room for about two of the six frames
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    createUserVideos(1);  // standard output is not a file here: not captured
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(queueFiles().empty());
    EXPECT_EQ(pic_frames[0].size(), 6u);
    // Room again: the same pictures make the clip.
    createUserVideos(1);
    EXPECT_EQ(readClip(clipOf(0)).frameCount, 6);
    EXPECT_EQ(pic_frames[0].size(), 0u);
}

TEST_F(ClipWriterTest, ExitFlagStopsTheRunBeforeTheNextInput) {
    bMemoryStore = 1;
    select("1100");
    storeInMemory(0, {0});
    storeInMemory(1, {1});
    setting.raiseExitInMemory();
    runClips(1);
    EXPECT_TRUE(queueFiles().empty());
    EXPECT_EQ(pic_frames[0].size(), 1u);
    EXPECT_EQ(pic_frames[1].size(), 1u);
}

TEST_F(ClipWriterTest, ClipRateIsTheMeasuredRateNeverBelowOne) {
    bMemoryStore = 1;
    select("1000");
    storeInMemory(0, {0});
    fps.store(0.4);
    runClips(1);
    EXPECT_DOUBLE_EQ(fps.load(), 1.0);
    EXPECT_DOUBLE_EQ(readClip(clipOf(0)).rate, 1.0);
    cmtest::removeTree(base() + "/queue");
    cmtest::makeDirs(base() + "/queue");
    storeInMemory(0, {1});
    fps.store(2.0);
    runClips(1);
    EXPECT_DOUBLE_EQ(readClip(clipOf(0)).rate, 2.0);
}

// The capture threads go on appending while a clip is written: what came
// in after the clip took its pictures stays for the next one.
TEST_F(ClipWriterTest, PicturesAppendedDuringAClipStayInTheStore) {
    bMemoryStore = 1;
    select("1000");
    for (int f = 0; f < 40; ++f) storeInMemory(0, {f % 23});
    std::atomic<bool> done{false};
    std::atomic<int> appended{0};
    std::thread capture([&] {
        while (!done.load()) {
            storeInMemory(0, {22});
            appended.fetch_add(1);
            std::this_thread::yield();
        }
    });
    CaptureStdout();
    createUserVideos(1);
    GetCapturedStdout();
    done.store(true);
    capture.join();
    Clip c = readClip(clipOf(0));
    EXPECT_GE(c.frameCount, 40);
    EXPECT_EQ(static_cast<std::size_t>(c.frameCount) + pic_frames[0].size(), 40u + appended.load());
    for (int f : memoryFrames(0)) EXPECT_EQ(f, 22);
}

class DirectPathClipTest : public ClipWriterTest {
protected:
    void SetUp() override {
        ClipWriterTest::SetUp();
        g_bUSB = 1;
    }
};

TEST_F(DirectPathClipTest, FramesLeftMakeUpTheClipWithAtLeastThreeSeconds) {
    g_FrameRate = 30;
    frame_count = USER_VIDEO_FRAMES = 300;
    select("1111");
    memory_otuput[0].count.store(280);
    memory_otuput[1].count.store(100);
    memory_otuput[2].count.store(300);
    memory_otuput[3].count.store(350);
    std::string out = runClips(1);
    EXPECT_EQ(frames_left[0].load(), 90u);
    EXPECT_EQ(frames_left[1].load(), 200u);
    EXPECT_EQ(frames_left[2].load(), 90u);
    EXPECT_EQ(frames_left[3].load(), 90u);
    EXPECT_NE(out.find("user video usb creation started! cam#1, frames done: 100 of 300 done, frames left: 200, "
                       "post action seconds: 3, frames rate: 30\n"),
              std::string::npos)
        << out;
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 3.0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(g_bSaveFile[i].load(), 1);
    EXPECT_EQ(cmtest::countOf(out, "user video usb creation flaged! cam#"), 4);
    EXPECT_TRUE(queueFiles().empty());
    EXPECT_EQ(nCreatingVideosForInput.load(), -1);
}

TEST_F(DirectPathClipTest, RateSetsTheMinimumAndAnUnsetRateCountsAsThirty) {
    g_FrameRate = 5;
    frame_count = USER_VIDEO_FRAMES = 50;
    select("1000");
    memory_otuput[0].count.store(40);
    std::string out = runClips(2);
    EXPECT_EQ(frames_left[0].load(), 15u);
    EXPECT_NE(out.find("frames left: 15, post action seconds: 3, frames rate: 5\n"), std::string::npos) << out;

    g_FrameRate = 0;
    frame_count = USER_VIDEO_FRAMES = 300;
    g_bSaveFile[0].store(0);
    memory_otuput[0].count.store(250);
    out = runClips(2);
    EXPECT_EQ(frames_left[0].load(), 90u);
    EXPECT_NE(out.find("frames left: 90, post action seconds: 3, frames rate: 30\n"), std::string::npos) << out;
    memory_otuput[0].count.store(0);
    runClips(2);
    EXPECT_EQ(frames_left[0].load(), 300u);
}

// From its countdown until its request each device is marked as waiting
// for the request (its countdown cannot end its loop meanwhile); a run that
// stops early leaves no device waiting for a request that never comes.
TEST_F(DirectPathClipTest, DevicesWaitForTheRequestOnlyUntilTheRunEnds) {
    for (bool exitDuringPause : {false, true}) {
        SCOPED_TRACE(exitDuringPause ? "exit during the pause" : "input 1 deselected during the pause");
        select("1101");
        for (int i = 0; i < 4; ++i) g_bSaveFile[i].store(0);
        std::vector<int> duringPause;
        clock.onSleep([&](const timespec&) {
            for (int i = 0; i < 4; ++i) duringPause.push_back(clip_request_pending[i].load());
            bInputs[1].store(0);
            if (exitDuringPause) setting.raiseExitInMemory();
        });
        runClips(2);
        clock.onSleep(nullptr);
        EXPECT_EQ(duringPause, (std::vector<int>{2, 2, 0, 2}));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(clip_request_pending[i].load(), 0) << i;
        EXPECT_EQ(g_bSaveFile[0].load(), exitDuringPause ? 0 : 2);
        EXPECT_EQ(g_bSaveFile[1].load(), 0);
    }
}

TEST_F(DirectPathClipTest, PendingSaveKeepsItsKindAndUnselectedDevicesAreLeftAlone) {
    select("1010");
    g_bSaveFile[0].store(1);  // an alert save not yet done
    std::string out = runClips(2);
    EXPECT_EQ(g_bSaveFile[0].load(), 1);
    EXPECT_EQ(g_bSaveFile[2].load(), 2);
    EXPECT_EQ(g_bSaveFile[1].load(), 0);
    EXPECT_EQ(frames_left[1].load(), 0u);
    EXPECT_NE(out.find("user video usb creation flaged! cam#0\nuser video usb creation flaged! cam#2\n"),
              std::string::npos);
    EXPECT_EQ(n1By1RecordingsLeft.load(), 2);
}

}  // namespace
