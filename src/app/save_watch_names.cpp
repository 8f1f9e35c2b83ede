#include "app/save_watch.h"

namespace {

const char* const watched_names[2] = {"vs.fx", "ps.fx"};
constexpr std::size_t watched_length = 5;

} // namespace

int watched_file_index(const char* name, std::size_t length) {
    std::size_t end = 0;
    while (end < length && name[end] != '\0') {
        ++end;
    }
    if (end != watched_length) {
        return -1;
    }
    for (int index = 0; index < 2; ++index) {
        bool same = true;
        for (std::size_t i = 0; i < watched_length && same; ++i) {
            same = name[i] == watched_names[index][i];
        }
        if (same) {
            return index;
        }
    }
    return -1;
}

int watched_file_index_utf16(const std::uint16_t* name, std::size_t units) {
    if (units != watched_length) {
        return -1;
    }
    for (int index = 0; index < 2; ++index) {
        bool same = true;
        for (std::size_t i = 0; i < watched_length && same; ++i) {
            std::uint16_t unit = name[i];
            if (unit >= 'A' && unit <= 'Z') {
                unit = static_cast<std::uint16_t>(unit - 'A' + 'a');
            }
            same = unit == static_cast<unsigned char>(watched_names[index][i]);
        }
        if (same) {
            return index;
        }
    }
    return -1;
}
