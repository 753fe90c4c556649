#include "parallel/threads.hpp"

#include <sched.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace orv::parallel {
namespace {

std::atomic<unsigned> g_limit{0};

// The first entry of OMP_NUM_THREADS ("4" or "4,2,1"), or 0 when unset or
// not a positive number.
unsigned omp_num_threads() {
  const char* text = std::getenv("OMP_NUM_THREADS");
  if (text == nullptr) return 0;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || value < 1) return 0;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0' && *end != ',') return 0;
  return value > 4096 ? 4096u : static_cast<unsigned>(value);
}

// The CPUs the scheduler lets this process use (a container's or taskset's
// cpuset), as os.sched_getaffinity counts them.
unsigned usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

}  // namespace

// The count before any limit.
unsigned unlimited_threads() {
  const unsigned threads = omp_num_threads();
  return threads != 0 ? threads : usable_cpus();
}

unsigned default_threads() {
  const unsigned threads = unlimited_threads();
  const unsigned limit = g_limit.load(std::memory_order_relaxed);
  return limit != 0 && limit < threads ? limit : threads;
}

void set_thread_limit(unsigned threads) { g_limit.store(threads); }

unsigned thread_limit() { return g_limit.load(); }

unsigned threads_for(std::size_t tasks, unsigned requested) {
  std::size_t threads = requested == 0 ? default_threads() : requested;
  if (threads > tasks) threads = tasks;
  return threads < 1 ? 1u : static_cast<unsigned>(threads);
}

void run_workers(unsigned workers, const std::function<void(unsigned worker)>& body) {
  std::exception_ptr failure;
  std::mutex failure_lock;
  auto guarded = [&](unsigned worker) {
    try {
      body(worker);
    } catch (...) {
      std::lock_guard<std::mutex> hold(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> started;
  try {
    started.reserve(workers > 0 ? workers - 1 : 0);
    for (unsigned worker = 1; worker < workers; ++worker) started.emplace_back(guarded, worker);
  } catch (const std::system_error&) {
    // Out of threads: the ones already started and the caller do the work.
  } catch (const std::bad_alloc&) {
  }
  guarded(0);
  for (auto& thread : started) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace orv::parallel

// For threadpoolctl: the process-wide limit, read and set by its controller
// through ctypes (orv._threads registers it).
extern "C" __attribute__((visibility("default"))) int orv_parallel_get_num_threads() {
  return static_cast<int>(orv::parallel::default_threads());
}

// threadpoolctl restores the count it read on entry when its context ends;
// a count that is no limit at all clears the limit, so the process is left
// as it was (a later OMP_NUM_THREADS still counts).
extern "C" __attribute__((visibility("default"))) void orv_parallel_set_num_threads(int threads) {
  const bool no_limit =
      threads <= 0 || static_cast<unsigned>(threads) >= orv::parallel::unlimited_threads();
  orv::parallel::set_thread_limit(no_limit ? 0u : static_cast<unsigned>(threads));
}
