#include "core/taskflowexecutor.h"

#include "core/taskflow.h"

namespace Core {

tf::Executor& TaskFlowExecutor::instance()
{
    // Never destroyed: inside a DLL the destructor would run at unload, after process exit has ended
    // the worker threads, and wait for them forever. The workers end with the process.
    static tf::Executor* const executor = new tf::Executor;
    return *executor;
}

} // namespace Core
