// `qo --record FILE [--frames A-B] [--size WxH]`: frames A to B of the
// viewer drawn off screen, one per frame of its clock, written as a PNG
// sequence or piped to ffmpeg as a video.
#pragma once

#include "app/command_line.h"

// Before anything else, in the folder qo was started in: checks FILE (its
// kind, the size for that kind, ffmpeg on PATH for a video) and names the
// files from this folder, not from DIR. Returns -1 to go on, or the exit
// status after one stderr line: usage_error_status for a FILE or size qo
// cannot record, 1 when ffmpeg is missing or FILE's name cannot be made
// whole.
int prepare_record(const command_line& line);

// In the shader folder, after prepare_record: builds the program as the
// viewer does (its two stdout lines), then draws the frames and writes them,
// the writing on a thread of its own while the next frame is drawn. On a
// terminal, one progress line on stderr. Returns 0, or 1 after stderr lines
// (no context, a program that did not link: nothing written; a file that
// cannot be written; ffmpeg failed: no video left). A stop request ends the
// process by its signal, every PNG written so far whole and a video
// finished with the frames it has.
int record_frames(void);
