// The viewer's time: where it starts (--frame, --paused), what the time keys
// do to it, and the queue the display fills with them.
#include "app/command_line.h"
#include "app/frame_time.h"
#include "display/time_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

command_line parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "qo");
    return parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

const char* key_name(time_key key) {
    switch (key) {
    case time_key_none:
        return "none";
    case time_key_pause:
        return "Space";
    case time_key_step_forward:
        return ".";
    case time_key_step_back:
        return ",";
    case time_key_seek_forward:
        return "Right";
    case time_key_seek_back:
        return "Left";
    case time_key_jump_forward:
        return "Up";
    case time_key_jump_back:
        return "Down";
    case time_key_first_frame:
        return "Home";
    }
    return "?";
}

// Draws one frame: returns the frame drawn.
int draw(frame_time* time) {
    int drawn = time->next;
    *time = after_drawn_frame(*time);
    return drawn;
}

} // namespace

// --frame N and --paused start the viewer; without them it starts running
// at frame 1, as it always did.
TEST(FrameTime, ViewerStartFromTheCommandLine) {
    struct Case {
        std::vector<const char*> arguments;
        int first;
        bool paused;
        const char* folder;
    };
    const Case cases[] = {
        {{}, 1, false, nullptr},
        {{"--paused"}, 1, true, nullptr},
        {{"--frame", "2400"}, 2400, false, nullptr},
        {{"dir", "--paused", "--frame", "2400", "--watch"}, 2400, true, "dir"},
        {{"--frame", "2147483647", "--paused"}, 2147483647, true, nullptr},
    };
    for (const Case& c : cases) {
        command_line line = parse(c.arguments);
        std::string shown = "qo";
        for (const char* argument : c.arguments) {
            shown += std::string(" [") + argument + "]";
        }
        SCOPED_TRACE(shown);
        ASSERT_EQ(line.action, command_run) << line.error;
        EXPECT_STREQ(line.folder, c.folder);
        frame_time time = start_frame_time(line.shot_frame, line.paused);
        EXPECT_EQ(time.shown, 0);
        // Paused or not, the first frame drawn is N; running, N + 1 follows.
        EXPECT_EQ(draw(&time), c.first);
        EXPECT_EQ(time.paused, c.paused);
        int second = c.paused || c.first == max_shot_frame ? c.first : c.first + 1;
        EXPECT_EQ(draw(&time), second);
        EXPECT_EQ(time.shown, second);
    }
}

// Sequences of keys, each pressed with the frame before it on screen, and
// the frame drawn after each: steps and seeks go from the frame on screen,
// clamp at 1 and at the last frame, and only Space, '.' and ',' change the
// pause state.
TEST(FrameTime, KeySequences) {
    struct Step {
        time_key key;
        int drawn; // the frame drawn right after the key
        bool paused;
    };
    struct Case {
        const char* name;
        int first;
        bool paused;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"paused at 2400",
         2400,
         true,
         {{time_key_step_forward, 2401, true},
          {time_key_step_back, 2400, true},
          {time_key_step_back, 2399, true},
          {time_key_seek_forward, 2699, true},
          {time_key_seek_back, 2399, true},
          {time_key_jump_forward, 5999, true},
          {time_key_jump_back, 2399, true},
          {time_key_jump_back, 1, true},
          {time_key_step_back, 1, true},
          {time_key_seek_back, 1, true},
          {time_key_seek_forward, 301, true},
          {time_key_first_frame, 1, true}}},
        {"running from 1",
         1,
         false,
         {{time_key_none, 2, false},
          {time_key_seek_forward, 302, false},
          {time_key_none, 303, false},
          {time_key_pause, 303, true},
          {time_key_none, 303, true},
          {time_key_pause, 304, false},
          {time_key_none, 305, false},
          {time_key_step_forward, 306, true},
          {time_key_none, 306, true},
          {time_key_pause, 307, false},
          {time_key_step_back, 306, true},
          {time_key_first_frame, 1, true},
          {time_key_pause, 2, false},
          {time_key_jump_back, 1, false},
          {time_key_none, 2, false},
          {time_key_first_frame, 1, false},
          {time_key_none, 2, false}}},
        {"at the last frame",
         max_shot_frame - 1,
         false,
         {{time_key_none, max_shot_frame, false},
          {time_key_none, max_shot_frame, false},
          {time_key_step_forward, max_shot_frame, true},
          {time_key_seek_forward, max_shot_frame, true},
          {time_key_jump_forward, max_shot_frame, true},
          {time_key_step_back, max_shot_frame - 1, true},
          {time_key_jump_forward, max_shot_frame, true},
          {time_key_jump_back, max_shot_frame - 3600, true},
          {time_key_pause, max_shot_frame - 3599, false},
          {time_key_seek_forward, max_shot_frame - 3299, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        frame_time time = start_frame_time(c.first, c.paused);
        draw(&time);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + key_name(step.key));
            time = press_time_key(time, step.key);
            EXPECT_EQ(draw(&time), step.drawn);
            EXPECT_EQ(time.shown, step.drawn);
            EXPECT_EQ(time.paused, step.paused);
        }
    }
}

// The display's queue hands the presses back in order, once each, also
// across the end of its ring, and drops what comes beyond its capacity.
TEST(FrameTime, KeyQueueKeepsOrderAndDropsBeyondItsCapacity) {
    ASSERT_EQ(take_time_key(), time_key_none);
    const time_key keys[] = {time_key_pause,        time_key_step_forward, time_key_step_back,
                             time_key_seek_forward, time_key_seek_back,    time_key_jump_forward,
                             time_key_jump_back,    time_key_first_frame};
    constexpr int kinds = sizeof keys / sizeof keys[0];
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Three presses, taken: the next round's start further along the ring.
        for (int i = 0; i < 3; ++i) {
            queue_time_key(keys[(round + i) % kinds]);
        }
        queue_time_key(time_key_none);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(take_time_key(), keys[(round + i) % kinds]);
        }
        EXPECT_EQ(take_time_key(), time_key_none);
        // Two more than it holds: the first ones are kept.
        for (int i = 0; i < time_key_queue_capacity + 2; ++i) {
            queue_time_key(keys[(round + i) % kinds]);
        }
        for (int i = 0; i < time_key_queue_capacity; ++i) {
            EXPECT_EQ(take_time_key(), keys[(round + i) % kinds]) << "press " << i;
        }
        EXPECT_EQ(take_time_key(), time_key_none);
    }
}
