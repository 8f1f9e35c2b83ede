// The GL version a context reports, read from its version string.
#pragma once

// Reads "major.minor" from the start of a GL version string such as
// "4.5 (Compatibility Profile) Mesa 22.3.6". Gives 0 and 0 when the string is
// null or does not start with a version number.
void parse_gl_version(const char* version, int* major, int* minor);
