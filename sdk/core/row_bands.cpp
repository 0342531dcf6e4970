#include "sdk/core/row_bands.h"

namespace vk {
namespace {

void Band(int rows, int bands, int index, int* first, int* last) {
  *first = static_cast<int>(static_cast<long long>(rows) * index / bands);
  *last = static_cast<int>(static_cast<long long>(rows) * (index + 1) / bands);
}

}  // namespace

RowBands::RowBands(int threads) {
  for (int i = 1; i < threads; ++i) workers_.emplace_back([this, i] { Work(i); });
}

RowBands::~RowBands() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  start_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void RowBands::Run(int rows, Stage stage, void* context) {
  const int bands = threads();
  if (bands == 1) {
    stage(context, 0, rows);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    stage_ = stage;
    context_ = context;
    rows_ = rows;
    busy_ = bands - 1;
    ++generation_;
  }
  start_.notify_all();
  int first = 0, last = 0;
  Band(rows, bands, 0, &first, &last);
  stage(context, first, last);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return busy_ == 0; });
}

void RowBands::Work(int index) {
  unsigned seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    start_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    const Stage stage = stage_;
    void* context = context_;
    int first = 0, last = 0;
    Band(rows_, threads(), index, &first, &last);
    lock.unlock();
    stage(context, first, last);
    lock.lock();
    if (--busy_ == 0) done_.notify_all();
  }
}

}  // namespace vk
