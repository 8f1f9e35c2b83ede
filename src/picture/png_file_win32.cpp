// The picture file on Windows: the Windows Imaging Component's PNG encoder
// (part of Windows since Vista and of Wine, so qo.exe stays one file with
// nothing cross-built beside it) encodes into a buffer of qo's own, which
// goes to a new file beside the target (named as GetTempFileName names
// them), is flushed to the disk, and replaces the target with MoveFileEx.
// The new file exists only while its bytes are written: a stop request
// meanwhile (Ctrl+C) removes it, the encoder never holds it.
//
// A target that exists and is not a file on a disk (a device such as NUL or
// CON, a pipe) is written to directly: it cannot be replaced.
#include "picture/png_file.h"

#include "output/stop_files.h"
#include "picture/win32_error.h"

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
#include <vector>

namespace {

// The picture in WIC's byte order (blue, green, red), and the PNG: at worst
// the rows (a filter byte each) stored, 5 bytes per block of at most 65535,
// with the chunks around them. One each per thread, so that pictures may be
// written on several threads at once.
thread_local std::vector<unsigned char> bgr_pixels;
thread_local std::vector<unsigned char> png_bytes;

// "qo: cannot write FILE: <the system's text> (error N)" for a Win32 error
// or an HRESULT.
int report(const char* file, DWORD code) {
    char reason[256];
    int length = win32_error_text(code, reason, sizeof reason);
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

// Encodes the picture as PNG into png_bytes; `size` gets its length.
HRESULT encode_png(int width, int height, DWORD* size) {
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
        result =
            stream->InitializeFromMemory(png_bytes.data(), static_cast<DWORD>(png_bytes.size()));
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
                                    stride * static_cast<UINT>(height), bgr_pixels.data());
    }
    if (SUCCEEDED(result)) {
        result = frame->Commit();
    }
    if (SUCCEEDED(result)) {
        result = encoder->Commit();
    }
    ULARGE_INTEGER end;
    end.QuadPart = 0;
    if (SUCCEEDED(result)) {
        LARGE_INTEGER here;
        here.QuadPart = 0;
        result = stream->Seek(here, STREAM_SEEK_CUR, &end);
    }
    *size = static_cast<DWORD>(end.QuadPart);
    release(options);
    release(frame);
    release(encoder);
    release(stream);
    release(factory);
    return result;
}

// Writes all `count` bytes to `file`; false with GetLastError set when it
// can't.
bool write_all(HANDLE file, const unsigned char* bytes, DWORD count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, count, &written, nullptr)) {
            return false;
        }
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

// Into `path` as it is when it names a device or a pipe that is there
// already: `*written` says whether it did (the result is then the status).
int write_to_device(const char* path, const char* file, DWORD size, bool* written) {
    *written = false;
    HANDLE device = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (GetFileType(device) == FILE_TYPE_DISK) {
        CloseHandle(device);
        return 0;
    }
    *written = true;
    bool ok = write_all(device, png_bytes.data(), size);
    DWORD error = GetLastError();
    CloseHandle(device);
    return ok ? 0 : report(file, error);
}

// A new file beside the target, `folder` being the target's folder with its
// separator: a name of GetTempFileName's kind ("qoXXXX.tmp") is chosen and
// named for a stop to remove before the file is made, so that a stop at
// any moment leaves none behind. Deletion is shared so that a stop can
// remove it while it is open. INVALID_HANDLE_VALUE with GetLastError set
// when none can be made.
HANDLE make_temporary_file(const char* folder, char* temporary) {
    UINT start = (GetTickCount() ^ (GetCurrentProcessId() << 4)) & 0xFFFF;
    for (UINT i = 0; i < 0x10000; ++i) {
        UINT unique = (start + i) & 0xFFFF;
        if (unique == 0) {
            continue;
        }
        // With a number of its own GetTempFileName only forms the name.
        if (GetTempFileNameA(folder, "qo", unique, temporary) == 0) {
            return INVALID_HANDLE_VALUE;
        }
        if (!name_stop_file(temporary)) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE made = CreateFileA(temporary, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        stop_file_made();
        if (made != INVALID_HANDLE_VALUE) {
            return made;
        }
        clear_stop_file();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

// Into a new file beside `path`, flushed to the disk, then moved over it.
int replace_file(const char* path, const char* file, DWORD size) {
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
    HANDLE made = make_temporary_file(folder, temporary);
    if (made == INVALID_HANDLE_VALUE) {
        return report(file, GetLastError());
    }
    // As POSIX syncs before the rename: a same-volume MoveFileEx does not
    // write the data out, only the rename.
    bool ok = write_all(made, png_bytes.data(), size) && FlushFileBuffers(made);
    DWORD error = GetLastError();
    CloseHandle(made);
    if (ok && !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileA(temporary);
    }
    clear_stop_file();
    return ok ? 0 : report(file, error);
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
    if (width <= 0 || height <= 0) {
        std::fprintf(stderr, "qo: cannot write %s: the picture is empty\n", file);
        return 1;
    }
    size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    size_t rows = bytes + static_cast<size_t>(height);
    if (bgr_pixels.size() < bytes) {
        bgr_pixels.resize(bytes);
    }
    if (png_bytes.size() < rows + rows / 8192 + 4096) {
        png_bytes.resize(rows + rows / 8192 + 4096);
    }
    for (size_t i = 0; i < bytes; i += 3) {
        bgr_pixels[i] = rgb[i + 2];
        bgr_pixels[i + 1] = rgb[i + 1];
        bgr_pixels[i + 2] = rgb[i];
    }
    HRESULT initialized = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    DWORD size = 0;
    HRESULT result = encode_png(width, height, &size);
    if (SUCCEEDED(initialized)) {
        CoUninitialize();
    }
    if (FAILED(result)) {
        return report(file, static_cast<DWORD>(result));
    }

    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::fprintf(stderr, "qo: cannot write %s: it is a folder\n", file);
        return 1;
    }
    bool written = false;
    int status = write_to_device(path, file, size, &written);
    return written ? status : replace_file(path, file, size);
}
