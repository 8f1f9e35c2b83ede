// The file a stop removes: the name and who holds it, the same on every
// platform.
#include "output/stop_files.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Who holds the name: nobody; the writer, while it names and makes the file
// (a stop waits); the stop, for good.
enum { name_free = 0, name_held_by_writer = 1, name_held_by_stop = 2 };
std::atomic<int> holder{name_free};

// The file named; written only by whoever holds it. `named` is set once the
// name is whole.
char name[stop_file_capacity];
std::atomic<bool> named{false};

// What a stop finishes first, or nullptr.
std::atomic<void (*)(void)> action_at_stop{nullptr};

// How long a stop waits for a file being made.
constexpr int making_wait_ms = 500;

bool take_name(int taker) {
    int expected = name_free;
    return holder.compare_exchange_strong(expected, taker);
}

} // namespace

bool name_stop_file(const char* path) {
    size_t length = std::strlen(path);
    if (length >= sizeof name || !take_name(name_held_by_writer)) {
        return false;
    }
    std::memcpy(name, path, length + 1);
    named.store(true);
    return true;
}

void stop_file_made(void) {
    int expected = name_held_by_writer;
    holder.compare_exchange_strong(expected, name_free);
}

void clear_stop_file(void) {
    if (take_name(name_held_by_writer)) {
        named.store(false);
        holder.store(name_free);
    }
}

void register_stop_action(void (*action)(void)) {
    action_at_stop.store(action);
}

void remove_stop_file(void) {
    void (*action)(void) = action_at_stop.load();
    if (action != nullptr) {
        action();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(making_wait_ms);
    while (!take_name(name_held_by_stop)) {
        if (holder.load() == name_held_by_stop) {
            return; // another stop has it
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            // Made too slowly (a file system that hangs): removed as far as
            // it is there now, and nothing more is named.
            if (holder.exchange(name_held_by_stop) == name_held_by_stop) {
                return;
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (named.load()) {
        delete_stop_file(name);
    }
}
