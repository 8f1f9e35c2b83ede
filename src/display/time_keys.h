// The time keys: what the display backends saw pressed in qo's window, in
// order, for the main loop to take one per frame. Pure: no window-system
// calls, so that the queue is the same on every platform.
#pragma once

enum time_key {
    time_key_none,
    time_key_pause,        // Space: pause or resume
    time_key_step_forward, // '.': one frame on, and pause
    time_key_step_back,    // ',': one frame back, and pause
    time_key_seek_forward, // Right: 300 frames (5 s) on
    time_key_seek_back,    // Left: 300 frames back
    time_key_jump_forward, // Up: 3600 frames (60 s) on
    time_key_jump_back,    // Down: 3600 frames back
    time_key_first_frame,  // Home: back to frame 1
};

// How many presses wait at most; a press beyond is dropped (a key held down
// through frames far slower than its repeat must not run on after its
// release).
constexpr int time_key_queue_capacity = 8;

// Called by the backend for each press (repeats included) of a time key.
void queue_time_key(time_key key);

// The oldest press not taken yet, or time_key_none.
time_key take_time_key(void);
