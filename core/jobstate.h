#pragma once

namespace Core {

// State of a background job.
enum class JobState : int {
    Idle = 0, // not started yet
    Running = 1,
    Stopped = 2, // ended because a stop was requested
    Finished = 3, // completed all its work
    Failed = 4, // unable to run, or ended with an exception
};

} // namespace Core
