#include "app/process.h"

void prepare_process(void) {
    // Nothing to do on Windows: writing to a closed standard output fails
    // quietly without a signal, and standard output stays in text mode so
    // that the build lines end in CR LF like every console program's.
}
