// A stand-in for ffmpeg.exe in the Windows scenarios of qo --record (Wine
// has no ffmpeg.exe): built as ffmpeg.exe and put on PATH, it checks the
// command qo starts it with and the byte stream on its standard input, and
// writes what it saw into the output file in place of a video:
//   "rgb24 WxH at 60: N frames: a b c ...\n"
// with each frame's number read from the middle pixel as the clock shader
// of the tests writes it (red + 256 green). A bad command or a stream that
// is not whole frames: a line on stderr and exit status 2. With
// QO_STAND_IN_FAIL set it fails as an encoder would: two lines on stderr
// and exit status 3, without reading its input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>

namespace {

// The argument after `name`, or nullptr.
const char* value_of(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return nullptr;
}

int refuse(const char* why) {
    std::fprintf(stderr, "stand-in: %s\n", why);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QO_STAND_IN_FAIL") != nullptr) {
        std::fprintf(stderr, "stand-in: first line\nstand-in: failing as asked\n");
        return 3;
    }
    const char* input_format = value_of(argc, argv, "-f");
    const char* pixels = value_of(argc, argv, "-pix_fmt");
    const char* size = value_of(argc, argv, "-s");
    const char* rate = value_of(argc, argv, "-framerate");
    const char* input = value_of(argc, argv, "-i");
    const char* output = argv[argc - 1];
    int width = 0;
    int height = 0;
    if (input_format == nullptr || std::strcmp(input_format, "rawvideo") != 0 ||
        pixels == nullptr || std::strcmp(pixels, "rgb24") != 0 || rate == nullptr ||
        std::strcmp(rate, "60") != 0 || input == nullptr || std::strcmp(input, "-") != 0) {
        return refuse("not raw rgb24 frames at 60 a second on standard input");
    }
    if (size == nullptr || std::sscanf(size, "%dx%d", &width, &height) != 2 || width <= 0 ||
        height <= 0) {
        return refuse("no size");
    }
    if (std::strncmp(output, "file:", 5) != 0) {
        return refuse("the output is not a file: name");
    }
    _setmode(_fileno(stdin), _O_BINARY);
    size_t frame_bytes = static_cast<size_t>(width) * height * 3;
    std::vector<unsigned char> frame(frame_bytes);
    std::string numbers;
    long frames = 0;
    size_t filled = 0;
    for (;;) {
        size_t count = std::fread(frame.data() + filled, 1, frame_bytes - filled, stdin);
        filled += count;
        if (filled == frame_bytes) {
            size_t middle = (static_cast<size_t>(height / 2) * width + width / 2) * 3;
            numbers += " " + std::to_string(frame[middle] + 256 * frame[middle + 1]);
            ++frames;
            filled = 0;
        }
        if (count == 0) {
            break;
        }
    }
    if (filled != 0) {
        return refuse("the stream ends inside a frame");
    }
    FILE* video = std::fopen(output + 5, "wb");
    if (video == nullptr) {
        return refuse("cannot write the output");
    }
    std::fprintf(video, "rgb24 %dx%d at 60: %ld frames:%s\n", width, height, frames,
                 numbers.c_str());
    return std::fclose(video) == 0 ? 0 : 2;
}
