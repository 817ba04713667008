#include "core/taskflowexecutor.h"

#include "core/taskflow.h"

namespace Core {

tf::Executor& TaskFlowExecutor::instance()
{
    static tf::Executor executor;
    return executor;
}

} // namespace Core
