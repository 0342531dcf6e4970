#include "sim/kernel/verifier.h"

#if __has_include(<dlfcn.h>) && __has_include(<execinfo.h>)
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#define VKCAM_SYMBOLS 1
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <type_traits>

namespace vk::sim::verifier {
namespace {

// The routines running on a thread, innermost last. A fixed array: a thread
// state with a destructor would be destroyed at a thread's exit before the
// static objects that may still send requests from it (the main thread's
// exit handlers), and is left behind by threads still running at exit.
class FrameStack {
 public:
  static constexpr size_t kCapacity = 256;
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  RoutineFrame& operator[](size_t i) { return frames_[i]; }
  RoutineFrame& back() { return frames_[size_ - 1]; }
  RoutineFrame* begin() { return frames_; }
  RoutineFrame* end() { return frames_ + size_; }
  bool Push(const RoutineFrame& frame) {
    if (size_ == kCapacity) return false;
    frames_[size_++] = frame;
    return true;
  }
  void Resize(size_t size) { size_ = size; }

 private:
  RoutineFrame frames_[kCapacity];
  size_t size_ = 0;
};

// The kernel's own per-thread state: the level and the routines running.
struct ThreadState {
  kernel::Irql irql = kPassiveLevel;
  int completion_depth = 0;
  FrameStack frames;
};
static_assert(std::is_trivially_destructible_v<ThreadState>);
thread_local ThreadState t_state;

std::atomic<int> g_max_completion_depth{0};
std::mutex g_handler_mutex;
ViolationHandler g_handler;

const char* KindName(RoutineKind kind) {
  switch (kind) {
    case RoutineKind::kDispatch:
      return "dispatch routine";
    case RoutineKind::kCompletion:
      return "completion routine";
    case RoutineKind::kCancel:
      return "cancel routine";
    case RoutineKind::kPowerCompletion:
      return "power request callback";
    case RoutineKind::kWorkItem:
      return "work item";
    case RoutineKind::kSystemThread:
      return "system thread";
    case RoutineKind::kAddDevice:
      return "AddDevice";
    case RoutineKind::kUnload:
      return "Unload";
  }
  return "routine";
}

// "completion routine vk::drv::(anonymous namespace)::SlotCompletion(...)"
// where the symbol is known, else its address.
std::string Describe(const RoutineFrame& frame) {
  std::string text = KindName(frame.kind);
  char address[512];
#if VKCAM_SYMBOLS
  Dl_info info{};
  if (frame.routine != nullptr && dladdr(frame.routine, &info) != 0) {
    if (info.dli_sname != nullptr) {
      int status = 0;
      char* name =
          abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      text += " ";
      text += status == 0 && name != nullptr ? name : info.dli_sname;
      std::free(name);
      return text;
    }
    // A local symbol: its module and offset, for addr2line.
    if (info.dli_fname != nullptr) {
      std::snprintf(
          address, sizeof(address), " at %s+0x%zx", info.dli_fname,
          static_cast<size_t>(static_cast<const char*>(frame.routine) -
                              static_cast<const char*>(info.dli_fbase)));
      return text + address;
    }
  }
#endif
  std::snprintf(address, sizeof(address), " at %p", frame.routine);
  return text + address;
}

void DefaultHandler(const Violation& v) {
  std::fprintf(stderr, "simkernel verifier: %s\n  in %s\n", v.rule.c_str(),
               v.routine.c_str());
#if VKCAM_SYMBOLS
  void* frames[48];
  const int n = backtrace(frames, 48);
  backtrace_symbols_fd(frames, n, 2);
#endif
  std::abort();
}

}  // namespace

void SetHandler(ViolationHandler handler) {
  std::lock_guard lock(g_handler_mutex);
  g_handler = std::move(handler);
}

void Report(const std::string& rule) {
  Violation v{rule, "no driver routine (the kernel's own thread)"};
  if (!t_state.frames.empty()) v.routine = Describe(t_state.frames.back());
  ViolationHandler handler;
  {
    std::lock_guard lock(g_handler_mutex);
    handler = g_handler;
  }
  if (handler) {
    handler(v);
  } else {
    DefaultHandler(v);
  }
}

kernel::Irql CurrentIrql() { return t_state.irql; }

kernel::Irql Raise(kernel::Irql level) {
  const kernel::Irql previous = t_state.irql;
  if (level < previous) Report("KeRaiseIrql to a level below the current one");
  t_state.irql = level;
  return previous;
}

void Lower(kernel::Irql level) {
  if (level > t_state.irql)
    Report("KeLowerIrql to a level above the current one");
  t_state.irql = level;
}

void RequireAtMost(kernel::Irql highest, const char* call) {
  const kernel::Irql now = t_state.irql;
  if (now <= highest) return;
  static const char* const kNames[] = {"PASSIVE_LEVEL", "APC_LEVEL",
                                       "DISPATCH_LEVEL"};
  char text[256];
  std::snprintf(text, sizeof(text), "%s at %s (allowed up to %s)", call,
                now <= kDispatchLevel ? kNames[now] : "a device level",
                kNames[highest]);
  Report(text);
}

LevelScope::LevelScope(kernel::Irql level) : saved_(t_state.irql) {
  t_state.irql = level;
}
LevelScope::~LevelScope() { t_state.irql = saved_; }

RoutineScope::RoutineScope(RoutineFrame frame) : index_(t_state.frames.size()) {
  if (!t_state.frames.Push(frame)) {
    Report("driver routines nested deeper than the kernel stack allows");
    std::abort();
  }
}
RoutineScope::~RoutineScope() { t_state.frames.Resize(index_); }
RoutineFrame& RoutineScope::frame() { return t_state.frames[index_]; }

void NoteMarkedPending(kernel::Irp* irp, int location) {
  auto& frames = t_state.frames;
  for (size_t i = frames.size(); i-- > 0;) {
    RoutineFrame& f = frames[i];
    // A mark made by a completion routine passes the lower driver's on.
    if (f.kind != RoutineKind::kDispatch) return;
    if (f.irp == irp && f.location == location) f.marked_pending = true;
  }
}

int PassingDown(kernel::Irp* irp, int location, bool next_has_completion) {
  auto& frames = t_state.frames;
  for (size_t i = frames.size(); i-- > 0;) {
    const RoutineFrame& f = frames[i];
    if (f.kind != RoutineKind::kDispatch || f.irp != irp) continue;
    if (f.location == location ||
        (f.location == location + 1 && !next_has_completion))
      return static_cast<int>(i);
    return -1;
  }
  return -1;
}

void NotePassedDown(int frame, NtStatus lower_status) {
  if (frame < 0 || static_cast<size_t>(frame) >= t_state.frames.size()) return;
  t_state.frames[frame].passed_down = true;
  t_state.frames[frame].lower_status = lower_status;
}

bool InDispatchOf(kernel::Irp* irp) {
  for (const RoutineFrame& f : t_state.frames) {
    if (f.kind == RoutineKind::kDispatch && f.irp == irp) return true;
  }
  return false;
}

int EnterCompletion() {
  const int depth = ++t_state.completion_depth;
  int seen = g_max_completion_depth.load();
  while (depth > seen &&
         !g_max_completion_depth.compare_exchange_weak(seen, depth)) {
  }
  return depth;
}

void LeaveCompletion() { --t_state.completion_depth; }

int MaxCompletionDepth() { return g_max_completion_depth.load(); }

}  // namespace vk::sim::verifier
