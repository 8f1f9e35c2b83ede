#include "display/time_keys.h"

namespace {

// A ring of the presses not taken yet.
struct {
    time_key keys[time_key_queue_capacity];
    int first;
    int count;
} queue;

} // namespace

void queue_time_key(time_key key) {
    if (key == time_key_none || queue.count == time_key_queue_capacity) {
        return;
    }
    queue.keys[(queue.first + queue.count) % time_key_queue_capacity] = key;
    ++queue.count;
}

time_key take_time_key(void) {
    if (queue.count == 0) {
        return time_key_none;
    }
    time_key key = queue.keys[queue.first];
    queue.first = (queue.first + 1) % time_key_queue_capacity;
    --queue.count;
    return key;
}
