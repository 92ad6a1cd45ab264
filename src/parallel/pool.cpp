#include "parallel/pool.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>

#include "base/text.hpp"
#include "parallel/thread_exceptions.hpp"

namespace kestrel {

using pool_detail::Job;

namespace {
// How long an idle worker watches for new work before it sleeps.
constexpr std::chrono::microseconds kIdleSpin{100};

// A hint to the processor inside a waiting loop.
void relax_processor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The worker the current thread is, if any, as an opaque pointer; the pool
// checks that it is one of its own before using it.
thread_local void* tls_worker = nullptr;
}  // namespace

ThreadPool::ThreadPool(std::size_t workers) {
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        auto worker = std::make_unique<Worker>();
        worker->pool = this;
        worker->index = i;
        workers_.push_back(std::move(worker));
    }
}

namespace {

// Address space a new thread needs besides its stack: its thread-local data,
// allocated by the C library on the thread's first use of it. If that
// allocation fails the C library ends the process, so a thread is started
// only while there is room for its stack and this much more.
constexpr std::size_t kThreadHeadroom = std::size_t{16} << 20;

std::size_t default_stack_size() {
    pthread_attr_t attributes;
    std::size_t size = std::size_t{8} << 20;
    if (pthread_getattr_default_np(&attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    return size;
}

// Whether `bytes` of address space can still be mapped right now. A capped
// address space (ulimit -v) otherwise lets a thread's stack fit exactly and
// then kills the process on that thread's first thread-local allocation.
bool address_space_available(std::size_t bytes) {
    void* probe = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return false;
    munmap(probe, bytes);
    return true;
}

}  // namespace

Result<std::unique_ptr<ThreadPool>> ThreadPool::start(std::size_t workers, std::uint64_t requested) {
    std::unique_ptr<ThreadPool> pool(new ThreadPool(workers == 0 ? 1 : workers));
    pool->threads_.reserve(pool->workers_.size());
    const std::size_t needed = default_stack_size() + kThreadHeadroom;
    const auto failure = [&](const std::string& reason) {
        // Dropping `pool` stops and joins the threads that did start.
        return fail("could not start " + std::to_string(requested) + " worker threads: " + reason);
    };
    for (auto& worker : pool->workers_) {
        if (!address_space_available(needed)) return failure(std::generic_category().message(ENOMEM));
        try {
            pool->threads_.emplace_back([self = pool.get(), w = worker.get()] { self->worker_main(*w); });
        } catch (const std::system_error& error) {
            return failure(error.what());
        }
        // One thread at a time: the next probe then sees the memory this
        // worker's set-up took.
        std::unique_lock lock(pool->sleep_mutex_);
        pool->worker_ready_.wait(lock, [&] { return pool->workers_ready_ == pool->threads_.size(); });
    }
    return pool;
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(sleep_mutex_);
        stopping_ = true;
        ++work_epoch_;  // a worker watching for work sees the stop at once
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

ThreadPool::Worker* ThreadPool::current_worker_of(const ThreadPool* pool) {
    auto* worker = static_cast<Worker*>(tls_worker);
    return worker != nullptr && worker->pool == pool ? worker : nullptr;
}

ThreadPool* ThreadPool::current() {
    auto* worker = static_cast<Worker*>(tls_worker);
    return worker != nullptr ? worker->pool : nullptr;
}

bool ThreadPool::new_work_soon(std::uint64_t seen) const {
    const auto give_up = std::chrono::steady_clock::now() + kIdleSpin;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (work_epoch_.load(std::memory_order_acquire) != seen) return true;
            relax_processor();
        }
        if (std::chrono::steady_clock::now() >= give_up) return false;
        // Other threads may be waiting for a processor (the caller that
        // gets the result, on a machine with as many workers as cores).
        std::this_thread::yield();
    }
}

void ThreadPool::worker_main(Worker& self) {
    // A job's std::bad_alloc is carried back to the waiting thread; throwing
    // it must not need memory.
    prepare_thread_for_exceptions();
    tls_worker = &self;
    {
        std::lock_guard lock(sleep_mutex_);
        ++workers_ready_;
    }
    worker_ready_.notify_all();
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(sleep_mutex_);
            if (stopping_) break;
            seen = work_epoch_;
        }
        if (Job* job = find_work(self)) {
            execute(*job, &self);
            continue;
        }
        // A computation forks several passes in a row; waking a sleeping
        // thread takes longer than a short pass, so an idle worker first
        // watches for new work for a moment.
        if (new_work_soon(seen)) continue;
        // Whatever was queued after `seen` was read bumped the epoch, so
        // the search above cannot have missed a job we now sleep through.
        std::unique_lock lock(sleep_mutex_);
        work_ready_.wait(lock, [&] { return stopping_ || work_epoch_ != seen; });
    }
    tls_worker = nullptr;
}

Job* ThreadPool::find_work(Worker& self) {
    {
        std::lock_guard lock(self.queue_mutex);
        if (!self.queue.empty()) {
            Job* job = self.queue.back();
            self.queue.pop_back();
            return job;
        }
    }
    {
        std::lock_guard lock(injector_mutex_);
        if (!injector_.empty()) {
            Job* job = injector_.front();
            injector_.pop_front();
            return job;
        }
    }
    const std::size_t n = workers_.size();
    for (std::size_t k = 1; k < n; ++k) {
        Worker& victim = *workers_[(self.index + k) % n];
        std::lock_guard lock(victim.queue_mutex);
        if (!victim.queue.empty()) {
            Job* job = victim.queue.front();
            victim.queue.pop_front();
            return job;
        }
    }
    return nullptr;
}

void ThreadPool::execute(Job& job, const Worker* by) {
    try {
        job.run(job.origin != by);
    } catch (...) {
        job.error = std::current_exception();
    }
    {
        std::lock_guard lock(sleep_mutex_);
        job.done.store(true, std::memory_order_release);
    }
    // The job may be gone from here on; only the pool is touched.
    job_done_.notify_all();
}

void ThreadPool::push_local(Worker& self, Job& job) {
    {
        std::lock_guard lock(self.queue_mutex);
        self.queue.push_back(&job);
    }
    {
        std::lock_guard lock(sleep_mutex_);
        ++work_epoch_;
    }
    work_ready_.notify_one();
}

bool ThreadPool::pop_local_if(Worker& self, const Job& job) {
    std::lock_guard lock(self.queue_mutex);
    // Thieves take from the front, so a job that is no longer at the back
    // has been taken by one of them.
    if (self.queue.empty() || self.queue.back() != &job) return false;
    self.queue.pop_back();
    return true;
}

bool ThreadPool::done_soon(const Job& job) {
    const auto give_up = std::chrono::steady_clock::now() + kIdleSpin;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (job.done.load(std::memory_order_acquire)) return true;
            relax_processor();
        }
        if (std::chrono::steady_clock::now() >= give_up) return false;
        std::this_thread::yield();
    }
}

void ThreadPool::wait_for(Job& job, Worker* helper) {
    for (;;) {
        if (job.done.load(std::memory_order_acquire)) return;
        // A worker whose half was stolen helps with whatever is queued
        // rather than idle; once nothing is left it waits until its job is done.
        if (helper == nullptr) break;
        Job* other = find_work(*helper);
        if (other == nullptr) break;
        execute(*other, helper);
    }
    // The other half usually ends within a moment of this one; waking from
    // sleep would take longer than that.
    if (done_soon(job)) return;
    std::unique_lock lock(sleep_mutex_);
    job_done_.wait(lock, [&] { return job.done.load(std::memory_order_acquire); });
}

void ThreadPool::inject_and_wait(Job& job) {
    {
        std::lock_guard lock(injector_mutex_);
        injector_.push_back(&job);
    }
    {
        std::lock_guard lock(sleep_mutex_);
        ++work_epoch_;
    }
    work_ready_.notify_one();
    wait_for(job, nullptr);
    if (job.error) std::rethrow_exception(job.error);
}

// ---- the default pool -------------------------------------------------------------

namespace {

// A decimal count as the environment gives it; nothing for unset or
// unparsable values, which are passed over.
bool parse_count(const char* text, std::uint64_t& out) {
    if (text == nullptr) return false;
    const std::optional<std::uint64_t> count = kestrel::parse_count(text);
    if (count) out = *count;
    return count.has_value();
}

}  // namespace

std::size_t default_pool_size() {
    std::uint64_t count = 0;
    const bool has_threads = parse_count(std::getenv("RAYON_NUM_THREADS"), count);
    if (!(has_threads && count >= 1)) {
        const bool threads_zero = has_threads && count == 0;
        if (threads_zero || !parse_count(std::getenv("RAYON_RS_NUM_CPUS"), count) || count == 0)
            count = std::thread::hardware_concurrency();
    }
    if (count == 0) count = 1;
    return static_cast<std::size_t>(count < kMaxWorkers ? count : kMaxWorkers);
}

Result<ThreadPool*> default_pool() {
    // Never destroyed: its workers sleep until the process ends, and a
    // destructor run at exit would join threads the runtime may already
    // have stopped.
    static std::mutex creation;
    static ThreadPool* pool = nullptr;
    std::lock_guard lock(creation);
    if (pool == nullptr) {
        const std::size_t size = default_pool_size();
        auto started = ThreadPool::start(size, size);
        if (!started) return started.error();
        pool = started->release();
    }
    return pool;
}

}  // namespace kestrel
