// The viewer's time: which frame is on screen, which one is drawn next, and
// whether the clock is paused; what each time key does to it. Pure: free of
// GL and window-system calls.
#pragma once

#include "display/time_keys.h"

// The frames the keys move by: 5 s (Right, Left) and 60 s (Up, Down) at 60
// frames per second.
constexpr int seek_frames = 300;
constexpr int jump_frames = 3600;

struct frame_time {
    int shown = 0;       // the frame on screen; 0 before the first is drawn
    int next = 1;        // the frame the next draw draws, 1 to max_shot_frame
    bool paused = false; // while paused the next draw draws the shown frame again
};

// Before the first frame: `first` (1 to the last frame --frame accepts) is
// drawn first, running or paused.
frame_time start_frame_time(int first, bool paused);

// After `time.next` was drawn: it is on screen, and when running the next
// draw draws the frame after it (the last frame stays where it is).
frame_time after_drawn_frame(frame_time time);

// A time key pressed while `time.shown` is on screen: the frame the next
// draw draws and the pause state. Steps and seeks go from the shown frame
// and stop at frame 1 and at the last frame; only Space, '.' and ','
// change the pause state. Space's resume draws the frame after the shown
// one, as the running clock would have.
frame_time press_time_key(frame_time time, time_key key);
