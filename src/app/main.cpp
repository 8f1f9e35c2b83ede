// qo: a live GLSL shader viewer. Builds a program from vs.fx and ps.fx in
// the working directory, draws it over the whole window every frame, rebuilds
// it while F5 is held and ends on Esc or when the window is closed.
#include "app/main_loop.h"
#include "app/process.h"
#include "display/display.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    prepare_process();
    int status = open_display();
    if (status == 0) {
        status = require_opengl_2();
    }
    if (status == 0) {
        status = run_main_loop();
    }
    close_display();
    return status;
}
