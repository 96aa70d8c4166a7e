// The monitoring thread and the streaming thread, on a fake clock:
// two-minute holds and minutes of passes run in milliseconds.
#include "streaming/streaming_control.h"

#include <turbojpeg.h>

#include <thread>

#include "common/footprint.h"
#include "jpeg_samples.h"
#include "loopback_peer.h"
#include "streaming_fixture.h"

namespace cmtest {
namespace {

class ControlTest : public StreamingTest {
protected:
    void writeStamp(long long stamp) {
        std::string record(40, '\0');
        for (int k = 0; k < 8; ++k) record[24 + k] = static_cast<char>((static_cast<unsigned long long>(stamp) >> (8 * k)) & 0xff);
        writeFile(footprint::resolve(footprint::kControlFile), record);
    }
};

struct Sample {
    double t;
    int mode;
};

// A stamp present at start is ignored; a new one switches streaming on for
// the hold of 120 steps plus one second, with notifications 40, 80 and 120
// seconds in while connected; a stamp ending in 0 written during the hold
// switches it off at the next cycle.
TEST_F(ControlTest, MonitorHoldsARequestForTwoMinutesThenFollowsTheNextStamp) {
    writeStamp(1001);
    FakeClock clock;
    isConnectd = 1;
    std::mutex lock;
    std::vector<Sample> samples;
    clock.onSleep([&](const timespec&) {
        const double t = clock.sleptSeconds();
        {
            std::lock_guard<std::mutex> g(lock);
            samples.push_back({t, g_bStreamingVideo.load()});
        }
        if (t == 3) writeStamp(1011);
        if (t == 30) writeStamp(1020);
        if (t >= 200) setting.raiseExitInMemory();
    });
    std::thread monitor([] { doStreamingVideoMonitoringThread(nullptr); });
    monitor.join();
    isConnectd = 0;

    auto modeAt = [&](double t) {
        for (const Sample& s : samples)
            if (s.t == t) return s.mode;
        return -100;
    };
    EXPECT_EQ(modeAt(1), 0);  // the stamp found at start does nothing
    EXPECT_EQ(modeAt(3), 0);
    EXPECT_EQ(modeAt(4), 1);
    EXPECT_EQ(modeAt(60), 1);  // the stamp ending in 0 waits for the end of the hold
    EXPECT_EQ(modeAt(124), 1);
    EXPECT_EQ(modeAt(125), 0);
    EXPECT_EQ(modeAt(199), 0);
    EXPECT_EQ(lPreviousStreamingVideoCommandTimestamp.load(), 1011);
    ASSERT_EQ(urls().size(), 3u);
    const std::string& out = output();
    EXPECT_EQ(countOf(out, "capture module received streaming request. Streaming: 1"), 1);
    EXPECT_EQ(countOf(out, "Streaming stopped"), 1);
    EXPECT_EQ(countOf(out, "video streaming monitoring thread start!"), 1);
}

TEST_F(ControlTest, MonitorTakesTheModeFromTheLastDigitWithItsSign) {
    writeStamp(0);
    FakeClock clock;
    std::vector<int> modes;
    clock.onSleep([&](const timespec&) {
        const double t = clock.sleptSeconds();
        if (t == 2) writeStamp(1239);   // stream mode
        if (t == 130) writeStamp(-13);  // set mode -3
        if (t == 135) modes.push_back(g_bStreamingVideo.load());
        if (t == 10) modes.push_back(g_bStreamingVideo.load());
        if (t >= 136) setting.raiseExitInMemory();
    });
    std::thread monitor([] { doStreamingVideoMonitoringThread(nullptr); });
    monitor.join();
    EXPECT_EQ(modes, (std::vector<int>{9, -3}));
    EXPECT_TRUE(urls().empty());  // never connected: no notifications from the hold
}

TEST_F(ControlTest, MonitorSwitchesNothingWithoutBuffers) {
    uninit_streaming_output_buffer();
    writeStamp(5);
    FakeClock clock;
    int seen = 0;
    clock.onSleep([&](const timespec&) {
        if (clock.sleptSeconds() == 1) writeStamp(17);
        seen |= g_bStreamingVideo.load();
        if (clock.sleptSeconds() >= 20) setting.raiseExitInMemory();
    });
    std::thread monitor([] { doStreamingVideoMonitoringThread(nullptr); });
    monitor.join();
    EXPECT_EQ(seen, 0);
}

TEST_F(ControlTest, ExitDuringAHoldEndsTheMonitor) {
    writeStamp(0);
    FakeClock clock;
    clock.onSleep([&](const timespec&) {
        if (clock.sleptSeconds() == 1) writeStamp(21);
        if (clock.sleptSeconds() == 50) setting.raiseExitInMemory();
    });
    std::thread monitor([] { doStreamingVideoMonitoringThread(nullptr); });
    monitor.join();
    EXPECT_EQ(clock.sleptSeconds(), 50);
}

// The streaming thread on its own (the monitor is marked as running, so
// the streaming mode is the test's to set).
class StreamingThreadTest : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        uninit_streaming_output_buffer();  // the thread allocates them itself
        tid_streamVideoThread = pthread_self();
    }
    void runStreamingThread() {
        std::thread t([] { doStreamingThread(nullptr); });
        t.join();
    }
};

TEST_F(StreamingThreadTest, OffMeansIdleSecondsAndStatisticsEveryHundredPasses) {
    FakeClock clock;
    clock.onSleep([&](const timespec&) {
        if (clock.sleptSeconds() >= 250) setting.raiseExitInMemory();
    });
    runStreamingThread();
    StreamingPassCounts c = streamingPassCounts();
    EXPECT_EQ(c.idle, 250);
    EXPECT_EQ(c.sent + c.failed, 0);
    EXPECT_FALSE(streaming_buffers_exist());  // released at the end
    EXPECT_TRUE(streamingThreadEnded());
    const std::string& out = output();
    EXPECT_EQ(countOf(out, "sent trails success frames = "), 3);  // passes 100, 200 and the end
    EXPECT_NE(out.find("sent trails success frames = 0, failed frames = 0, idle=200, cmd_idx=0, nAge=200 s"),
              std::string::npos);
    EXPECT_EQ(countOf(out, "Success Received=0, nTotalAge=0 s, nEmptyReceived=0, nNonSuccessReceived=0"), 3);
    EXPECT_EQ(out.find("Connecting to sotcket.."), std::string::npos);
}

TEST_F(StreamingThreadTest, OnWithoutPicturesOnlyCountsIdlePasses) {
    FakeClock clock;
    g_bStreamingVideo = 1;
    clock.onSleep([&](const timespec&) {
        if (clock.sleptSeconds() >= 5) setting.raiseExitInMemory();
    });
    runStreamingThread();
    StreamingPassCounts c = streamingPassCounts();
    EXPECT_EQ(c.idle, 50);  // 100 ms passes
    EXPECT_EQ(c.sent + c.failed, 0);
    EXPECT_EQ(output().find("Connecting to sotcket.."), std::string::npos);
}

// With a new picture before every pass, a request goes out every 100 ms.
TEST_F(StreamingThreadTest, SendsAboutTenRequestsASecondWhilePicturesArrive) {
    LoopbackPeer peer;
    useServer(peer.address());
    FakeClock clock;
    g_bStreamingVideo = 9;
    const Bytes jpeg = makeCameraJpeg(320, 240, inputTint(2), TJSAMP_422);
    clock.onSleep([&](const timespec&) {
        store_latest_streaming_image(2, jpeg.data(), static_cast<int>(jpeg.size()));
        if (clock.sleptSeconds() >= 3) setting.raiseExitInMemory();
    });
    runStreamingThread();  // the first pass finds no picture yet
    StreamingPassCounts c = streamingPassCounts();
    EXPECT_EQ(c.sent, 29);
    EXPECT_EQ(c.idle, 1);
    EXPECT_EQ(c.failed, 0);
    ASSERT_TRUE(peer.waitForMessages(static_cast<std::size_t>(c.sent)));
    for (const LoopbackPeer::Message& m : peer.messages()) {
        EXPECT_EQ(m.text().rfind("/stream4Jpegs?deviceid=BBBK1234&idx=", 0), 0u);
        Decoded d = decodeJpeg(m.body.data() + 200, m.body.size() - 200);
        EXPECT_EQ(d.width, 80);
        EXPECT_EQ(inputOfTint(d.mean()), 2);
    }
    EXPECT_EQ(urls().size(), 1u);  // the first request; the next minute is not reached
}

TEST_F(StreamingThreadTest, FailedRequestsDisconnectAndAreCounted) {
    std::string address;
    {
        LoopbackPeer gone;
        address = gone.address();
    }
    useServer(address);
    FakeClock clock;
    g_bStreamingVideo = 9;
    const Bytes jpeg = makeCameraJpeg(64, 48, inputTint(0), TJSAMP_422);
    clock.onSleep([&](const timespec&) {
        store_latest_streaming_image(0, jpeg.data(), static_cast<int>(jpeg.size()));
        if (clock.sleptSeconds() >= 1) setting.raiseExitInMemory();
    });
    runStreamingThread();
    StreamingPassCounts c = streamingPassCounts();
    EXPECT_EQ(c.sent, 0);
    EXPECT_EQ(c.failed, 9);
    EXPECT_EQ(countOf(output(), "Disconnecting because cant send"), c.failed);
}

}  // namespace
}  // namespace cmtest
