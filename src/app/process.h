// Process-level set-up that differs between platforms; one file each.
#pragma once

// Makes the process robust against its surroundings before anything else
// runs (on POSIX: a closed standard output must not kill the viewer).
void prepare_process(void);
