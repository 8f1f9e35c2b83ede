// The robustness scenarios of this executable run qo.exe under Wine.
#include "robust_support.h"

viewer_platform scenario_platform() {
    return wine_platform();
}
