#pragma once

namespace tf {
class Executor;
}

namespace Core {

// The one Taskflow executor of the process, for per-point parallel work. Callers include
// "core/taskflow.h" (never Taskflow directly) to build and run their task graphs on it.
class TaskFlowExecutor {
public:
    static tf::Executor& instance();
};

} // namespace Core
