// Files that are not regular files, as they exist on Windows: device names
// that open a device from any folder, a directory, a pipe. None may block the
// reader or be read; names that only look like devices are ordinary files.
#include "shader/file_reader.h"

#include "temp_folder.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <windows.h>

namespace {
class FileReaderWin32 : public TempFolderTest {};
} // namespace

TEST_F(FileReaderWin32, DeviceNamesAreRefusedWithoutOpening) {
    // Reading CON would wait for console input, CONIN$ too; the others
    // would give endless or empty device data.
    const char* paths[] = {"CON",      "con",     "CON.fx", "NUL",       "nul.fx",
                           "sub\\NUL", "sub/aux", "COM1",   "lpt9.x",    "CONIN$",
                           "conout$",  "PRN .fx", "C:NUL",  "\\\\.\\NUL"};
    for (const char* path : paths) {
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(load_text_file(path, buffer, sizeof buffer), -1) << path;
        EXPECT_STREQ(load_failure_reason(), "not a regular file") << path;
        EXPECT_EQ(buffer[0], '#') << "nothing is read from " << path;
    }
}

TEST_F(FileReaderWin32, NamesThatOnlyLookLikeDevicesAreReadAsFiles) {
    const char* names[] = {"console.fx", "com10.fx", "lpt.fx", "nulx.fx", "xcon", "aux1.fx"};
    for (const char* name : names) {
        write_file(name, name);
        char buffer[64];
        ASSERT_EQ(load_text_file(name, buffer, sizeof buffer), static_cast<int>(std::strlen(name)))
            << name << ": " << load_failure_reason();
        EXPECT_EQ(std::string(buffer, std::strlen(name)), name);
    }
}

TEST_F(FileReaderWin32, DirectoryIsRefusedAsADirectory) {
    std::filesystem::create_directory("ps.fx");
    char buffer[16];
    EXPECT_EQ(load_text_file("ps.fx", buffer, sizeof buffer), -1);
    EXPECT_STREQ(load_failure_reason(), "Is a directory");
}

TEST_F(FileReaderWin32, PipeWithNothingWrittenIsRefusedWithoutBlocking) {
    // A pipe opens like a file but a read waits until the other end writes.
    std::string name = "\\\\.\\pipe\\qo-unit-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                     4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    char buffer[16];
    EXPECT_EQ(load_text_file(name.c_str(), buffer, sizeof buffer), -1);
    EXPECT_STREQ(load_failure_reason(), "not a regular file");
    CloseHandle(server);
}
