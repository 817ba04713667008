#include "core/taskflowexecutor.h"

#include <taskflow/taskflow.hpp>

namespace Core {

tf::Executor& TaskFlowExecutor::instance()
{
    static tf::Executor executor;
    return executor;
}

} // namespace Core
