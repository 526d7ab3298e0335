// Win32 backend: processor faults.
#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

void (*g_fault_handler)(const FaultRecord&) = nullptr;

LONG WINAPI on_fault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  FaultRecord fault;
  fault.code = record.ExceptionCode;
  fault.fault_address = record.ExceptionAddress;
  if (record.NumberParameters >= 2) {
    fault.write_access = record.ExceptionInformation[0] != 0;
    fault.accessed_address = reinterpret_cast<const void*>(record.ExceptionInformation[1]);
  }
  if (g_fault_handler != nullptr) g_fault_handler(fault);
  return EXCEPTION_CONTINUE_SEARCH;  // declined: the system's default handling
}

}  // namespace

void install_fault_handler(void (*handler)(const FaultRecord& fault)) {
  g_fault_handler = handler;
  // Room on the stack for the report after a stack overflow.
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  SetUnhandledExceptionFilter(&on_fault);
}

bool debugger_attached() { return IsDebuggerPresent() != 0; }

}  // namespace tarnwick::platform
