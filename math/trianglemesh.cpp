#include "math/trianglemesh.h"

#include "core/taskflow.h"
#include "core/taskflowexecutor.h"

namespace Math::Detail {

namespace {
// Below this many items a loop is faster than scheduling tasks.
constexpr std::size_t kMinimumParallelCount = 1024;

// Runs the flow on the shared executor and waits for it.
void run(tf::Taskflow& taskflow)
{
    tf::Executor& executor = Core::TaskFlowExecutor::instance();
    // A worker of the executor that waited for the flow would block a thread the flow needs.
    if (executor.this_worker_id() >= 0)
        executor.corun(taskflow);
    else
        executor.run(taskflow).wait();
}
} // namespace

void forEachIndexInParallel(std::size_t count, std::function<void(std::size_t)> const& body)
{
    if (count < kMinimumParallelCount) {
        for (std::size_t i = 0; i < count; ++i)
            body(i);
        return;
    }
    tf::Taskflow taskflow;
    taskflow.for_each_index(std::size_t(0), count, std::size_t(1), [&body](std::size_t i) { body(i); },
                            tf::GuidedPartitioner());
    run(taskflow);
}

void runBothInParallel(std::function<void()> const& first, std::function<void()> const& second)
{
    tf::Taskflow taskflow;
    taskflow.emplace([&first] { first(); }, [&second] { second(); });
    run(taskflow);
}

} // namespace Math::Detail
