#pragma once

// Include Taskflow through this header only.
//
// In C++20 mode Taskflow parks idle workers with std::atomic<T>::wait. The
// libstdc++ of the mingw-w64 toolchain implements that wait without futexes and
// can miss a notification, leaving an executor asleep with work queued (seen as
// rare hangs of parallel loops). Taskflow's C++17 path parks on a mutex and a
// condition variable instead; raising its C++20 threshold selects that path.
#include <taskflow/utility/macros.hpp>
#if defined(__MINGW32__)
#  undef TF_CPP20
#  define TF_CPP20 (__cplusplus + 1)
#endif

#include <taskflow/algorithm/for_each.hpp>
#include <taskflow/algorithm/sort.hpp>
#include <taskflow/taskflow.hpp>
