// POSIX backend: processor faults.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#if defined(__linux__)
#include <ucontext.h>
#endif

#include <cstring>

#include "platform/posix/system.h"

namespace tarnwick::platform {
namespace {

void (*g_fault_handler)(const FaultRecord&) = nullptr;
alignas(16) char g_fault_stack[64 * 1024];
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

std::uint32_t fault_code(int signal, const siginfo_t& info, std::uintptr_t stack_pointer) {
  switch (signal) {
    case SIGSEGV: {
      // A fault just below the stack pointer is the stack running into its guard.
      const auto accessed = reinterpret_cast<std::uintptr_t>(info.si_addr);
      if (accessed <= stack_pointer + 4096 && accessed + (1u << 20) >= stack_pointer) {
        return kStatusStackOverflow;
      }
      return kStatusAccessViolation;
    }
    case SIGBUS:
      return kStatusAccessViolation;
    case SIGFPE:
      switch (info.si_code) {
        case FPE_INTDIV: return kStatusIntegerDivideByZero;
        case FPE_INTOVF: return kStatusIntegerOverflow;
        case FPE_FLTDIV: return kStatusFloatDivideByZero;
        case FPE_FLTOVF: return kStatusFloatOverflow;
        case FPE_FLTUND: return kStatusFloatUnderflow;
        case FPE_FLTRES: return kStatusFloatInexactResult;
        case FPE_FLTINV: return kStatusFloatInvalidOperation;
        case FPE_FLTSUB: return kStatusArrayBoundsExceeded;
        default: return kStatusFloatInvalidOperation;
      }
    default:  // SIGILL
      return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? kStatusPrivilegedInstruction
                                                                      : kStatusIllegalInstruction;
  }
}

void on_fault(int signal, siginfo_t* info, [[maybe_unused]] void* context) {
  FaultRecord fault;
  std::uintptr_t stack_pointer = 0;
  // Where the registers are known, the faulting instruction and the stack
  // pointer come from them; elsewhere only the accessed address is.
#if defined(__linux__) && defined(__x86_64__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  fault.fault_address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  stack_pointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  fault.write_access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;  // page-fault error code
#elif defined(__linux__) && defined(__i386__)
  const auto* uc = static_cast<const ucontext_t*>(context);
  fault.fault_address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_EIP]);
  stack_pointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
  fault.write_access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
  fault.fault_address = info->si_addr;
#endif
  fault.code = fault_code(signal, *info, stack_pointer);
  fault.accessed_address = info->si_addr;
  if (signal == SIGBUS) {
    const auto accessed = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (const Mapping& mapping : g_mappings) {
      const auto start = reinterpret_cast<std::uintptr_t>(mapping.start);
      if (mapping.start != nullptr && accessed >= start && accessed - start < mapping.size) {
        fault.in_mapped_file = true;
      }
    }
  }
  if (g_fault_handler != nullptr) g_fault_handler(fault);
  // Declined: let the fault happen again with the default action.
  ::signal(signal, SIG_DFL);
}

}  // namespace

void install_fault_handler(void (*handler)(const FaultRecord& fault)) {
  g_fault_handler = handler;
  stack_t stack{};
  stack.ss_sp = g_fault_stack;
  stack.ss_size = sizeof g_fault_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = &on_fault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) sigaction(signal, &action, nullptr);
}

bool debugger_attached() {
#if defined(__linux__)
  // Read with plain system calls: this runs inside fault handlers.
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* field = std::strstr(text, "TracerPid:");
  if (field == nullptr) return false;
  field += 10;
  while (*field == ' ' || *field == '\t') ++field;
  return *field != '0';
#else
  return false;
#endif
}
}  // namespace tarnwick::platform
