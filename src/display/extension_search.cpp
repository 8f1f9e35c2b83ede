#include "display/extension_search.h"

#include <cstring>

int extension_offered(const char* extensions, const char* name) {
    if (extensions == nullptr || name == nullptr) {
        return 0;
    }
    return std::strstr(extensions, name) != nullptr ? 1 : 0;
}
