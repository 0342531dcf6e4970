#include "sim/camera/fault_plan.h"

#include <cstdlib>

namespace vk::sim {
namespace {

bool ParseNumber(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  const std::string s(text);
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (end != s.c_str() + s.size() || s[0] == '-' || v > max) return false;
  *out = v;
  return true;
}

// Splits "a<sep>b" at the last `sep`; b is empty when there is none.
std::pair<std::string_view, std::string_view> SplitAt(std::string_view s,
                                                      std::string_view sep) {
  const size_t p = s.rfind(sep);
  if (p == std::string_view::npos || p == 0) return {s, {}};
  return {s.substr(0, p), s.substr(p + sep.size())};
}

bool ApplyEntry(std::string_view key, std::string_view value, FaultPlan* plan) {
  uint64_t n = 0, m = 0;
  if (key == "unplug" && ParseNumber(value, INT64_MAX, &n)) {
    plan->unplug_after_frames = static_cast<int64_t>(n);
  } else if (key == "stall" && ParseNumber(value, INT64_MAX, &n)) {
    plan->stall_after_frames = static_cast<int64_t>(n);
  } else if (key == "cut" || key == "ack") {
    auto [first, second] = SplitAt(value, ":");
    if (!ParseNumber(first, key == "cut" ? UINT32_MAX : 255, &n)) return false;
    if (!second.empty() && !ParseNumber(second, UINT32_MAX, &m)) return false;
    if (key == "cut") {
      if (n == 0 || (!second.empty() && m == 0)) return false;
      plan->cut_frame_bytes = static_cast<uint32_t>(n);
      plan->cut_every = second.empty() ? 1 : static_cast<uint32_t>(m);
    } else {
      plan->wrong_ack = static_cast<uint8_t>(n);
      plan->wrong_ack_count = static_cast<uint32_t>(m);
    }
  } else if (key == "chip" && ParseNumber(value, 0xFFFF, &n)) {
    plan->chip_version = static_cast<uint16_t>(n);
  } else if (key == "nvram_readonly" && value.empty()) {
    plan->nvram_refuses_writes = true;
  } else if (key == "silent" && value.empty()) {
    plan->silent = true;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::optional<FaultPlan> ParseFaultPlan(std::string_view text,
                                        std::string* error) {
  FaultPlan plan;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view entry = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{}
                                           : text.substr(comma + 1);
    if (entry.empty()) continue;
    const size_t eq = entry.find('=');
    const std::string_view key = entry.substr(0, eq);
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view{} : entry.substr(eq + 1);
    if (!ApplyEntry(key, value, &plan)) {
      if (error) *error = "bad fault entry '" + std::string(entry) + "'";
      return std::nullopt;
    }
  }
  return plan;
}

}  // namespace vk::sim
