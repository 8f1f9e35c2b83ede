// The picture file on Windows: the Windows Imaging Component's PNG encoder
// (part of Windows since Vista and of Wine, so qo.exe stays one file with
// nothing cross-built beside it) writes into a new file beside the target
// (GetTempFileName), which then replaces the target with MoveFileEx.
#include "picture/png_file.h"

#include "output/stop_files.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <wincodec.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int max_pixels = 800 * 600;
// The picture in WIC's byte order (blue, green, red).
unsigned char bgr_pixels[max_pixels * 3];

// "qo: cannot write FILE: <the system's text> (error N)" for a Win32 error
// or an HRESULT.
int report(const char* file, DWORD code) {
    char reason[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reason, sizeof reason, nullptr);
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                          reason[length - 1] == ' ' || reason[length - 1] == '.')) {
        reason[--length] = '\0';
    }
    if (length == 0) {
        std::fprintf(stderr, "qo: cannot write %s: error 0x%08lX\n", file,
                     static_cast<unsigned long>(code));
    } else {
        std::fprintf(stderr, "qo: cannot write %s: %s (error 0x%08lX)\n", file, reason,
                     static_cast<unsigned long>(code));
    }
    return 1;
}

template <typename T> void release(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

// Encodes the picture as PNG into the file `wide_path` (which exists).
HRESULT encode_png(const wchar_t* wide_path, int width, int height) {
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    IPropertyBag2* options = nullptr;
    HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(result)) {
        result = factory->CreateStream(&stream);
    }
    if (SUCCEEDED(result)) {
        result = stream->InitializeFromFilename(wide_path, GENERIC_WRITE);
    }
    if (SUCCEEDED(result)) {
        result = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    }
    if (SUCCEEDED(result)) {
        result = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    }
    if (SUCCEEDED(result)) {
        result = encoder->CreateNewFrame(&frame, &options);
    }
    if (SUCCEEDED(result)) {
        result = frame->Initialize(options);
    }
    if (SUCCEEDED(result)) {
        result = frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height));
    }
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(result)) {
        result = frame->SetPixelFormat(&format);
    }
    if (SUCCEEDED(result) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) {
        result = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    }
    if (SUCCEEDED(result)) {
        UINT stride = static_cast<UINT>(width) * 3;
        result = frame->WritePixels(static_cast<UINT>(height), stride,
                                    stride * static_cast<UINT>(height), bgr_pixels);
    }
    if (SUCCEEDED(result)) {
        result = frame->Commit();
    }
    if (SUCCEEDED(result)) {
        result = encoder->Commit();
    }
    release(options);
    release(frame);
    release(encoder);
    release(stream); // closes the file
    release(factory);
    return result;
}

} // namespace

int resolve_png_path(const char* file, char* path, int capacity) {
    DWORD length = GetFullPathNameA(file, static_cast<DWORD>(capacity), path, nullptr);
    if (length == 0) {
        return report(file, GetLastError());
    }
    if (length >= static_cast<DWORD>(capacity)) {
        return report(file, ERROR_FILENAME_EXCED_RANGE);
    }
    return 0;
}

int write_png_file(const char* path, const char* file, const unsigned char* rgb, int width,
                   int height) {
    if (width <= 0 || height <= 0 || static_cast<long>(width) * height > max_pixels) {
        std::fprintf(stderr, "qo: cannot write %s: the picture is larger than qo's buffer\n", file);
        return 1;
    }
    for (long i = 0; i < static_cast<long>(width) * height * 3; i += 3) {
        bgr_pixels[i] = rgb[i + 2];
        bgr_pixels[i + 1] = rgb[i + 1];
        bgr_pixels[i + 2] = rgb[i];
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::fprintf(stderr, "qo: cannot write %s: it is a folder\n", file);
        return 1;
    }

    // The folder: everything before the last separator (the path is full).
    char folder[png_path_capacity];
    std::snprintf(folder, sizeof folder, "%s", path);
    char* separator = std::strrchr(folder, '\\');
    char* slash = std::strrchr(folder, '/');
    if (slash != nullptr && (separator == nullptr || slash > separator)) {
        separator = slash;
    }
    if (separator == nullptr) {
        return report(file, ERROR_INVALID_NAME);
    }
    separator[1] = '\0';
    char temporary[MAX_PATH + 16];
    if (GetTempFileNameA(folder, "qo", 0, temporary) == 0) {
        return report(file, GetLastError());
    }
    // A stop request from here on removes it (the console handler).
    register_stop_file(temporary);
    wchar_t wide_temporary[MAX_PATH + 16];
    if (MultiByteToWideChar(CP_ACP, 0, temporary, -1, wide_temporary,
                            sizeof wide_temporary / sizeof wide_temporary[0]) == 0) {
        DWORD error = GetLastError();
        DeleteFileA(temporary);
        clear_stop_file();
        return report(file, error);
    }

    HRESULT initialized = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT result = encode_png(wide_temporary, width, height);
    if (SUCCEEDED(initialized)) {
        CoUninitialize();
    }
    if (FAILED(result)) {
        DeleteFileA(temporary);
        clear_stop_file();
        return report(file, static_cast<DWORD>(result));
    }
    if (!MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileA(temporary);
        clear_stop_file();
        return report(file, error);
    }
    clear_stop_file();
    return 0;
}
