// Builds the GLSL program from "vs.fx" and "ps.fx" in the working directory.
#pragma once

#include "shader/gl_entry_points.h"

// The objects of the latest build; 0 before the first one. After a failed
// link program_object still names the failed program (its number is the one
// printed), which is deleted by then.
extern GLuint_t program_object;
extern GLuint_t vertex_shader_object;
extern GLuint_t fragment_shader_object;
// The last program whose link succeeded, which the frame draws with; 0 while
// no build has linked.
extern GLuint_t drawing_program;

// Resolves the entry points, creates the program and its two shaders from
// the files, compiles, attaches (fragment shader first) and links, and
// writes "%d\n" with the program number and "prog:%s\n" with its link log to
// standard output (build_output.h). A program that linked becomes the
// drawing program and the one before it is deleted; one that did not is
// deleted at once and the drawing program stays. Writes each shader's
// non-empty compile log and each unreadable file on stderr.
// Returns 0, or 1 when the GL lacks an entry point (nothing is then called).
int build_shader_program(void);

// Deletes the two shader objects of the latest build.
void release_shaders(void);
