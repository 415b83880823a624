// signals.cc: the sigwait thread; see the header.
#include "stdio/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "base/os_error.h"

namespace brask {
namespace {

// Written once by `block_stop_signals` on the main thread before any other thread
// exists; only read afterwards.
sigset_t waited_signals;
// Set as soon as a signal is taken: stopping the apps lets running calls end, and the
// main thread must not exit with status 0 before the signal ends the process.
std::atomic<bool> ending_by_signal{false};

struct WaiterArgs {
  void (*stop)();
  void (*reap)();
};

void* wait_for_stop_signal(void* raw) {
  const WaiterArgs args = *static_cast<WaiterArgs*>(raw);
  delete static_cast<WaiterArgs*>(raw);
  int signal_number = 0;
  // Children that end while `reap` runs leave SIGCHLD pending, so none waits unseen.
  while (sigwait(&waited_signals, &signal_number) != 0 || signal_number == SIGCHLD) {
    if (signal_number == SIGCHLD)
      args.reap();
    signal_number = 0;
  }
  void (*stop)() = args.stop;
  ending_by_signal.store(true);
  stop();
  // The other threads keep the signal blocked, so the raise lands on this thread.
  signal(signal_number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal_number);
  _exit(128 + signal_number);  // not reached unless the default action failed to end us
}

}  // namespace

void hold_if_ending_by_signal() {
  if (!ending_by_signal.load())
    return;
  for (;;)
    pause();
}

void block_stop_signals() {
  sigemptyset(&waited_signals);
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      continue;
    sigaddset(&waited_signals, signal_number);
  }
  sigaddset(&waited_signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &waited_signals, nullptr);
}

Result<void> start_stop_signal_thread(void (*stop)(), void (*reap)()) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // A fixed size: the default follows the stack limit, which may be huge or tiny.
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  auto* args = new WaiterArgs{stop, reap};
  int error = pthread_create(&thread, &attr, &wait_for_stop_signal, args);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete args;
    return fail("failed to spawn thread: " + os_error_text(error));
  }
  return {};
}

}  // namespace brask
