// The cloud's event thread (see event_loop.h).

#include "loopback/event_loop.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "journal/journal.h"
#include "settings/sdk_log.h"
#include "threads/sdk_thread.h"

namespace lumora_sdk {

namespace {

// Tasks hold the SDK's own copies of frames and records; releasing them is
// the SDK's internal business, not a call to journal.
template <typename T>
void release_quietly(T& value) {
  JournalMute mute;
  T dropped(std::move(value));
  (void)dropped;
}

// Delegate calls catch their own exceptions; this keeps anything else a
// task throws (an allocation failure while building a record) from ending
// the process, since the thread has no caller to hand it to.
void run_guarded(const std::function<void()>& task) {
  try {
    task();
  } catch (const std::exception& error) {
    log_line(kLogError, "event task failed: %s", error.what());
  } catch (...) {
    log_line(kLogError, "event task failed with an unknown exception");
  }
}

}  // namespace

std::shared_ptr<EventLoop> EventLoop::Start(const std::string& thread_name) {
  std::shared_ptr<EventLoop> loop(new EventLoop());
  loop->name_ = thread_name;
  // The thread keeps its own reference: the loop lives until the thread ends.
  std::thread thread = start_sdk_thread([loop] { loop->Run(); });
  {
    std::lock_guard<std::mutex> lock(loop->mu_);
    loop->thread_id_ = thread.get_id();
  }
  thread.detach();
  return loop;
}

bool EventLoop::Post(Task task) {
  size_t depth = 0;
  bool warn = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopped_) {
      queue_.push_back(std::move(task));
      depth = queue_.size();
      if (depth > high_water_) {
        high_water_ = depth;
        if (depth >= next_warning_) {
          warn = true;
          next_warning_ *= 2;
        }
      }
    }
  }
  if (depth == 0) {
    release_quietly(task);
    return false;
  }
  wake_.notify_one();
  if (warn) {
    log_line(kLogWarning, "%s: %zu events queued and not yet delivered", name_.c_str(), depth);
  }
  return true;
}

void EventLoop::Stop() {
  std::deque<Task> dropped;
  std::map<int, Timer> timers;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    dropped.swap(queue_);
    timers.swap(timers_);
  }
  wake_.notify_all();
  idle_.notify_all();
  // Released here, outside the lock: a task may hold the last reference to
  // something whose release takes other locks.
  release_quietly(dropped);
  release_quietly(timers);
}

bool EventLoop::stopped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopped_;
}

int EventLoop::WaitIdle(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  const bool idle = idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [this] { return queue_.empty() && !running_; });
  return idle ? 0 : 1;
}

void EventLoop::Hold() {
  std::lock_guard<std::mutex> lock(mu_);
  ++holds_;
}

void EventLoop::Release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (holds_ > 0) {
      --holds_;
    }
  }
  wake_.notify_all();
}

void EventLoop::SetTimer(int slot, uint32_t interval_ms, Task tick) {
  Timer replaced;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto found = timers_.find(slot);
    if (found != timers_.end()) {
      replaced = std::move(found->second);
      timers_.erase(found);
    }
    if (interval_ms != 0 && !stopped_) {
      Timer timer;
      timer.interval_ms = interval_ms;
      timer.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms);
      timer.tick = std::make_shared<Task>(std::move(tick));
      timers_[slot] = std::move(timer);
    }
  }
  wake_.notify_all();
  release_quietly(replaced);
  release_quietly(tick);
}

size_t EventLoop::high_water() const {
  std::lock_guard<std::mutex> lock(mu_);
  return high_water_;
}

bool EventLoop::on_loop_thread() const {
  std::lock_guard<std::mutex> lock(mu_);
  return thread_id_ == std::this_thread::get_id();
}

void EventLoop::Run() {
  // Linux limits thread names to 15 bytes.
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopped_) {
    if (holds_ == 0 && !queue_.empty()) {
      Task task = std::move(queue_.front());
      queue_.pop_front();
      running_ = true;
      lock.unlock();
      run_guarded(task);
      release_quietly(task);
      lock.lock();
      running_ = false;
      if (queue_.empty()) {
        idle_.notify_all();
      }
      continue;
    }
    // The earliest timer, if any.
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (next == timers_.end() || it->second.due < next->second.due) {
        next = it;
      }
    }
    const auto now = std::chrono::steady_clock::now();
    if (holds_ == 0 && next != timers_.end() && next->second.due <= now) {
      const int slot = next->first;
      std::shared_ptr<Task> tick = next->second.tick;
      running_ = true;
      lock.unlock();
      run_guarded(*tick);
      release_quietly(tick);
      lock.lock();
      running_ = false;
      // The timer may have been changed or removed while it ran.
      auto again = timers_.find(slot);
      if (again != timers_.end() && again->second.tick.get() != nullptr) {
        again->second.due = std::max(again->second.due,
                                     std::chrono::steady_clock::now() +
                                         std::chrono::milliseconds(again->second.interval_ms));
      }
      if (queue_.empty()) {
        idle_.notify_all();
      }
      continue;
    }
    if (holds_ == 0 && next != timers_.end()) {
      // A copy: the timer may be removed while the lock is released.
      const auto due = next->second.due;
      wake_.wait_until(lock, due);
    } else {
      wake_.wait(lock);
    }
  }
  running_ = false;
  lock.unlock();
  idle_.notify_all();
}

}  // namespace lumora_sdk
