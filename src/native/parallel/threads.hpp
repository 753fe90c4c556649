// Worker threads for the native passes: one mechanism for every kernel.
//
// Threads are started for a pass and joined before it returns; none is kept
// between passes. A process forked after a threaded pass therefore inherits
// no pool, no half-held lock and no thread id, and its own passes start their
// threads afresh (the failure mode of runtimes that keep a pool across fork).
// Starting a thread costs tens of microseconds, which the passes that use
// several threads amortise over milliseconds of work.
//
// The thread count a pass uses by default follows the controls users already
// know: a limit set through set_thread_limit (threadpoolctl's controller calls
// it), else the first number of OMP_NUM_THREADS, else the CPUs this process may
// run on. No result may depend on the count: callers fix the order of every
// floating-point operation by the task, never by the worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>

namespace orv::parallel {

// The count described above, at least 1.
unsigned default_threads();

// default_threads() without the limit.
unsigned unlimited_threads();

// A process-wide limit on default_threads(); 0 removes it.
void set_thread_limit(unsigned threads);
unsigned thread_limit();

// `requested` threads, or default_threads() when it is 0, but never more than
// `tasks` (and at least 1).
unsigned threads_for(std::size_t tasks, unsigned requested);

// Runs body(worker) for worker in [0, workers): worker 0 on the calling
// thread, the others on threads started for this call. When a thread cannot be
// started, fewer workers run, so body must not rely on the count. Once all
// have returned, the first exception any of them threw is rethrown here.
void run_workers(unsigned workers, const std::function<void(unsigned worker)>& body);

// Runs task(state, i) for every i in [0, count) on `threads` workers
// (threads_for's rule). Indices are handed out in increasing order from one
// counter; each worker has its own state from make() and hands it to done(state)
// at the end, one worker at a time, in no fixed order. After an exception
// (in make, task or done) no further index starts, and the exception reaches
// the caller.
template <class Make, class Task, class Done>
void for_each_index(std::size_t count, unsigned threads, Make make, Task task, Done done) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex done_lock;
  run_workers(threads_for(count, threads), [&](unsigned) {
    try {
      auto state = make();
      for (std::size_t i = next.fetch_add(1); i < count && !failed.load(std::memory_order_relaxed);
           i = next.fetch_add(1)) {
        task(state, i);
      }
      std::lock_guard<std::mutex> hold(done_lock);
      done(state);
    } catch (...) {
      failed.store(true);
      throw;
    }
  });
}

}  // namespace orv::parallel
