// The streaming and monitoring threads of the daemon, started as main
// starts them, fed pictures through the writer's rule, talking over
// loopback to the reference streaming server (emulation/streaming_server.py)
// in both modes and with its faults.
//
// The fake clock runs twenty times faster than real time here, so that a
// two-minute streaming hold takes six seconds and the ten-second watchdog
// half a second; every thread sees the same accelerated time.
#include <signal.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "common/footprint.h"
#include "jpeg_samples.h"
#include "streaming/streaming_control.h"
#include "streaming_fixture.h"

namespace cmtest {
namespace {

// Process time that runs `speedUp` times faster than real time.
class ScaledClock final : public cm::Clock {
public:
    explicit ScaledClock(int speedUp = 20) : speedUp_(speedUp), realStart_(std::chrono::steady_clock::now()) {
        cm::setClockForTests(this);
    }
    ~ScaledClock() override { cm::setClockForTests(nullptr); }
    timespec wallNow() override {
        auto real = std::chrono::steady_clock::now() - realStart_;
        long long us = 1700000000LL * 1000000 + std::chrono::duration_cast<std::chrono::microseconds>(real).count() * speedUp_;
        return timespec{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    }
    void sleepFor(std::chrono::microseconds d) override { std::this_thread::sleep_for(d / speedUp_); }
    double seconds() {  // process seconds since the start
        timespec t = wallNow();
        return static_cast<double>(t.tv_sec - 1700000000) + t.tv_nsec / 1e9;
    }

private:
    const int speedUp_;
    std::chrono::steady_clock::time_point realStart_;
};

// The reference server in a child process on a free loopback address.
class ReferenceServer {
public:
    explicit ReferenceServer(const std::string& fault) {
        char tmpl[] = "/tmp/cm-refserver-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
        makeDirs(dir_ + "/pictures");
        for (int attempt = 0; attempt < 20 && pid_ <= 0; ++attempt) start(fault);
        if (pid_ <= 0) throw std::runtime_error("reference streaming server did not start");
    }
    ~ReferenceServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        removeTree(dir_);
    }
    const std::string& address() const { return address_; }
    std::string log() const { return fileExists(dir_ + "/server.log") ? readFile(dir_ + "/server.log") : ""; }
    int count(const std::string& needle) const { return countOf(log(), needle); }
    // Messages accepted in `mode` ("set" or "stream"); only message lines have a mode.
    int messages(const std::string& mode) const { return count("\"mode\": \"" + mode + "\""); }
    Decoded picture(int input) const {
        std::string path = dir_ + "/pictures/input" + std::to_string(input) + ".jpg";
        if (!fileExists(path)) return {};
        std::string b = readFile(path);
        return decodeJpeg(reinterpret_cast<const unsigned char*>(b.data()), b.size());
    }
    void removePictures() const {
        for (int i = 0; i < 4; ++i) unlink((dir_ + "/pictures/input" + std::to_string(i) + ".jpg").c_str());
    }

private:
    void start(const std::string& fault) {
        std::random_device rd;
        address_ = "127." + std::to_string(1 + rd() % 254) + "." + std::to_string(rd() % 255) + "." +
                   std::to_string(1 + rd() % 254);
        int out[2];
        if (pipe(out) != 0) return;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::string script = std::string(CM_SOURCE_DIR) + "/emulation/streaming_server.py";
            std::string log = dir_ + "/server.log", pics = dir_ + "/pictures";
            execl("/usr/bin/python3", "python3", script.c_str(), "--address", address_.c_str(), "--fault",
                  fault.c_str(), "--http-port", "0", "--log", log.c_str(), "--save-dir", pics.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        if (line.rfind("listening on", 0) == 0) {
            pid_ = pid;
        } else {
            waitpid(pid, nullptr, 0);
        }
    }

    std::string dir_, address_;
    pid_t pid_ = -1;
};

// Feeds camera pictures of the four inputs through the writer's rule at
// about 30 pictures a second (process time) while the streaming mode is on.
class Feeder {
public:
    Feeder() {
        for (int i = 0; i < 4; ++i) pictures_[i] = makeCameraJpeg(1280, 720, inputTint(i), TJSAMP_422, 80, i + 1);
        thread_ = std::thread([this] {
            while (!stop_) {
                if (g_bStreamingVideo.load() != 0)
                    for (int i = 0; i < 4; ++i)
                        store_latest_streaming_image(i, pictures_[i].data(), static_cast<int>(pictures_[i].size()));
                cm::sleepMillis(33);
            }
        });
    }
    ~Feeder() {
        stop_ = true;
        thread_.join();
    }

private:
    Bytes pictures_[4];
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ComponentTest : public StreamingTest {
protected:
    static constexpr long long kStartStamp = 7770;  // streaming off

    void SetUp() override {
        StreamingTest::SetUp();
        uninit_streaming_output_buffer();  // the streaming thread allocates them
        writeStamp(kStartStamp);
    }
    void TearDown() override {
        stopThreads();  // while the clock they sleep on still exists
        feeder_.reset();
        clock_.reset();
        StreamingTest::TearDown();
    }
    // The fake clock, `speedUp` times faster than real time, and the
    // picture feeder; both live until the threads have ended.
    ScaledClock& useClock(int speedUp = 20) {
        clock_ = std::make_unique<ScaledClock>(speedUp);
        return *clock_;
    }
    void feedPictures() { feeder_ = std::make_unique<Feeder>(); }
    void writeStamp(long long stamp) {
        std::string record(40, '\0');
        for (int k = 0; k < 8; ++k)
            record[24 + k] = static_cast<char>((static_cast<unsigned long long>(stamp) >> (8 * k)) & 0xff);
        std::string path = footprint::resolve(footprint::kControlFile);
        writeFile(path + ".new", record);
        rename((path + ".new").c_str(), path.c_str());
    }
    // Starts the threads as main does and waits until the monitor has taken
    // the stamp found at start (a stamp written before that would be taken
    // as already present, and ignored).
    void startThreads() {
        ASSERT_EQ(initStreamingThread(), 0);
        ASSERT_TRUE(cmtest::eventually([] { return lPreviousStreamingVideoCommandTimestamp.load() == kStartStamp; }, 10));
    }
    void stopThreads() {
        setting.raiseExitInMemory();
        // A thread that outlived its test would meddle with the next one.
        EXPECT_TRUE(cmtest::eventually(
            [] { return streamingThreadEnded() && streamingMonitorEnded() && disconnectWatchdogsRunning() == 0; }, 20));
    }
    static void expectQuarterPicturesOfTheRightCameras(const ReferenceServer& server) {
        for (int i = 0; i < 4; ++i) {
            Decoded d = server.picture(i);
            ASSERT_TRUE(d.ok) << "input " << i;
            EXPECT_EQ(d.width, 320);
            EXPECT_EQ(d.height, 180);
            EXPECT_EQ(inputOfTint(d.mean()), i);
        }
    }

private:
    std::unique_ptr<ScaledClock> clock_;
    std::unique_ptr<Feeder> feeder_;
};

// A stamp ending in 1 gives set-mode requests with replies; a stamp ending
// in 9 written during that hold switches to stream-mode requests after it;
// one ending in 0 stops streaming after the next hold.
TEST_F(ComponentTest, SetModeThenStreamModeThenOff) {
    ReferenceServer server("none");
    useServer(server.address());
    ScaledClock& clock = useClock();
    feedPictures();
    startThreads();

    writeStamp(1001);
    ASSERT_TRUE(cmtest::eventually([] { return g_bStreamingVideo.load() == 1; }, 5));
    const double setStart = clock.seconds();
    ASSERT_TRUE(cmtest::eventually([&] { return server.messages("set") >= 20; }, 10)) << server.log();
    writeStamp(1009);
    expectQuarterPicturesOfTheRightCameras(server);

    ASSERT_TRUE(cmtest::eventually([] { return g_bStreamingVideo.load() == 9; }, 15));
    const double setEnd = clock.seconds();
    const int setMessages = server.messages("set");
    const int setReplies = nSuccessReceived.load();
    server.removePictures();
    ASSERT_TRUE(cmtest::eventually([&] { return server.messages("stream") >= 20; }, 10)) << server.log();
    writeStamp(1010);
    expectQuarterPicturesOfTheRightCameras(server);

    ASSERT_TRUE(cmtest::eventually([] { return g_bStreamingVideo.load() == 0; }, 15));
    ASSERT_TRUE(cmtest::eventually([] { return isConnectd.load() == 0; }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // what was on its way is logged
    const int total = server.count("\"event\": \"message\"");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.count("\"event\": \"message\""), total);  // off: nothing more is sent

    // The set hold lasted about 121 s of process time, with one request
    // each pass of at least 100 ms: at most ten a second. (How close to ten
    // depends on this machine's speed under the accelerated clock; the
    // exact pace is proven on the fake clock.)
    // Real sleeps overshoot a little, twenty times magnified here, and
    // more on a busy machine; a hold that missed its end would run on for
    // another whole hold.
    EXPECT_GE(setEnd - setStart, 120);
    EXPECT_LE(setEnd - setStart, 150);
    EXPECT_LE(setMessages, static_cast<int>((setEnd - setStart) * 10) + 2);
    EXPECT_GE(setMessages, 20);
    EXPECT_GE(setReplies, setMessages - 1);
    EXPECT_EQ(server.count("\"event\": \"error\""), 0) << server.log();
    // Notifications: the first request, then one a minute or after 40 s
    // steps of the holds while connected.
    EXPECT_GE(urls().size(), 3u);
}

TEST_F(ComponentTest, SilentServerIsDisconnectedByTheWatchdogAndReconnected) {
    ReferenceServer server("silent");
    useServer(server.address());
    useClock();
    feedPictures();
    startThreads();
    writeStamp(2002);
    ASSERT_TRUE(cmtest::eventually([&] { return server.count("\"event\": \"connect\"") >= 3; }, 15)) << server.log();
    EXPECT_GE(nEmptyReceived.load(), 2);
    EXPECT_EQ(nSuccessReceived.load(), 0);
    EXPECT_GE(server.messages("set"), 2);
    stopThreads();
    EXPECT_GE(countOf(output(), "URL: recv wait time ellapsed. Closing socket!"), 2);
}

TEST_F(ComponentTest, RepliesWithoutSuccessAreCountedAsSuch) {
    ReferenceServer server("nosuccess");
    useServer(server.address());
    useClock();
    feedPictures();
    startThreads();
    writeStamp(3003);
    ASSERT_TRUE(cmtest::eventually([] { return nNonSuccessReceived.load() >= 5; }, 10));
    EXPECT_EQ(nSuccessReceived.load(), 0);
    EXPECT_EQ(nEmptyReceived.load(), 0);
}

TEST_F(ComponentTest, ServerClosingInsideAMessageLeadsToReconnectsInBothModes) {
    ReferenceServer server("close-mid");
    useServer(server.address());
    useClock();
    feedPictures();
    startThreads();
    writeStamp(4004);
    ASSERT_TRUE(cmtest::eventually([&] { return server.count("closed-mid-message") >= 3; }, 10)) << server.log();
    writeStamp(4009);
    ASSERT_TRUE(cmtest::eventually([] { return g_bStreamingVideo.load() == 9; }, 15));
    const int before = server.count("closed-mid-message");
    ASSERT_TRUE(cmtest::eventually([&] { return server.count("closed-mid-message") >= before + 3; }, 10)) << server.log();
    stopThreads();
    StreamingPassCounts c = streamingPassCounts();
    EXPECT_GE(c.failed + nEmptyReceived.load(), 3);
    EXPECT_EQ(server.messages("set") + server.messages("stream"), 0);
}

// In real time: the slow reader takes a few seconds per message, well
// inside the ten-second watchdog.
TEST_F(ComponentTest, SlowReaderStillGetsWholeMessages) {
    ReferenceServer server("slow");
    useServer(server.address());
    useClock(1);
    feedPictures();
    startThreads();
    writeStamp(5005);
    ASSERT_TRUE(cmtest::eventually([&] { return server.messages("set") >= 3; }, 20)) << server.log();
    EXPECT_EQ(server.count("\"event\": \"error\""), 0);
    EXPECT_GE(nSuccessReceived.load(), 2);
    expectQuarterPicturesOfTheRightCameras(server);
}

}  // namespace
}  // namespace cmtest
