// Drives a task to its end on a test's loop: the test stands where a session would await it.
#pragma once

#include <cstdint>
#include <type_traits>

#include "platform/message_loop.h"
#include "platform/task.h"

namespace zb::test {

// Runs the loop until the task has ended or max_ms of loop time passed; its value (a default
// one when it did not end). A failure it ended with comes out of here.
template <typename T>
T RunTask(platform::MessageLoop& loop, platform::Task<T> task, int64_t max_ms = 600'000) {
  task.Start();
  const int64_t end = loop.NowMs() + max_ms;
  while (!task.Done() && loop.NowMs() < end) loop.WaitAndProcess(end - loop.NowMs());
  if (task.Done()) return task.Take();
  if constexpr (!std::is_void_v<T>) return T{};
}

}  // namespace zb::test
