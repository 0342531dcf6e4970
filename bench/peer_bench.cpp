// Our pipeline beside a peer: OpenCV's bilinear chain (Bayer to BGR, a gain
// table, the 3 x 3 colour transform, a tone table, the vertical flip and the
// mean) on the same 2048 x 1536 frame, one thread each, with the camera's
// default settings (colour correction and AE on). Both run in every
// iteration, so the load of the machine falls on both alike; the counters
// give the best time of each and ours as a ratio of OpenCV's.
// Run: build/bench/vkcam-bench --benchmark_filter=Peer
// OpenCV is optional (Debian's libopencv-dev): without it the benchmark
// reports that it was skipped.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "sdk/core/camera.h"

#if defined(VKCAM_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace vk {
namespace {

#if defined(VKCAM_HAVE_OPENCV)

constexpr int kWidth = 2048, kHeight = 1536;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since)
      .count();
}

// Args: demosaic mode of ours.
void BM_PeerOpenCvChain(benchmark::State& state) {
  cv::setNumThreads(1);
  std::mt19937 random(7);
  cv::Mat raw(kHeight, kWidth, CV_8UC1);
  for (int r = 0; r < kHeight; ++r)
    for (int c = 0; c < kWidth; ++c)
      raw.at<uint8_t>(r, c) = static_cast<uint8_t>(random() % 200);
  // Gain and tone tables and a colour matrix like the camera's.
  cv::Mat gains(1, 256, CV_8UC3), tone(1, 256, CV_8UC1);
  for (int v = 0; v < 256; ++v) {
    gains.at<cv::Vec3b>(0, v) = {
        static_cast<uint8_t>(std::min(v * 70 / 64, 255)),
        static_cast<uint8_t>(v),
        static_cast<uint8_t>(std::min(v * 80 / 64, 255))};
    tone.at<uint8_t>(0, v) =
        cv::saturate_cast<uint8_t>(255.0 * std::pow(v / 255.0, 0.6));
  }
  const cv::Matx33f matrix(286 / 128.f, -125 / 128.f,
                           -34 / 128.f,  // rows: blue, green, red
                           -32 / 128.f, 222 / 128.f, -63 / 128.f, -12 / 128.f,
                           -65 / 128.f, 205 / 128.f);
  cv::Mat bgr, gained, corrected, toned, flipped;

  CCamera camera;
  camera.SetPipelineThreads(1);
  camera.SetDemosaicMode(static_cast<uint8_t>(state.range(0)));
  camera.SetResolution(kResolutionFull);
  camera.SetAeEnable(1);
  camera.SetColorCorrection(1);
  std::vector<uint8_t> work(raw.data, raw.data + raw.total());

  double best_peer = 1e9, best_ours = 1e9;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    cv::cvtColor(raw, bgr, cv::COLOR_BayerGR2BGR);
    cv::LUT(bgr, gains, gained);
    cv::transform(gained, corrected, matrix);
    cv::LUT(corrected, tone, toned);
    cv::flip(toned, flipped, 0);
    benchmark::DoNotOptimize(cv::mean(flipped));
    const double peer = Seconds(t0);
    t0 = std::chrono::steady_clock::now();
    camera.Process(work.data(), camera.output(), kWidth, kHeight);
    benchmark::DoNotOptimize(camera.output());
    const double ours = Seconds(t0);
    state.SetIterationTime(peer + ours);
    best_peer = std::min(best_peer, peer);
    best_ours = std::min(best_ours, ours);
  }
  state.counters["opencv_ms"] = best_peer * 1e3;
  state.counters["ours_ms"] = best_ours * 1e3;
  state.counters["ours_over_opencv"] = best_ours / best_peer;
  state.SetLabel("mode " + std::to_string(state.range(0)) +
                 " vs OpenCV " CV_VERSION ", 1 thread each");
}

#else

void BM_PeerOpenCvChain(benchmark::State& state) {
  for (auto _ : state) {
  }
  state.SkipWithError(
      "skipped: built without OpenCV (install libopencv-dev and reconfigure)");
}

#endif

BENCHMARK(BM_PeerOpenCvChain)
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vk
