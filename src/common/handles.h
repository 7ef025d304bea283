// Ownership of every Windows handle and CRT file the plug-in opens.
//
// Contract: a UniqueHandle owns exactly one handle of its kind and closes it
// when it goes out of scope, on every return path. It is movable, never
// copyable. `receive()` hands out the address of the slot for APIs that
// return a handle through an out parameter; whatever was held is closed first.
// Kinds differ in what "no handle" is (null, or INVALID_HANDLE_VALUE for
// files and find handles), which is why each has its own traits.
#pragma once
// Winsock's header must come before windows.h brings in the old one.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle h) noexcept : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::Invalid(); }
    Handle release() noexcept { return std::exchange(h_, Traits::Invalid()); }
    void reset(Handle h = Traits::Invalid()) noexcept {
        if (h_ != Traits::Invalid()) Traits::Close(h_);
        h_ = h;
    }
    Handle* receive() noexcept { reset(); return &h_; }

private:
    Handle h_ = Traits::Invalid();
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { CloseHandle(h); }
};
// CreateFile answers INVALID_HANDLE_VALUE, not null, when it fails.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { CloseHandle(h); }
};
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { FindClose(h); }
};
struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { RegCloseKey(h); }
};
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { FreeLibrary(h); }
};
struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() noexcept { return INVALID_SOCKET; }
    static void Close(Handle h) noexcept { closesocket(h); }
};
struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { InternetCloseHandle(h); }
};
// GDI objects and the screen's device context, for the tools that draw.
struct FontTraits {
    using Handle = HFONT;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { DeleteObject(h); }
};
struct ScreenDcTraits {
    using Handle = HDC;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { ReleaseDC(nullptr, h); }
};
struct FileTraits {
    using Handle = FILE*;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle h) noexcept { std::fclose(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueSocket = UniqueHandle<SocketTraits>;
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;
using UniqueFont = UniqueHandle<FontTraits>;
using UniqueScreenDc = UniqueHandle<ScreenDcTraits>;
using UniqueFile = UniqueHandle<FileTraits>;

// Closes a file that was written and says whether the close succeeded: a
// CRT stream flushes on close, so a full disk may only show here.
inline bool CloseWrittenFile(UniqueFile& file) noexcept { return std::fclose(file.release()) == 0; }
