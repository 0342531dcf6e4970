/* MmProbeAndLockPages reports a range the caller may not touch by raising
 * an exception, which only a structured exception handler can take; the
 * rest of the driver is built by a compiler without __try. This one routine
 * is built by clang for the same x64 target, with Microsoft's extensions,
 * and its handler is the kernel's own __C_specific_handler. */
#include <ntddk.h>

NTSTATUS VkProbeAndLockForWriting(PMDL mdl, KPROCESSOR_MODE mode) {
  NTSTATUS status = STATUS_SUCCESS;
  __try {
    MmProbeAndLockPages(mdl, mode, IoWriteAccess);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    status = GetExceptionCode();
  }
  return status;
}
