#include "core/triplebuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>

namespace {

TEST(TripleBufferTest, ReaderGetsTheNewestPublicationOnceAndSlotsCirculate)
{
    Core::TripleBuffer<std::string> buffer;
    auto const publish = [&](std::string text) {
        buffer.writeBuffer() = std::move(text);
        buffer.publish();
    };
    EXPECT_FALSE(buffer.update()) << "nothing published yet";
    publish("A");
    EXPECT_TRUE(buffer.update());
    std::string const* const slotOfA = &buffer.readBuffer();
    publish("B");
    publish("C");
    EXPECT_TRUE(buffer.update());
    EXPECT_EQ(buffer.readBuffer(), "C");
    EXPECT_FALSE(buffer.update());
    EXPECT_EQ(buffer.readBuffer(), "C");
    EXPECT_NE(&buffer.writeBuffer(), &buffer.readBuffer());
    publish("D"); // the slot the reader gave back is the one the writer fills next
    EXPECT_EQ(&buffer.writeBuffer(), slotOfA);
    EXPECT_EQ(buffer.writeBuffer(), "A") << "old contents stay until the writer overwrites them";
}

// An atomic that runs a hook once before one of its operations: a test can put one side's whole
// operation between any two atomic steps of the other side.
struct InterleavingHook {
    static inline std::function<void()> beforeStep;
    static void run()
    {
        if (beforeStep)
            std::exchange(beforeStep, nullptr)();
    }
};

template <typename U>
class InterleavingAtomic {
public:
    InterleavingAtomic(U value) : mValue(value) {}
    U load()
    {
        InterleavingHook::run();
        return mValue.load();
    }
    U exchange(U value)
    {
        InterleavingHook::run();
        return mValue.exchange(value);
    }

private:
    std::atomic<U> mValue;
};

using ModelBuffer = Core::TripleBuffer<int, InterleavingAtomic>;

// Runs `operation`, performing `interleaved` once just before its atomic step number `step`.
// Returns false when the operation has fewer steps.
bool runWithInterleaving(int step, std::function<void()> const& operation, std::function<void()> const& interleaved)
{
    int stepsSeen = 0;
    bool ran = false;
    std::function<void()> countStep = [&] {
        if (stepsSeen++ != step) {
            InterleavingHook::beforeStep = countStep;
            return;
        }
        interleaved();
        ran = true;
    };
    InterleavingHook::beforeStep = countStep;
    operation();
    InterleavingHook::beforeStep = nullptr;
    return ran;
}

TEST(TripleBufferTest, UpdateAndPublishInterleavedAtAnyStepNeitherLoseNorTearAPublication)
{
    for (int step = 0;; ++step) {
        ModelBuffer buffer;
        buffer.writeBuffer() = 1;
        buffer.publish();
        auto const publishTwo = [&] {
            buffer.writeBuffer() = 2;
            buffer.publish();
        };
        if (!runWithInterleaving(step, [&] { buffer.update(); }, publishTwo))
            break;
        buffer.update();
        EXPECT_EQ(buffer.readBuffer(), 2) << "publication during update step " << step;
        EXPECT_FALSE(buffer.update()) << "no publication since, step " << step;
    }
    for (int step = 0;; ++step) {
        ModelBuffer buffer;
        buffer.writeBuffer() = 1;
        buffer.publish();
        buffer.writeBuffer() = 2;
        bool tookDuringPublish = false;
        if (!runWithInterleaving(step, [&] { buffer.publish(); }, [&] { tookDuringPublish = buffer.update(); }))
            break;
        buffer.writeBuffer() = 3; // the writer goes on in the slot it got back, never the reader's
        EXPECT_TRUE(!tookDuringPublish || buffer.readBuffer() == 1) << "update during publish step " << step;
        EXPECT_TRUE(buffer.update()) << "2 is still to be taken, step " << step;
        EXPECT_EQ(buffer.readBuffer(), 2) << "step " << step;
        EXPECT_FALSE(buffer.update()) << "step " << step;
    }
}

} // namespace
