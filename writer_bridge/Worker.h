// One thread that runs the blocking LibreOffice calls in order. Callers bound their waits
// themselves: a call that never returns holds this thread, never theirs.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zuvo::writer {

class Worker {
 public:
  Worker() : thread_([this] { loop(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (busy()) thread_.detach();  // held by a call that does not return; the process ends anyway
    else thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }
  bool busy() {
    std::lock_guard lock(mutex_);
    return running_ || !jobs_.empty();
  }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      running_ = true;
      lock.unlock();
      job();
      lock.lock();
      running_ = false;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool running_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace zuvo::writer
