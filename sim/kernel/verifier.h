// The simulated kernel's verifier: as strict as Windows with Driver Verifier
// on. It keeps each thread's interrupt request level and the driver routines
// the thread is running, and reports a broken kernel rule with the rule and
// the routine. By default a report stops the process, as a bug check stops
// Windows; tests of the verifier itself install a handler that records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "driver/kernel_port.h"

namespace vk::sim {

inline constexpr kernel::Irql kPassiveLevel = 0;
inline constexpr kernel::Irql kApcLevel = 1;
inline constexpr kernel::Irql kDispatchLevel = 2;

// Completion routines nested deeper than this on one thread mean a request
// is being re-sent from its own completion without bound.
inline constexpr int kMaxCompletionDepth = 4;

struct Violation {
  std::string rule;
  std::string routine;  // the driver routine the thread was running
};
using ViolationHandler = std::function<void(const Violation&)>;

// What a thread is running on the driver's behalf, innermost last.
enum class RoutineKind {
  kDispatch,
  kCompletion,
  kCancel,
  kPowerCompletion,
  kWorkItem,
  kSystemThread,
  kAddDevice,
  kUnload,
};

struct RoutineFrame {
  RoutineKind kind;
  const void* routine;
  kernel::Irp* irp = nullptr;
  int location = -1;  // dispatch: the request's current location
  bool marked_pending = false;
  bool passed_down = false;  // dispatch: sent on without a completion routine
  NtStatus lower_status = 0;
};

namespace verifier {

// The handler for every kernel of the process (tests run one at a time per
// process); null restores the default, which prints and aborts.
void SetHandler(ViolationHandler handler);
void Report(const std::string& rule);

kernel::Irql CurrentIrql();
// KeRaiseIrql: returns the previous level.
kernel::Irql Raise(kernel::Irql level);
// KeLowerIrql to `level`, which must not be above the current one.
void Lower(kernel::Irql level);
// Reports `call` when the thread runs above `highest`.
void RequireAtMost(kernel::Irql highest, const char* call);

// Keeps the thread's level at `level` for a scope (a thread the kernel
// starts, or the I/O manager's final part of a request, which Windows runs
// as an APC in the requesting thread).
class LevelScope {
 public:
  explicit LevelScope(kernel::Irql level);
  ~LevelScope();
  LevelScope(const LevelScope&) = delete;
  LevelScope& operator=(const LevelScope&) = delete;

 private:
  kernel::Irql saved_;
};

// A driver routine running on this thread for a scope.
class RoutineScope {
 public:
  explicit RoutineScope(RoutineFrame frame);
  ~RoutineScope();
  RoutineScope(const RoutineScope&) = delete;
  RoutineScope& operator=(const RoutineScope&) = delete;
  RoutineFrame& frame();

 private:
  size_t index_;
};

// IoMarkIrpPending on `irp` at `location`: the dispatch frames of the
// thread that own that location (several when it was skipped) take note.
void NoteMarkedPending(kernel::Irp* irp, int location);
// IoCallDriver of `irp` into `location`: the innermost dispatch of this
// thread for `irp`, when it owns `location` (skipped) or the one above it
// with no completion routine set, passes the request down as it is. Returns
// that frame's index, or -1.
int PassingDown(kernel::Irp* irp, int location, bool next_has_completion);
void NotePassedDown(int frame, NtStatus lower_status);
// Whether this thread is inside a dispatch routine of `irp`.
bool InDispatchOf(kernel::Irp* irp);
// Completion routines now nested on this thread (entering adds one).
int EnterCompletion();
void LeaveCompletion();
int MaxCompletionDepth();

}  // namespace verifier
}  // namespace vk::sim
