// A cloud's event thread: runs queued tasks one at a time, in order, plus
// periodic timers, on one detached thread of its own.
//
// The thread owns the loop (shared_ptr), so the loop outlives whoever made
// it for as long as a task is still running. Stop() never waits for the
// thread: the thread may be inside a delegate call, blocked on a lock the
// caller of Stop() holds (the Python interpreter lock). No mutex of the
// loop is ever held while a task or timer runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace lumora_sdk {

class EventLoop {
 public:
  using Task = std::function<void()>;

  // Starts the thread; throws std::system_error when none can be made.
  static std::shared_ptr<EventLoop> Start(const std::string& thread_name);

  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Queues a task; false (task dropped) once the loop is stopped.
  bool Post(Task task);

  // Drops every pending task and timer and lets the thread end after the
  // task it is running now, if any. Returns at once.
  void Stop();
  bool stopped() const;

  // Waits until the queue is empty and no task or timer is running.
  // 0 when idle, 1 on time-out.
  int WaitIdle(uint32_t timeout_ms);

  // While held (counted), the thread starts no task and no timer.
  void Hold();
  void Release();

  // A periodic call in `slot`; interval 0 removes it. The first call comes
  // one interval from now; each next one an interval after the last ended.
  void SetTimer(int slot, uint32_t interval_ms, Task tick);

  // Greatest queue length seen.
  size_t high_water() const;
  // True when the calling thread is this loop's thread.
  bool on_loop_thread() const;

 private:
  EventLoop() = default;
  void Run();

  struct Timer {
    uint32_t interval_ms = 0;
    std::chrono::steady_clock::time_point due;
    std::shared_ptr<Task> tick;
  };

  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Task> queue_;
  std::map<int, Timer> timers_;
  bool running_ = false;
  bool stopped_ = false;
  int holds_ = 0;
  size_t high_water_ = 0;
  size_t next_warning_ = 1024;
  std::string name_;
  std::thread::id thread_id_;
};

}  // namespace lumora_sdk
