// The screenshot request and the connection under it, against an in-process
// peer on a loopback address.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <thread>

#include "common/footprint.h"
#include "jpeg_samples.h"
#include "loopback_peer.h"
#include "upload/positionurl.h"
#include "streaming_fixture.h"

namespace cmtest {
namespace {

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = static_cast<unsigned char>(rng());
    return b;
}

int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

bool descriptorOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

const Bytes kWorkedHeader = {0x00, 0x00, 0x00, 0x00, 0x49, 0x8F, 0x3A, 0xC0, 0x00, 0x00, 0x23, 0xF0};

using RequestTest = StreamingTest;

TEST(StreamingWireFormatTest, HeaderIsMarkerAndLengthBigEndian) {
    unsigned char h[kStreamingHeaderSize];
    encodeStreamingHeader(9200, h);
    EXPECT_EQ(Bytes(h, h + 12), kWorkedHeader);
    encodeStreamingHeader(0x01020304, h);
    EXPECT_EQ(Bytes(h + 8, h + 12), (Bytes{1, 2, 3, 4}));
}

TEST(StreamingWireFormatTest, RequestTextsOfBothModes) {
    char text[kRequestTextSize];
    const int lengths[4] = {11, 0, 9000, 4};
    int n = formatStreamingRequestText(text, 9, "BBBK1234", 17, lengths);
    EXPECT_STREQ(text, "/stream4Jpegs?deviceid=BBBK1234&idx=17&l0=11&l1=0&l2=9000&l3=4&ver=0.5_PC_C_Tester");
    EXPECT_EQ(n, static_cast<int>(std::strlen(text)));
    for (int mode : {1, 5, 8, -3}) {
        formatStreamingRequestText(text, mode, "BBBK1234", 0, lengths);
        EXPECT_STREQ(text, "/set4Jpegs?deviceid=BBBK1234&idx=0&l0=11&l1=0&l2=9000&l3=4&ver=0.5_PC_C_Tester");
    }
    for (int k = n; k < kRequestTextSize; ++k) ASSERT_EQ(text[k], 0);
    // A serial as long as the field allows still leaves room for the terminator.
    std::string serial(59, 'S');
    n = formatStreamingRequestText(text, 1, serial.c_str(), 2147483647, lengths);
    EXPECT_LT(n, kRequestTextSize);
    EXPECT_EQ(text[kRequestTextSize - 1], 0);
}

// The worked example: only input 2 has a new picture of 9,000 bytes.
TEST_F(RequestTest, BodyWithOnlyInputTwo) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 1;
    const Bytes pic = randomBytes(9000, 2);
    putResized(2, pic);

    EXPECT_EQ(sendCurrentScreenshots(), 1);
    ASSERT_TRUE(peer.waitForMessages(1));
    const LoopbackPeer::Message m = peer.messages()[0];
    EXPECT_EQ(m.header, kWorkedHeader);
    EXPECT_EQ(m.length, 9200u);
    EXPECT_EQ(m.text(), "/set4Jpegs?deviceid=BBBK1234&idx=0&l0=0&l1=0&l2=9000&l3=0&ver=0.5_PC_C_Tester");
    ASSERT_EQ(m.body.size(), 9200u);
    for (std::size_t k = m.text().size(); k < 200; ++k) ASSERT_EQ(m.body[k], 0) << k;
    EXPECT_EQ(Bytes(m.body.begin() + 200, m.body.end()), pic);
    EXPECT_EQ(nSuccessReceived.load(), 1);
    EXPECT_EQ(cmd_idx.load(), 1);
    EXPECT_EQ(resizedLength(2), 0);  // consumed
    const std::string& out = output();
    EXPECT_NE(out.find("Cannot add image 0"), std::string::npos);
    EXPECT_NE(out.find("adding image 2 added"), std::string::npos);
    EXPECT_NE(out.find("CMD Sent successfully. 9200 bytes!"), std::string::npos);
}

TEST_F(RequestTest, StreamModeSendsWithoutReplyOrWatchdog) {
    LoopbackPeer peer(LoopbackPeer::Mode::Silent);
    useServer(peer.address());
    g_bStreamingVideo = 9;
    putResized(0, randomBytes(500, 1));
    putResized(3, randomBytes(700, 3));

    EXPECT_EQ(sendCurrentScreenshots(), 1);  // returns although the server never answers
    ASSERT_TRUE(peer.waitForMessages(1));
    const LoopbackPeer::Message m = peer.messages()[0];
    EXPECT_EQ(m.text(), "/stream4Jpegs?deviceid=BBBK1234&idx=0&l0=500&l1=0&l2=0&l3=700&ver=0.5_PC_C_Tester");
    EXPECT_EQ(m.length, 1400u);
    EXPECT_EQ(nSuccessReceived.load() + nNonSuccessReceived.load() + nEmptyReceived.load(), 0);
    EXPECT_EQ(disconnectWatchdogsRunning(), 0);
    EXPECT_EQ(tid_recv.load(), pthread_t{});
    EXPECT_EQ(isConnectd.load(), 1);
}

TEST_F(RequestTest, RepliesAreCountedBySuccessAnywhereInTheText) {
    g_bStreamingVideo = 3;
    {
        LoopbackPeer peer(LoopbackPeer::Mode::Reply, "ok: request was a success, thanks");
        useServer(peer.address());
        putResized(1, randomBytes(100, 1));
        EXPECT_EQ(sendCurrentScreenshots(), 1);
        disconnectStreamingServer();
    }
    {
        LoopbackPeer peer(LoopbackPeer::Mode::Reply, "refused");
        useServer(peer.address());
        putResized(1, randomBytes(100, 2));
        EXPECT_EQ(sendCurrentScreenshots(), 1);
        disconnectStreamingServer();
    }
    EXPECT_EQ(nSuccessReceived.load(), 1);
    EXPECT_EQ(nNonSuccessReceived.load(), 1);
    EXPECT_EQ(nEmptyReceived.load(), 0);
    EXPECT_EQ(nRecieved.load(), 7);  // "refused": counting starts again on each connection
    EXPECT_NE(output().find("Received: refused"), std::string::npos);
}

// A picture is reduced and sent once; the next request finds nothing new.
TEST_F(RequestTest, PictureIsConsumedOnce) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 1;
    Bytes jpeg = makeCameraJpeg(640, 480, inputTint(1), TJSAMP_422);
    ASSERT_EQ(store_latest_streaming_image(1, jpeg.data(), static_cast<int>(jpeg.size())), StreamingStore::Stored);

    ASSERT_EQ(sendCurrentScreenshots(), 1);
    ASSERT_TRUE(peer.waitForMessages(1));
    LoopbackPeer::Message m = peer.messages()[0];
    Decoded d = decodeJpeg(m.body.data() + 200, m.body.size() - 200);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 160);
    EXPECT_EQ(d.height, 120);
    EXPECT_EQ(inputOfTint(d.mean()), 1);
    EXPECT_NE(m.text().find("&l0=0&l1=" + std::to_string(m.length - 200) + "&l2=0&l3=0&"), std::string::npos);

    EXPECT_EQ(sendCurrentScreenshots(), 1);  // nothing new: nothing sent
    EXPECT_EQ(cmd_idx.load(), 1);
    ASSERT_EQ(store_latest_streaming_image(1, jpeg.data(), static_cast<int>(jpeg.size())), StreamingStore::Stored);
    EXPECT_EQ(sendCurrentScreenshots(), 1);
    ASSERT_TRUE(peer.waitForMessages(2));
    EXPECT_EQ(peer.messages().size(), 2u);
    EXPECT_NE(peer.messages()[1].text().find("&idx=1&"), std::string::npos);
    const std::string& out = output();
    EXPECT_NE(out.find("No resized images to send.."), std::string::npos);
    EXPECT_NE(out.find("image processed before"), std::string::npos);
    EXPECT_NE(out.find("- Resizing memory buffer in: "), std::string::npos);
}

TEST_F(RequestTest, UndecodablePictureIsReportedAndSkippedOnce) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 1;
    Bytes yuyv(640 * 480 * 2 / 4, 0x80);
    Bytes jpeg = makeCameraJpeg(320, 240, inputTint(3), TJSAMP_422);
    Bytes truncated(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
    store_latest_streaming_image(0, yuyv.data(), static_cast<int>(yuyv.size()));
    store_latest_streaming_image(2, truncated.data(), static_cast<int>(truncated.size()));
    store_latest_streaming_image(3, jpeg.data(), static_cast<int>(jpeg.size()));

    ASSERT_EQ(sendCurrentScreenshots(), 1);
    ASSERT_TRUE(peer.waitForMessages(1));
    LoopbackPeer::Message m = peer.messages()[0];
    EXPECT_NE(m.text().find("&l0=0&l1=0&l2=0&l3="), std::string::npos);
    EXPECT_EQ(decodeJpeg(m.body.data() + 200, m.body.size() - 200).width, 80);
    // Not tried again: the next request has nothing to send.
    EXPECT_EQ(sendCurrentScreenshots(), 1);
    const std::string& out = output();
    EXPECT_EQ(countOf(out, "cannot load: picture of input 0"), 1);
    EXPECT_EQ(countOf(out, "cannot load: picture of input 2"), 1);
    EXPECT_EQ(countOf(out, "No resized images to send.."), 1);
}

TEST_F(RequestTest, ReductionLargerThanItsBufferIsLeftOut) {
    Bytes jpeg = makeCameraJpeg(640, 480, inputTint(0), TJSAMP_422);
    unsigned char small[64];
    unsigned char* out = small;
    unsigned int outLen = 0;
    EXPECT_EQ(resizeImage(0, 25, jpeg.data(), static_cast<unsigned>(jpeg.size()), out, outLen, 0, sizeof small), 0);
    EXPECT_EQ(outLen, 0u);
    unsigned char* fresh = nullptr;
    ASSERT_EQ(resizeImage(0, 25, jpeg.data(), static_cast<unsigned>(jpeg.size()), fresh, outLen, 1, 0), 1);
    EXPECT_EQ(decodeJpeg(fresh, outLen).width, 160);
    std::free(fresh);
    EXPECT_EQ(resizeImage(0, 25, jpeg.data(), 0, out, outLen, 0, sizeof small), 0);
    const std::string& text = output();
    EXPECT_NE(text.find("resized image 0 too large"), std::string::npos);
    EXPECT_NE(text.find("Zero size buffer: 0"), std::string::npos);
}

// At most one notification a minute, by the monotonic clock; the first at once.
TEST_F(RequestTest, StartedStreamingNotificationAtMostOnceAMinute) {
    FakeClock clock;
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 9;  // no watchdog on the fake clock

    putResized(0, randomBytes(300, 1));
    ASSERT_EQ(sendCurrentScreenshots(), 1);
    ASSERT_EQ(urls().size(), 1u);
    EXPECT_EQ(urls()[0], "http://" + std::string(footprint::kDefaultStreamingServer) +
                             "/started_streaming_video.php?deviceid=BBBK1234&query=0&idx=0&ver=0.5_PC_C_Tester&cams=");

    clock.advance(std::chrono::seconds(30));
    clock.stepWall(-std::chrono::hours(2));  // NTP: the minute is not stretched
    putResized(0, randomBytes(300, 2));
    ASSERT_EQ(sendCurrentScreenshots(), 1);
    EXPECT_EQ(urls().size(), 1u);

    clock.advance(std::chrono::seconds(30));  // 60 s exactly: not yet over a minute
    putResized(0, randomBytes(300, 3));
    ASSERT_EQ(sendCurrentScreenshots(), 1);
    EXPECT_EQ(urls().size(), 1u);

    clock.advance(std::chrono::milliseconds(1));
    putResized(0, randomBytes(300, 4));
    ASSERT_EQ(sendCurrentScreenshots(), 1);
    ASSERT_EQ(urls().size(), 2u);
    EXPECT_NE(urls()[1].find("&idx=3&"), std::string::npos);
    EXPECT_EQ(countOf(output(), "Notification bypassed!"), 2);
    EXPECT_EQ(countOf(output(), "saving a notification call: http://"), 2);
}

// Without a sink of the test's own, the notification becomes one record of
// the notification queue file.
TEST_F(RequestTest, NotificationIsAppendedToTheNotificationQueue) {
    setNotificationSinkForTests(nullptr);
    addNotificationWSCallToQueue();
    cmd_idx = 7;
    addNotificationWSCallToQueue();
    const std::string file = readFile(notificationFilePath());
    ASSERT_EQ(file.size(), 2000u);
    const std::string url = "http://" + std::string(footprint::kDefaultStreamingServer) +
                            "/started_streaming_video.php?deviceid=BBBK1234&query=0&idx=7&ver=0.5_PC_C_Tester&cams=";
    EXPECT_EQ(file.substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(std::string(file.c_str() + 1004), url);
    EXPECT_EQ(file.find_first_not_of('\0', 1004 + url.size()), std::string::npos);
    EXPECT_NE(output().find("saving a notification call: " + url), std::string::npos);
}

// A set-mode server that never answers: the watchdog shuts the connection
// down about ten seconds (of the fake clock) after the request, the
// blocked receive returns, and the descriptor is still the streaming
// thread's to close.
TEST_F(RequestTest, WatchdogEndsASilentConnection) {
    FakeClock clock;
    LoopbackPeer peer(LoopbackPeer::Mode::Silent);
    useServer(peer.address());
    // Watchdog ticks wait until the request has reached the server.
    clock.onSleep([&](const timespec&) { peer.waitForMessages(1, 10); });
    g_bStreamingVideo = 2;
    putResized(1, randomBytes(2000, 1));
    const int before = openDescriptors();

    EXPECT_EQ(sendCurrentScreenshots(), 1);  // a failed receive still counts as sent
    EXPECT_GE(clock.sleptSeconds(), 10.0);
    EXPECT_LT(clock.sleptSeconds(), 11.0);
    EXPECT_EQ(nEmptyReceived.load(), 1);
    EXPECT_EQ(nNonSuccessReceived.load(), 1);
    EXPECT_TRUE(peer.waitForEnded(1));  // the shutdown reached the server

    const int fd = sockfd.load();
    ASSERT_GT(fd, 0);
    EXPECT_TRUE(descriptorOpen(fd));  // shut down, not closed
    EXPECT_EQ(nTempSockfd.load(), 0);
    disconnectStreamingServer();
    EXPECT_FALSE(descriptorOpen(fd));
    EXPECT_EQ(openDescriptors(), before);
    const std::string& out = output();
    EXPECT_EQ(countOf(out, "URL: recv wait time ellapsed. Closing socket!"), 1);
    EXPECT_EQ(countOf(out, "URL: closing socket!"), 1);
    EXPECT_NE(out.find("EURL: rror recieving from server. 0!"), std::string::npos);
}

TEST_F(RequestTest, DescriptorsAreClosedExactlyOnceOverManyConnections) {
    LoopbackPeer peer;
    useServer(peer.address());
    const int before = openDescriptors();
    for (int round = 0; round < 6; ++round) {
        g_bStreamingVideo = round % 2 ? 9 : 1;
        putResized(round % 4, randomBytes(400, round));
        ASSERT_EQ(sendCurrentScreenshots(), 1);
        disconnectStreamingServer();
        disconnectStreamingServer();  // a second disconnect closes nothing
    }
    for (int k = 0; k < 200 && disconnectWatchdogsRunning() > 0; ++k) usleep(5000);
    EXPECT_EQ(disconnectWatchdogsRunning(), 0);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(peer.waitForMessages(6));
}

// No SIGPIPE handler is installed here: with the default action a SIGPIPE
// would end the test process.
TEST_F(RequestTest, SendToAPeerThatClosedFailsAndDisconnects) {
    LoopbackPeer peer(LoopbackPeer::Mode::ResetOnAccept);
    useServer(peer.address());
    g_bStreamingVideo = 1;
    ASSERT_EQ(openSocketsConnection(), 1);
    ASSERT_TRUE(peer.waitForEnded(1));
    usleep(20000);
    int fd = sockfd.load();
    const char probe[] = "x";
    EXPECT_EQ(my_send(fd, probe, 1, 0), -1);

    putResized(0, randomBytes(1000, 1));
    EXPECT_EQ(sendCurrentScreenshots(), 0);
    EXPECT_EQ(cmd_idx.load(), 1);
    EXPECT_EQ(isConnectd.load(), 0);
    EXPECT_EQ(sockfd.load(), 0);
    EXPECT_NE(output().find("URL: Error sending to server.. wasnt able to send it all.. orig size 1200- sent: 0!"),
              std::string::npos);
}

TEST_F(RequestTest, SigpipeLeadsToADisconnectAndNotToTheEnd) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 9;
    installSigpipeHandler();
    ASSERT_EQ(openSocketsConnection(), 1);
    EXPECT_FALSE(handlePendingSigpipe());
    ASSERT_EQ(raise(SIGPIPE), 0);
    EXPECT_EQ(isConnectd.load(), 1);  // nothing done in signal context
    EXPECT_TRUE(handlePendingSigpipe());
    EXPECT_EQ(isConnectd.load(), 0);
    EXPECT_FALSE(handlePendingSigpipe());
    EXPECT_NE(output().find("SIGPIPE Received!"), std::string::npos);
}

TEST_F(RequestTest, ExitFlagBeforeASendSendsNothing) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 9;
    ASSERT_EQ(openSocketsConnection(), 1);
    setting.raiseExitInMemory();
    int fd = sockfd.load();
    const char bytes[] = "0123456789";
    EXPECT_EQ(my_send(fd, bytes, 10, 0), 0);
    putResized(0, randomBytes(100, 1));
    EXPECT_EQ(sendCurrentScreenshots(), 0);
    disconnectStreamingServer();
    EXPECT_TRUE(peer.waitForEnded(1));
    EXPECT_EQ(peer.messages().size(), 0u);
}

TEST_F(RequestTest, UnreachableServerIsTriedAfreshEveryRequest) {
    std::string address;
    {
        LoopbackPeer gone;  // an address with nothing listening once it is gone
        address = gone.address();
    }
    useServer(address);
    g_bStreamingVideo = 1;
    putResized(0, randomBytes(100, 1));
    EXPECT_EQ(sendCurrentScreenshots(), 0);
    EXPECT_EQ(sendCurrentScreenshots(), 0);
    EXPECT_EQ(isConnectd.load(), 0);
    EXPECT_EQ(countOf(output(), "ERROR: URL: Error with client connecting to server"), 2);
}

TEST_F(RequestTest, ConnectingInSetModeStartsTheWatchdogForThatSocketWithoutNagle) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 4;
    ASSERT_EQ(openSocketsConnection(), 1);
    int nodelay = 0;
    socklen_t size = sizeof nodelay;
    ASSERT_EQ(getsockopt(sockfd.load(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size), 0);
    EXPECT_NE(nodelay, 0);  // a request's parts go out at once, not after the peer's delayed ack
    EXPECT_EQ(nTempSockfd.load(), sockfd.load());
    EXPECT_NE(tid_recv.load(), pthread_t{});
    EXPECT_EQ(disconnectWatchdogsRunning(), 1);
    disconnectStreamingServer();
    EXPECT_EQ(nTempSockfd.load(), 0);
    const std::string& out = output();
    EXPECT_NE(out.find("Connected to: " + peer.address() + ":8080.. creating disconnection thread.."),
              std::string::npos);
    EXPECT_NE(out.find("recv Thread created successfully"), std::string::npos);
    EXPECT_NE(out.find("URL: closing socket, recieved 0 bytes!!"), std::string::npos);
}

TEST_F(RequestTest, DisconnectingWhileNotConnectedSaysNothingAboutASocket) {
    disconnectStreamingServer();
    EXPECT_EQ(output().find("closing socket"), std::string::npos);
}

// A process started with standard input closed gets socket number 0 from
// the system, which counts as no socket: it is moved.
TEST_F(RequestTest, SocketNumberedZeroIsMovedAndWorks) {
    LoopbackPeer peer;
    useServer(peer.address());
    g_bStreamingVideo = 9;
    ::close(0);
    ASSERT_EQ(openSocketsConnection(), 1);
    EXPECT_GT(sockfd.load(), 0);
    putResized(2, randomBytes(100, 1));
    EXPECT_EQ(sendCurrentScreenshots(), 1);
    EXPECT_TRUE(peer.waitForMessages(1));
}

}  // namespace
}  // namespace cmtest
