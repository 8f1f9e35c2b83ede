#include "app/frame_time.h"

#include "app/command_line.h"

namespace {

// Frame 1 to the last frame --frame accepts.
int clamp_frame(long long frame) {
    if (frame < 1) {
        return 1;
    }
    return frame > max_shot_frame ? max_shot_frame : static_cast<int>(frame);
}

} // namespace

frame_time start_frame_time(int first, bool paused) {
    frame_time time;
    time.next = clamp_frame(first);
    time.paused = paused;
    return time;
}

frame_time after_drawn_frame(frame_time time) {
    time.shown = time.next;
    if (!time.paused) {
        time.next = clamp_frame(static_cast<long long>(time.next) + 1);
    }
    return time;
}

frame_time press_time_key(frame_time time, time_key key) {
    // Before the first frame is drawn, the keys go from the first one.
    long long from = time.shown >= 1 ? time.shown : time.next;
    long long to = from;
    switch (key) {
    case time_key_none:
        return time;
    case time_key_pause:
        time.paused = !time.paused;
        to = time.paused || time.shown < 1 ? from : from + 1;
        break;
    case time_key_step_forward:
        time.paused = true;
        to = from + 1;
        break;
    case time_key_step_back:
        time.paused = true;
        to = from - 1;
        break;
    case time_key_seek_forward:
        to = from + seek_frames;
        break;
    case time_key_seek_back:
        to = from - seek_frames;
        break;
    case time_key_jump_forward:
        to = from + jump_frames;
        break;
    case time_key_jump_back:
        to = from - jump_frames;
        break;
    case time_key_first_frame:
        to = 1;
        break;
    }
    time.next = clamp_frame(to);
    return time;
}
