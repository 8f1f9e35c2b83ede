// What the swap hook (loaded into the program under measure with
// LD_PRELOAD) records and the bench runner reads: one file both map shared.
//
// The hook appends the CLOCK_MONOTONIC time of every returned
// glXSwapBuffers and of every glLinkProgram call; the runner asks for the
// window's close through quit_after.
#pragma once

#include <atomic>
#include <cstdint>

// Enough for minutes of frames at a few thousand per second.
constexpr uint64_t bench_record_capacity = 1u << 18;

struct bench_counters {
    std::atomic<uint64_t> swaps; // glXSwapBuffers calls returned
    std::atomic<uint64_t> links; // glLinkProgram calls returned
    // When nonzero: after the swap that brings `swaps` to this count, the hook
    // sends the window a WM_DELETE_WINDOW request (once).
    std::atomic<uint64_t> quit_after;
    std::atomic<uint64_t> quit_sent;
    std::atomic<int64_t> first_swap_cpu_ns; // the process's CPU time at the first swap
    int64_t swap_ns[bench_record_capacity]; // [i]: when swap i+1 returned
    int64_t link_ns[bench_record_capacity]; // [i]: when link i+1 returned
};

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "the counters are shared between processes");

// The environment variables the hook reads.
constexpr const char* bench_shared_file_variable = "QO_BENCH_SHARED";
constexpr const char* bench_quit_after_variable = "QO_BENCH_QUIT_AFTER";
