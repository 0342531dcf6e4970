// Runs a row-wise stage over a frame split into bands on threads that live
// as long as the object, the caller's thread among them. The bands, a few
// per thread, are claimed in turn, so that a thread the machine keeps
// waiting leaves its share to the others. A stage must only read what no
// band writes (or what an earlier stage wrote), so the result never depends
// on the split.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vk {

class RowBands {
 public:
  using Stage = void (*)(void* context, int first, int last);

  // `threads` 0 or 1 runs every stage on the caller's thread.
  explicit RowBands(int threads);
  ~RowBands();
  RowBands(const RowBands&) = delete;
  RowBands& operator=(const RowBands&) = delete;

  void Run(int rows, Stage stage, void* context);
  int threads() const { return static_cast<int>(workers_.size()) + 1; }

 private:
  void Work();
  // Claims bands of the current run until none is left.
  void RunBands(Stage stage, void* context, int rows, int band_rows);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  Stage stage_ = nullptr;
  void* context_ = nullptr;
  int rows_ = 0;
  int band_rows_ = 0;
  std::atomic<int> next_band_{0};
  unsigned generation_ = 0;
  int busy_ = 0;
  bool stop_ = false;
};

}  // namespace vk
