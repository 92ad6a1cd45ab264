// The work-stealing pool: fork-join results, deep nesting, exceptions, pools
// started and stopped in a row, concurrent outside callers, start-up failure.
#include <doctest/doctest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <dirent.h>
#include <stdexcept>
#include <thread>
#include <vector>

#include "parallel/pool.hpp"

using namespace kestrel;

namespace {

// Sum of [begin, end) by recursive halving, so the pool sees nested joins
// down to pieces of `grain`.
std::uint64_t split_sum(ThreadPool& pool, std::uint64_t begin, std::uint64_t end, std::uint64_t grain,
                        std::atomic<std::uint64_t>& leaves) {
    if (end - begin <= grain) {
        std::uint64_t sum = 0;
        for (std::uint64_t k = begin; k < end; ++k) sum += k;
        leaves.fetch_add(1, std::memory_order_relaxed);
        return sum;
    }
    const std::uint64_t mid = begin + (end - begin) / 2;
    std::uint64_t left = 0, right = 0;
    pool.join([&](bool) { left = split_sum(pool, begin, mid, grain, leaves); },
              [&](bool) { right = split_sum(pool, mid, end, grain, leaves); });
    return left + right;
}

std::size_t thread_count() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++n;
        closedir(dir);
    }
    return n;
}

}  // namespace

TEST_SUITE("pool") {
    TEST_CASE("fork-join sums agree with the closed form on several worker counts") {
        for (std::size_t workers : {1u, 2u, 3u, 8u}) {
            CAPTURE(workers);
            auto pool = ThreadPool::start(workers, workers);
            REQUIRE(pool.ok());
            CHECK((*pool)->size() == workers);
            for (std::uint64_t n : {0ull, 1ull, 2ull, 1000ull, 100000ull}) {
                std::atomic<std::uint64_t> leaves{0};
                const std::uint64_t sum = split_sum(**pool, 0, n, 64, leaves);
                CHECK(sum == (n == 0 ? 0 : n * (n - 1) / 2));
            }
            // Grain 1 on 4096 items: every leaf is one item, 12 levels of nesting.
            std::atomic<std::uint64_t> leaves{0};
            CHECK(split_sum(**pool, 0, 4096, 1, leaves) == 4096ull * 4095 / 2);
            CHECK(leaves.load() == 4096);
        }
    }

    TEST_CASE("moved flags: the outside caller's halves count as moved, a worker's own left half does not") {
        auto pool = ThreadPool::start(2, 2);
        REQUIRE(pool.ok());
        bool outer_left = false, outer_right = false;
        std::atomic<int> inner_left_moved{0};
        (*pool)->join(
            [&](bool moved) {
                outer_left = moved;
                (*pool)->join([&](bool m) { inner_left_moved += m ? 1 : 0; }, [](bool) {});
            },
            [&](bool moved) { outer_right = moved; });
        CHECK(outer_left);
        CHECK(outer_right);
        CHECK(inner_left_moved.load() == 0);
        CHECK(ThreadPool::current() == nullptr);
        bool inside = false;
        (*pool)->run([&](bool) { inside = ThreadPool::current() == pool->get(); });
        CHECK(inside);
    }

    TEST_CASE("a failing half is rethrown on the waiting thread after the other half has finished") {
        auto pool = ThreadPool::start(3, 3);
        REQUIRE(pool.ok());
        for (int round = 0; round < 50; ++round) {
            std::atomic<bool> right_finished{false};
            CHECK_THROWS_AS((*pool)->join([](bool) { throw std::runtime_error("left"); },
                                          [&](bool) {
                                              std::this_thread::yield();
                                              right_finished = true;
                                          }),
                            std::runtime_error);
            CHECK(right_finished.load());
            CHECK_THROWS_WITH((*pool)->join([](bool) {}, [](bool) { throw std::runtime_error("right"); }), "right");
        }
        // Still usable afterwards.
        std::atomic<std::uint64_t> leaves{0};
        CHECK(split_sum(**pool, 0, 10000, 16, leaves) == 10000ull * 9999 / 2);
    }

    TEST_CASE("many dedicated pools in a row leave no threads behind") {
        const std::size_t baseline = thread_count();
        for (int round = 0; round < 200; ++round) {
            auto pool = ThreadPool::start(1 + round % 5, 1 + round % 5);
            REQUIRE(pool.ok());
            std::atomic<std::uint64_t> leaves{0};
            if (round % 2 == 0) CHECK(split_sum(**pool, 0, 2000, 8, leaves) == 2000ull * 1999 / 2);
        }
        CHECK(thread_count() == baseline);
    }

    TEST_CASE("concurrent outside callers share the default pool") {
        auto pool = default_pool();
        REQUIRE(pool.ok());
        CHECK(default_pool().value() == *pool);  // created once
        constexpr int kCallers = 6;
        std::vector<std::uint64_t> sums(kCallers);
        std::vector<std::thread> callers;
        for (int c = 0; c < kCallers; ++c)
            callers.emplace_back([&, c] {
                std::uint64_t total = 0;
                for (int round = 0; round < 20; ++round) {
                    std::atomic<std::uint64_t> leaves{0};
                    total += split_sum(**pool, 0, 5000 + static_cast<std::uint64_t>(c), 32, leaves);
                }
                sums[static_cast<std::size_t>(c)] = total;
            });
        for (std::thread& t : callers) t.join();
        for (int c = 0; c < kCallers; ++c) {
            const std::uint64_t n = 5000 + static_cast<std::uint64_t>(c);
            CHECK(sums[static_cast<std::size_t>(c)] == 20 * (n * (n - 1) / 2));
        }
    }

    TEST_CASE("the default pool size follows the environment") {
        // default_pool_size() reads the variables on each call; the pool reads them once.
        const char* saved_threads = std::getenv("RAYON_NUM_THREADS");
        const char* saved_cpus = std::getenv("RAYON_RS_NUM_CPUS");
        const std::string keep_threads = saved_threads ? saved_threads : "", keep_cpus = saved_cpus ? saved_cpus : "";
        const std::size_t machine = std::max(1u, std::thread::hardware_concurrency());
        struct Case {
            const char* threads;
            const char* cpus;
            std::size_t expected;
        };
        const Case cases[] = {{"3", nullptr, 3},
                              {"0", "5", machine},
                              {nullptr, "5", 5},
                              {"x", "7", 7},
                              {"+4", nullptr, 4},
                              {"99999999999999999999999", nullptr, machine},
                              {"1000000", nullptr, kMaxWorkers},
                              {"", "", machine}};
        for (const Case& c : cases) {
            CAPTURE(c.threads ? c.threads : "(unset)");
            CAPTURE(c.cpus ? c.cpus : "(unset)");
            if (c.threads) setenv("RAYON_NUM_THREADS", c.threads, 1);
            else unsetenv("RAYON_NUM_THREADS");
            if (c.cpus) setenv("RAYON_RS_NUM_CPUS", c.cpus, 1);
            else unsetenv("RAYON_RS_NUM_CPUS");
            CHECK(default_pool_size() == c.expected);
        }
        if (saved_threads) setenv("RAYON_NUM_THREADS", keep_threads.c_str(), 1);
        else unsetenv("RAYON_NUM_THREADS");
        if (saved_cpus) setenv("RAYON_RS_NUM_CPUS", keep_cpus.c_str(), 1);
        else unsetenv("RAYON_RS_NUM_CPUS");
    }

}  // TEST_SUITE("pool")

// Forks, so it stays out of the ThreadSanitizer run (which does not support
// starting threads in the child of a multi-threaded process).
TEST_SUITE("startup") {
    TEST_CASE("a pool whose threads cannot all start reports the requested count and drops the started ones") {
        const pid_t child = fork();
        REQUIRE(child >= 0);
        if (child == 0) {
            // The thread limit is not enforced for root: become nobody first.
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
            rlimit limit{};
            getrlimit(RLIMIT_NPROC, &limit);
            limit.rlim_cur = 3;  // this process and two more threads
            if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(77);
            auto failed = ThreadPool::start(8, 100000);
            if (failed.ok()) _exit(10);
            const std::string expected = "could not start 100000 worker threads: ";
            if (failed.error().message.rfind(expected, 0) != 0) _exit(11);
            if (thread_count() != 1) _exit(12);
            auto small = ThreadPool::start(2, 2);  // fits under the limit: the failure left nothing behind
            if (!small.ok()) _exit(13);
            std::atomic<std::uint64_t> leaves{0};
            if (split_sum(**small, 0, 1000, 4, leaves) != 1000ull * 999 / 2) _exit(14);
            // _exit: no leak check at exit, which would itself need a thread.
            _exit(0);
        }
        int status = 0;
        REQUIRE(waitpid(child, &status, 0) == child);
        REQUIRE(WIFEXITED(status));
        const int code = WEXITSTATUS(status);
        if (code == 77) {
            MESSAGE("cannot lower the thread limit here; start-up failure not exercised");
            return;
        }
        CHECK(code == 0);
    }

}  // TEST_SUITE("startup")
