#include "common/thread_priority.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <semaphore>

#include "common/threads.h"

namespace {

// A thread records the nice value it runs at, then starts `inner` at the
// ordinary level, as a capture thread starts the log writer and the raw clip
// writer: they must not inherit its urgency.
struct Seen {
    Seen* inner = nullptr;
    std::atomic<int> nice{99};
    std::atomic<pthread_t> tid{};
    std::binary_semaphore done{0};
};

void* record(void* p) {
    auto* seen = static_cast<Seen*>(p);
    seen->nice = cm::ownNiceValue();
    if (seen->inner && cm::startDetachedThread(seen->inner->tid, "cm-in", cm::Urgency::ordinary, record, seen->inner))
        seen->inner->done.release();
    seen->done.release();
    return nullptr;
}

// Without the privilege a thread may only lower its priority.
int expectedNice(cm::Urgency urgency, int creatorNice) {
    return ::geteuid() == 0 ? cm::niceValueOf(urgency) : std::max(cm::niceValueOf(urgency), creatorNice);
}

TEST(ThreadPriorityTest, EachThreadRunsAtItsOwnLevelWhoeverStartsIt) {
    const int ownNice = cm::ownNiceValue();
    Seen inners[2], capture{.inner = &inners[0]}, streaming{.inner = &inners[1]};
    ASSERT_EQ(cm::startDetachedThread(capture.tid, "cm-test-0", cm::Urgency::capture, record, &capture), 0);
    ASSERT_EQ(cm::startDetachedThread(streaming.tid, "cm-test-1", cm::Urgency::streaming, record, &streaming), 0);
    for (Seen* seen : {&capture, &streaming, &inners[0], &inners[1]}) seen->done.acquire();
    EXPECT_EQ(capture.nice.load(), expectedNice(cm::Urgency::capture, ownNice));
    EXPECT_EQ(streaming.nice.load(), expectedNice(cm::Urgency::streaming, ownNice));
    EXPECT_EQ(inners[0].nice.load(), expectedNice(cm::Urgency::ordinary, capture.nice));
    EXPECT_EQ(inners[1].nice.load(), expectedNice(cm::Urgency::ordinary, streaming.nice));
    EXPECT_EQ(cm::ownNiceValue(), ownNice);  // the starter keeps its own
}

}  // namespace
