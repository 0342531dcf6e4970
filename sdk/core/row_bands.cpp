#include "sdk/core/row_bands.h"

#include <algorithm>

namespace vk {
namespace {

// Four bands a thread, each a whole number of the pipeline's 16-row
// chunks: enough to even out a thread that starts late, few enough that the
// rows a band reads beyond its own cost little.
int BandRows(int rows, int threads) {
  constexpr int kChunk = 16;
  const int per_band = (rows + 4 * threads - 1) / (4 * threads);
  return std::max(kChunk, (per_band + kChunk - 1) / kChunk * kChunk);
}

}  // namespace

RowBands::RowBands(int threads) {
  for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { Work(); });
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
  const int band_rows = BandRows(rows, bands);
  {
    std::lock_guard lock(mutex_);
    stage_ = stage;
    context_ = context;
    rows_ = rows;
    band_rows_ = band_rows;
    next_band_.store(0, std::memory_order_relaxed);
    busy_ = bands - 1;
    ++generation_;
  }
  start_.notify_all();
  RunBands(stage, context, rows, band_rows);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return busy_ == 0; });
}

void RowBands::RunBands(Stage stage, void* context, int rows, int band_rows) {
  for (;;) {
    const int band = next_band_.fetch_add(1, std::memory_order_relaxed);
    if (band >= (rows + band_rows - 1) / band_rows) return;
    const int first = band * band_rows;
    stage(context, first, std::min(rows, first + band_rows));
  }
}

void RowBands::Work() {
  unsigned seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    start_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    const Stage stage = stage_;
    void* context = context_;
    const int rows = rows_, band_rows = band_rows_;
    lock.unlock();
    RunBands(stage, context, rows, band_rows);
    lock.lock();
    if (--busy_ == 0) done_.notify_all();
  }
}

}  // namespace vk
