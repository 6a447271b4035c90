// Drives a task to its end on a test's loop: the test stands where a session would await it.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/message_loop.h"
#include "platform/task.h"

namespace zb::test {

namespace detail {
template <typename T>
platform::Task<> StoreResult(platform::Task<T> task, std::optional<T>& out) {
  out.emplace(co_await std::move(task));
}
inline platform::Task<> StoreResult(platform::Task<> task, std::optional<bool>& out) {
  co_await std::move(task);
  out.emplace(true);
}
}  // namespace detail

// Runs the loop until the task has ended or max_ms of loop time passed; its value (a default
// one when it did not end). A failure it ended with comes out of here.
template <typename T>
T RunTask(platform::MessageLoop& loop, platform::Task<T> task, int64_t max_ms = 600'000) {
  using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;
  std::optional<Stored> out;
  platform::Task<> wrapper = detail::StoreResult(std::move(task), out);
  wrapper.Start();
  const int64_t end = loop.NowMs() + max_ms;
  while (!wrapper.Done() && loop.NowMs() < end) loop.WaitAndProcess(end - loop.NowMs());
  if (wrapper.Done() && wrapper.Error()) std::rethrow_exception(wrapper.Error());
  if constexpr (!std::is_void_v<T>) return out.value_or(T{});
}

}  // namespace zb::test
