// The robustness scenarios of this executable run the Linux viewer.
#include "robust_support.h"

viewer_platform scenario_platform() {
    return linux_platform();
}
