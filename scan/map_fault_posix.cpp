// SPDX-License-Identifier: GPL-3.0-or-later
// SIGBUS on mapped source bytes turned into a failed read (see map_fault.h for the reasoning).
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "scan/map_fault.h"

namespace korvane {
namespace {

// What a thread is reading from a map. Plain data, zero at the thread's start: no constructor
// runs on first use, so the handler only ever reads it.
struct FaultRecord {
  volatile sig_atomic_t armed;
  const uint8_t* begin;
  const uint8_t* end;
  sigjmp_buf jump;
};

thread_local FaultRecord t_record;

std::mutex g_mutex;              // guards g_scopes and the installing and restoring
unsigned g_scopes = 0;           // MapFaultScopes alive
struct sigaction g_previous {};  // the action found when the first scope began

// Hands a SIGBUS that is not ours to what was there before the scan.
void Chain(int sig, siginfo_t* info, void* context) {
  const struct sigaction& previous = g_previous;
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(sig);
    return;
  }
  const bool sent = info == nullptr || info->si_code <= 0;  // by kill() or raise(), not a fault
  if (previous.sa_handler == SIG_IGN && sent) return;
  // The default action (a fault cannot be ignored): put it back and let the signal come again,
  // sent ones by raising them, faults by returning to the instruction that faults again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGBUS, &fallback, nullptr);
  if (sent) raise(SIGBUS);
}

void OnSigbus(int sig, siginfo_t* info, void* context) {
  FaultRecord& record = t_record;
  if (record.armed && info != nullptr && info->si_code > 0) {
    const auto* at = static_cast<const uint8_t*>(info->si_addr);
    if (at >= record.begin && at < record.end) {
      record.armed = 0;
      siglongjmp(record.jump, 1);
    }
  }
  Chain(sig, info, context);
}

}  // namespace

MapFaultScope::MapFaultScope() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_scopes == 0) {
    // The previous action is kept before ours goes in, so the handler never sees it half written.
    if (sigaction(SIGBUS, nullptr, &g_previous) != 0) return;
    struct sigaction ours {};
    ours.sa_sigaction = OnSigbus;
    ours.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    if (sigaction(SIGBUS, &ours, nullptr) != 0) return;
  }
  ++g_scopes;
  ok_ = true;
}

MapFaultScope::~MapFaultScope() {
  if (!ok_) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (--g_scopes == 0) sigaction(SIGBUS, &g_previous, nullptr);
}

bool ReadMappedBytes(const uint8_t* begin, size_t size, void (*read)(void* context),
                     void* context) {
  FaultRecord& record = t_record;
  record.begin = begin;
  record.end = begin + size;
  if (sigsetjmp(record.jump, 0) != 0) {
    // Back from the handler: the mask was not restored by the jump.
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    return false;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  record.armed = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  read(context);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  record.armed = 0;
  return true;
}

namespace {
struct Copy {
  uint8_t* dst;
  const uint8_t* src;
  size_t n;
};
void CopyBytes(void* context) {
  const Copy& c = *static_cast<const Copy*>(context);
  // Byte by byte through volatile: a library memcpy is not known to be safe to jump out of.
  const volatile uint8_t* src = c.src;
  for (size_t i = 0; i < c.n; ++i) c.dst[i] = src[i];
}
}  // namespace

bool CopyMappedBytes(uint8_t* dst, const uint8_t* src, size_t n) {
  Copy copy{dst, src, n};
  return ReadMappedBytes(src, n, &CopyBytes, &copy);
}

}  // namespace korvane
