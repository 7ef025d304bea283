// Ownership of every Windows handle and CRT file the plug-in opens.
//
// Contract: a UniqueHandle owns exactly one handle of its kind and closes it
// when it goes out of scope, on every return path. It is movable, never
// copyable. `receive()` hands out the address of the slot for APIs that
// return a handle through an out parameter; whatever was held is closed first.
// Kinds differ in what "no handle" is (null, or INVALID_HANDLE_VALUE for
// files and find handles), which each kind names. WinHTTP's header cannot be
// included beside WinINet's: its kind is declared where it was included first.
#pragma once
// Winsock's header must come before windows.h brings in the old one.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <utility>

template <typename Kind>
class UniqueHandle {
public:
    using Handle = typename Kind::Handle;
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
    explicit operator bool() const noexcept { return h_ != Kind::Invalid(); }
    Handle release() noexcept { return std::exchange(h_, Kind::Invalid()); }
    void reset(Handle h = Kind::Invalid()) noexcept {
        if (h_ != Kind::Invalid()) Kind::Close(h_);
        h_ = h;
    }
    Handle* receive() noexcept { reset(); return &h_; }

private:
    Handle h_ = Kind::Invalid();
};

// A kind of handle: its type, the call that closes it, and its empty value:
// null, or -1 (INVALID_HANDLE_VALUE, INVALID_SOCKET) where the call that
// opens it answers that when it fails (CreateFile, FindFirstFile, socket).
template <typename H, auto CloseFn, bool kMinusOneIsEmpty = false>
struct HandleKind {
    using Handle = H;
    static Handle Invalid() noexcept { return kMinusOneIsEmpty ? (Handle)(LONG_PTR)-1 : Handle(); }
    static void Close(Handle h) noexcept { CloseFn(h); }
};

using UniqueKernelHandle = UniqueHandle<HandleKind<HANDLE, CloseHandle>>;
using UniqueFileHandle = UniqueHandle<HandleKind<HANDLE, CloseHandle, true>>;
using UniqueFindHandle = UniqueHandle<HandleKind<HANDLE, FindClose, true>>;
using UniqueRegKey = UniqueHandle<HandleKind<HKEY, RegCloseKey>>;
using UniqueModule = UniqueHandle<HandleKind<HMODULE, FreeLibrary>>;
using UniqueSocket = UniqueHandle<HandleKind<SOCKET, closesocket, true>>;
using UniqueFile = UniqueHandle<HandleKind<FILE*, std::fclose>>;
using UniqueAddrInfo = UniqueHandle<HandleKind<addrinfo*, freeaddrinfo>>;
using UniqueAddrInfoEx = UniqueHandle<HandleKind<ADDRINFOEXW*, FreeAddrInfoExW>>;
// Memory that a system call allocated for the caller with GlobalAlloc.
using UniqueGlobalMemory = UniqueHandle<HandleKind<HGLOBAL, GlobalFree>>;
// A block of the process heap.
inline void FreeHeapBlock(void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
using UniqueHeapBlock = UniqueHandle<HandleKind<void*, FreeHeapBlock>>;
// A timer of the default timer queue; deleting it waits for a callback that
// runs at that moment, so nothing the callback uses goes before it ends.
inline void DeleteTimerAndWait(HANDLE timer) noexcept { DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE); }
using UniqueTimer = UniqueHandle<HandleKind<HANDLE, DeleteTimerAndWait>>;
#ifdef __WINE_WINHTTP_H
using UniqueWinHttpHandle = UniqueHandle<HandleKind<HINTERNET, WinHttpCloseHandle>>;
#endif

// Closes a file that was written and says whether the close succeeded: a
// CRT stream flushes on close, so a full disk may only show here.
inline bool CloseWrittenFile(UniqueFile& file) noexcept { return std::fclose(file.release()) == 0; }
