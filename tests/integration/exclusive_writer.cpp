// A Windows program for the wine scenarios: saves a file the way a writer
// that lets nobody else in does. exclusive_writer FILE SOURCE HOLD_MS opens
// FILE for writing with share mode 0 (no other open succeeds meanwhile),
// writes the first half of SOURCE's bytes, makes "held" in its working folder,
// waits HOLD_MS milliseconds, writes the rest and closes FILE. Exit status 0,
// or 1 with a line on stderr.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "exclusive_writer: %s failed (error %lu)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

bool write_all(HANDLE file, const char* bytes, DWORD count) {
    DWORD written = 0;
    return WriteFile(file, bytes, count, &written, nullptr) && written == count;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: exclusive_writer FILE SOURCE HOLD_MS\n");
        return 1;
    }
    std::string text;
    if (std::FILE* source = std::fopen(argv[2], "rb")) {
        char chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, source)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(source);
    } else {
        return fail("reading SOURCE");
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return fail("CreateFileA");
    }
    DWORD half = static_cast<DWORD>(text.size() / 2);
    if (!write_all(file, text.data(), half)) {
        return fail("WriteFile");
    }
    HANDLE held = CreateFileA("held", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        return fail("making held");
    }
    CloseHandle(held);
    Sleep(static_cast<DWORD>(std::atoi(argv[3])));
    if (!write_all(file, text.data() + half, static_cast<DWORD>(text.size()) - half)) {
        return fail("WriteFile");
    }
    return CloseHandle(file) ? 0 : fail("CloseHandle");
}
