#include "common/thread_priority.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <semaphore>

#include "common/threads.h"

namespace {

// What a thread saw of itself, and the ordinary thread it started in turn.
struct Seen {
    std::atomic<int> nice{99};
    std::atomic<int> innerNice{99};
    std::atomic<pthread_t> innerTid{};
    std::binary_semaphore done{0};
    std::binary_semaphore innerDone{0};
};

void* recordInner(void* p) {
    auto* seen = static_cast<Seen*>(p);
    seen->innerNice = cm::ownNiceValue();
    seen->innerDone.release();
    return nullptr;
}

// A capture thread starts the log writer and the raw clip writer: they must
// not inherit its urgency.
void* recordAndStartOrdinary(void* p) {
    auto* seen = static_cast<Seen*>(p);
    seen->nice = cm::ownNiceValue();
    if (cm::startDetachedThread(seen->innerTid, "cm-test-inner", cm::Urgency::ordinary, recordInner, seen) != 0)
        seen->innerDone.release();
    seen->done.release();
    return nullptr;
}

// Without the privilege a thread may only lower its priority.
int expectedNice(cm::Urgency urgency, int creatorNice) {
    return ::geteuid() == 0 ? cm::niceValueOf(urgency) : std::max(cm::niceValueOf(urgency), creatorNice);
}

TEST(ThreadPriorityTest, EachThreadRunsAtItsOwnLevelWhoeverStartsIt) {
    const int ownNice = cm::ownNiceValue();
    Seen capture, streaming;
    std::atomic<pthread_t> captureTid{}, streamingTid{};
    ASSERT_EQ(cm::startDetachedThread(captureTid, "cm-test-capture", cm::Urgency::capture, recordAndStartOrdinary,
                                      &capture),
              0);
    ASSERT_EQ(cm::startDetachedThread(streamingTid, "cm-test-stream", cm::Urgency::streaming,
                                      recordAndStartOrdinary, &streaming),
              0);
    for (Seen* seen : {&capture, &streaming}) {
        seen->done.acquire();
        seen->innerDone.acquire();
    }
    const int captureNice = expectedNice(cm::Urgency::capture, ownNice);
    EXPECT_EQ(capture.nice.load(), captureNice);
    EXPECT_EQ(streaming.nice.load(), expectedNice(cm::Urgency::streaming, ownNice));
    EXPECT_EQ(capture.innerNice.load(), expectedNice(cm::Urgency::ordinary, captureNice));
    EXPECT_EQ(streaming.innerNice.load(), expectedNice(cm::Urgency::ordinary, streaming.nice.load()));
    EXPECT_EQ(cm::ownNiceValue(), ownNice);  // the starter keeps its own
}

}  // namespace
