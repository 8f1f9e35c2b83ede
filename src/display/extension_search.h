// Plain substring search over an extension string, as used to decide on the
// swap-control extension. Pure: no window-system calls, so unit tests reach it.
#pragma once

// 1 when `name` occurs anywhere in `extensions` (a longer name that begins
// with `name` counts too); 0 when it does not or when `extensions` is null,
// which is how a failed glGetString reports itself.
int extension_offered(const char* extensions, const char* name);
