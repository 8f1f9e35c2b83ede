// Builds the GLSL program from "vs.fx" and "ps.fx" in the working directory.
#pragma once

#include "shader/gl_entry_points.h"

// The objects of the latest build; 0 before the first one.
extern GLuint_t program_object;
extern GLuint_t vertex_shader_object;
extern GLuint_t fragment_shader_object;

// Resolves the entry points, creates the program and its two shaders from
// the files, compiles, attaches (fragment shader first) and links, and
// prints "%d\n" with the program number and "prog:%s\n" with its link log.
// Deletes the previous build's program once the new one exists. Writes each
// shader's non-empty compile log and each unreadable file on stderr.
// Returns 0, or 1 when the GL lacks an entry point (nothing is then called).
int build_shader_program(void);

// Deletes the two shader objects of the latest build.
void release_shaders(void);
