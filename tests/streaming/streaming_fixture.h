// Common set-up of the streaming tests: an emulated board root, a known
// device serial, allocated streaming buffers and captured standard output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/run_config.h"
#include "control/settings.h"
#include "log/log_writer.h"
#include "streaming/connection.h"
#include "streaming/frame_buffers.h"
#include "streaming/notification.h"
#include "streaming/screenshot_request.h"
#include "support/test_support.h"

namespace cmtest {

class StreamingTest : public testing::Test {
protected:
    void SetUp() override {
        root_ = std::make_unique<BoardRoot>();
        std::snprintf(device_serial, sizeof device_serial, "%s", "BBBK1234");
        init_streaming_buffer();
        {
            std::lock_guard<std::mutex> g(urlLock());
            urlStore().clear();
        }
        setNotificationSinkForTests([](const char* url) {
            std::lock_guard<std::mutex> g(urlLock());
            urlStore().push_back(url);
        });
        testing::internal::CaptureStdout();
        capturing_ = true;
    }
    void TearDown() override {
        disconnectStreamingServer();
        uninit_streaming_output_buffer();
        setNotificationSinkForTests(nullptr);
        // gtest reports failures on standard output, which is captured:
        // hand everything over when something failed.
        if (HasFailure()) std::fputs(output().c_str(), stderr);
        output();
        for (int k = 0; k < 200 && disconnectWatchdogsRunning() > 0; ++k) usleep(5000);
    }

    void useServer(const std::string& address) {
        std::snprintf(SOCKET_ADDR, sizeof SOCKET_ADDR, "%s", address.c_str());
    }

    // Ends the capture (once) and returns everything printed (the streaming
    // threads' lines once the log writer has written them).
    const std::string& output() {
        if (capturing_) {
            cm::drainLogWriter(10000);
            out_ = testing::internal::GetCapturedStdout();
            capturing_ = false;
        }
        return out_;
    }

    // Puts `bytes` into resized entry i, as a reduction would.
    static void putResized(int i, const std::vector<unsigned char>& bytes) {
        with_resized_streaming_image(i, [&](StreamingImage& e) {
            std::memcpy(e.data, bytes.data(), bytes.size());
            e.length = static_cast<int>(bytes.size());
        });
    }
    static int resizedLength(int i) {
        int n = -1;
        with_resized_streaming_image(i, [&](StreamingImage& e) { n = e.length; });
        return n;
    }

    // URLs handed to the notification queue so far.
    static std::vector<std::string> urls() {
        std::lock_guard<std::mutex> g(urlLock());
        return urlStore();
    }

private:
    static std::mutex& urlLock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& urlStore() {
        static std::vector<std::string> u;
        return u;
    }
    std::unique_ptr<BoardRoot> root_;
    bool capturing_ = false;
    std::string out_;
};

}  // namespace cmtest
