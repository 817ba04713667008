#include "core/triplebuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>

namespace {

using TextBuffer = Core::TripleBuffer<std::string>;

void publish(TextBuffer& buffer, std::string text)
{
    buffer.writeBuffer() = std::move(text);
    buffer.publish();
}

TEST(TripleBufferTest, ReaderGetsTheNewestPublicationOnce)
{
    TextBuffer buffer;
    EXPECT_FALSE(buffer.update()) << "nothing published yet";
    EXPECT_TRUE(buffer.readBuffer().empty());
    publish(buffer, "A");
    publish(buffer, "B");
    EXPECT_TRUE(buffer.update());
    EXPECT_EQ(buffer.readBuffer(), "B");
    EXPECT_FALSE(buffer.update());
    EXPECT_EQ(buffer.readBuffer(), "B");
}

TEST(TripleBufferTest, SlotsCirculateBetweenWriterAndReader)
{
    TextBuffer buffer;
    publish(buffer, "A");
    EXPECT_TRUE(buffer.update());
    std::string const* const slotOfA = &buffer.readBuffer();
    publish(buffer, "B");
    publish(buffer, "C");
    EXPECT_TRUE(buffer.update());
    EXPECT_EQ(buffer.readBuffer(), "C");
    EXPECT_NE(&buffer.writeBuffer(), &buffer.readBuffer());
    publish(buffer, "D"); // the slot the reader gave back is the one the writer fills next
    EXPECT_EQ(&buffer.writeBuffer(), slotOfA);
    EXPECT_EQ(buffer.writeBuffer(), "A") << "old contents stay until the writer overwrites them";
}

// An atomic that runs a hook before each of its operations: a test can put one side's whole operation
// between any two atomic steps of the other side.
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
    InterleavingAtomic(U value)
        : mValue(value)
    {
    }
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
    std::function<void()> countStep;
    countStep = [&] {
        if (stepsSeen++ == step) {
            interleaved();
            ran = true;
        } else {
            InterleavingHook::beforeStep = countStep;
        }
    };
    InterleavingHook::beforeStep = countStep;
    operation();
    InterleavingHook::beforeStep = nullptr;
    return ran;
}

constexpr int kX = 1;
constexpr int kY = 2;
constexpr int kZ = 3;

TEST(TripleBufferTest, PublishDuringAnyStepOfUpdateIsNeverLost)
{
    for (int step = 0;; ++step) {
        ModelBuffer buffer;
        buffer.writeBuffer() = kX;
        buffer.publish();
        auto const publishY = [&] {
            buffer.writeBuffer() = kY;
            buffer.publish();
        };
        if (!runWithInterleaving(step, [&] { buffer.update(); }, publishY))
            break;
        buffer.update();
        EXPECT_EQ(buffer.readBuffer(), kY) << "publication of Y before update step " << step;
        EXPECT_FALSE(buffer.update()) << "no publication since, step " << step;
        EXPECT_EQ(buffer.readBuffer(), kY) << "step " << step;
    }
}

TEST(TripleBufferTest, UpdateDuringAnyStepOfPublishTakesOnlyCompletePublications)
{
    for (int step = 0;; ++step) {
        ModelBuffer buffer;
        buffer.writeBuffer() = kX;
        buffer.publish();
        buffer.writeBuffer() = kY;
        bool tookDuringPublish = false;
        auto const update = [&] { tookDuringPublish = buffer.update(); };
        if (!runWithInterleaving(step, [&] { buffer.publish(); }, update))
            break;
        buffer.writeBuffer() = kZ; // the writer goes on in the slot it got back, never the reader's
        if (tookDuringPublish) {
            EXPECT_EQ(buffer.readBuffer(), kX) << "update before publish step " << step;
        }
        EXPECT_TRUE(buffer.update()) << "Y is still to be taken, step " << step;
        EXPECT_EQ(buffer.readBuffer(), kY) << "step " << step;
        EXPECT_FALSE(buffer.update()) << "step " << step;
        EXPECT_EQ(buffer.readBuffer(), kY) << "step " << step;
    }
}

} // namespace
