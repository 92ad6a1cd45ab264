// A small work-stealing thread pool with fork-join.
//
// Each worker owns a double-ended queue: a fork pushes its second half on the
// back of the forking worker's queue, runs the first half, and takes the
// second back from the same end unless an idle worker has stolen it from the
// front in the meantime. A thread that is not a worker of the pool (the
// Python caller) puts its job on the injection queue and blocks until a
// worker has run it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.hpp"

namespace kestrel {

class ThreadPool;

namespace pool_detail {

// A unit of work that some thread waits for. It lives on the waiting
// thread's stack, so it must not be touched once `done` is set.
class Job {
public:
    virtual ~Job() = default;
    // moved: the job runs on another thread than the one that created it.
    virtual void run(bool moved) = 0;

    const void* origin = nullptr;  // the worker that created it; null for injected jobs
    // Set under the pool's mutex, so sleepers cannot miss it; atomic, so a
    // waiter may also watch it for a moment without the mutex.
    std::atomic<bool> done{false};
    std::exception_ptr error;  // a failure of run(), rethrown on the waiting thread
};

template <class F>
class FunctionJob final : public Job {
public:
    explicit FunctionJob(F& function) : function_(function) {}
    void run(bool moved) override { function_(moved); }

private:
    F& function_;  // the caller's closure; it outlives the job because the caller waits for it
};

}  // namespace pool_detail

class ThreadPool {
public:
    // Starts `workers` threads (at least 1). On failure the threads already
    // started are stopped again and the error reads
    // "could not start {requested} worker threads: {reason}".
    static Result<std::unique_ptr<ThreadPool>> start(std::size_t workers, std::uint64_t requested);

    // Tells every worker to finish, wakes the sleeping ones and joins them,
    // so no thread of the pool outlives it.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const { return workers_.size(); }

    // The pool whose worker is the calling thread; null for other threads.
    static ThreadPool* current();

    // Runs task(moved) on a worker and blocks the calling thread until it is
    // done. Called from one of this pool's own workers it just runs inline.
    template <class Task>
    void run(Task&& task) {
        if (current_worker_of(this) != nullptr) return task(false);
        pool_detail::FunctionJob<Task> job(task);
        inject_and_wait(job);
    }

    // Runs left(moved) and right(moved), in parallel when a worker is free to
    // take the right half. From outside the pool the whole join is handed
    // to a worker first, and both halves then count as moved.
    template <class Left, class Right>
    void join(Left&& left, Right&& right) {
        if (Worker* self = current_worker_of(this)) return join_on(*self, left, right, false);
        auto handed_over = [&](bool) { join_on(*current_worker_of(this), left, right, true); };
        pool_detail::FunctionJob<decltype(handed_over)> job(handed_over);
        inject_and_wait(job);
    }

private:
    struct Worker {
        ThreadPool* pool;                     // lets a thread find the pool it belongs to
        std::size_t index;                    // where stealing starts, so thieves spread out
        std::mutex queue_mutex;               // guards `queue` against its owner and thieves
        std::deque<pool_detail::Job*> queue;  // owner works at the back, thieves take the front
    };

    explicit ThreadPool(std::size_t workers);
    static Worker* current_worker_of(const ThreadPool* pool);

    void worker_main(Worker& self);
    // Whether the work epoch moves on from `seen` within a short spin.
    bool new_work_soon(std::uint64_t seen) const;
    // Whether `job` is done within a short spin.
    static bool done_soon(const pool_detail::Job& job);
    pool_detail::Job* find_work(Worker& self);
    void execute(pool_detail::Job& job, const Worker* by);
    void push_local(Worker& self, pool_detail::Job& job);
    bool pop_local_if(Worker& self, const pool_detail::Job& job);
    void wait_for(pool_detail::Job& job, Worker* helper);
    void inject_and_wait(pool_detail::Job& job);

    template <class Left, class Right>
    void join_on(Worker& self, Left& left, Right& right, bool moved) {
        auto right_half = [&](bool stolen) { right(moved || stolen); };
        pool_detail::FunctionJob<decltype(right_half)> job(right_half);
        job.origin = &self;
        push_local(self, job);
        std::exception_ptr left_error;
        try {
            left(moved);
        } catch (...) {
            left_error = std::current_exception();
        }
        // The right half refers to this frame, so it is finished (here or by
        // its thief) before anything, a failure of the left half included,
        // leaves the frame.
        if (pop_local_if(self, job)) execute(job, &self);
        else wait_for(job, &self);
        if (left_error) std::rethrow_exception(left_error);
        if (job.error) std::rethrow_exception(job.error);
    }

    // Fixed at construction; the threads live in `threads_`.
    std::vector<std::unique_ptr<Worker>> workers_;  // stable addresses: threads and jobs point at them
    std::vector<std::thread> threads_;              // joined by the destructor

    std::mutex injector_mutex_;               // guards `injector_`
    std::deque<pool_detail::Job*> injector_;  // jobs from threads outside the pool

    // Sleeping and waking. One mutex keeps the checks of `work_epoch_`,
    // `stopping_` and Job::done atomic with going to sleep.
    std::mutex sleep_mutex_;
    std::condition_variable work_ready_;  // idle workers wait here for new jobs
    std::condition_variable job_done_;    // threads waiting for one job's completion
    // Bumped per queued job under `sleep_mutex_`; an idle worker sleeps only
    // if unchanged. Atomic so an idle worker can watch it for a moment
    // without the lock before it goes to sleep.
    std::atomic<std::uint64_t> work_epoch_ = 0;
    bool stopping_ = false;                 // set once by the destructor
    std::condition_variable worker_ready_;  // start() waits here for each new worker's set-up
    std::size_t workers_ready_ = 0;         // workers past their set-up; see start()
};

// The process-wide pool for n_threads = 0, created on the first call and
// never destroyed. Sized from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS
// (unless RAYON_NUM_THREADS is 0), else the logical processor count.
Result<ThreadPool*> default_pool();

// The size the default pool gets from the environment (read on each call;
// the pool itself reads it once).
std::size_t default_pool_size();

// More workers than this are never started; a request above it is capped.
constexpr std::size_t kMaxWorkers = 65535;

}  // namespace kestrel
