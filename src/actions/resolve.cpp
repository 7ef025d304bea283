#include "actions/resolve.h"

#include <ws2tcpip.h>

#include <cstring>

#include "common/handles.h"

namespace {

constexpr std::size_t kMaxAddresses = 16;
// How long a cancelled lookup gets to say so.
constexpr DWORD kCancelGraceMs = 2000;

DWORD Left(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

void AddEndpoint(std::vector<Endpoint>& out, const sockaddr* address, std::size_t length) {
    if (address == nullptr || length == 0 || length > sizeof(sockaddr_storage) || out.size() >= kMaxAddresses) return;
    if (address->sa_family != AF_INET && address->sa_family != AF_INET6) return;
    for (const Endpoint& e : out) {
        if (static_cast<std::size_t>(e.length) == length && std::memcmp(&e.address, address, length) == 0) return;
    }
    Endpoint e = {};
    std::memcpy(&e.address, address, length);
    e.length = static_cast<int>(length);
    out.push_back(e);
}

// The resolver's own timeouts bound this one: for Windows without the
// asynchronous lookup, and (AI_NUMERICHOST) for an address written as such.
bool ResolveBlocking(const char* host, const char* service, int flags, std::vector<Endpoint>& out) {
    addrinfo hints = {};
    hints.ai_flags = flags;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    UniqueAddrInfo found;
    if (getaddrinfo(host, service, &hints, found.receive()) != 0) return false;
    for (const addrinfo* a = found.get(); a != nullptr; a = a->ai_next) AddEndpoint(out, a->ai_addr, a->ai_addrlen);
    return !out.empty();
}

using OverlappedResultFn = INT(WSAAPI*)(LPOVERLAPPED);
using CancelFn = INT(WSAAPI*)(LPHANDLE);

template <class Fn>
Fn WinsockFunction(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ws2_32.dll"), name)));
}

// What an asynchronous lookup writes when it completes. It lives on the
// process heap, so that a lookup left to finish on its own writes into
// memory that is still there.
struct Lookup {
    OVERLAPPED overlapped;
    PADDRINFOEXW result;
    HANDLE cancel;
};

}  // namespace

bool ResolveEndpoints(const TextString& host, unsigned port, ULONGLONG deadline, std::vector<Endpoint>& out) {
    out.clear();
    char service[8];
    if (FormatBounded(service, sizeof service, "%u", port) < 0) return false;
    // An address written as such needs no resolver, and no thread of the
    // system's pool that a lookup would start.
    if (ResolveBlocking(host.c_str(), service, AI_NUMERICHOST, out)) return true;
    const auto resultOf = WinsockFunction<OverlappedResultFn>("GetAddrInfoExOverlappedResult");
    const auto cancel = WinsockFunction<CancelFn>("GetAddrInfoExCancel");
    if (resultOf == nullptr || cancel == nullptr) return ResolveBlocking(host.c_str(), service, 0, out);
    wchar_t wideHost[256];
    wchar_t wideService[8];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, host.c_str(), -1, wideHost, 256) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, service, -1, wideService, 8) == 0) {
        return false;
    }
    UniqueKernelHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Lookup)));
    if (!done || !block) return false;
    Lookup& lookup = *static_cast<Lookup*>(block.get());
    lookup.overlapped.hEvent = done.get();
    ADDRINFOEXW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const DWORD left = Left(deadline);
    if (left == 0) return false;
    timeval timeout = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    int status = GetAddrInfoExW(wideHost, wideService, NS_ALL, nullptr, &hints, &lookup.result, &timeout,
                                &lookup.overlapped, nullptr, &lookup.cancel);
    if (status == WSA_IO_PENDING) {
        if (WaitForSingleObject(done.get(), Left(deadline)) != WAIT_OBJECT_0) {
            cancel(&lookup.cancel);
            if (WaitForSingleObject(done.get(), kCancelGraceMs) != WAIT_OBJECT_0) {
                // Deaf to its timeout and its cancellation: the lookup keeps
                // its block and its event, and the report goes on without it.
                block.release();
                done.release();
                return false;
            }
        }
        status = resultOf(&lookup.overlapped);
    } else if (status == WSAEINVAL) {
        return ResolveBlocking(host.c_str(), service, 0, out);  // no asynchronous lookup after all
    }
    const UniqueAddrInfoEx result(lookup.result);
    if (status != 0) return false;
    // MinGW declares ai_next as a pointer to an incomplete twin of the type.
    for (const ADDRINFOEXW* a = result.get(); a != nullptr; a = reinterpret_cast<const ADDRINFOEXW*>(a->ai_next)) {
        AddEndpoint(out, a->ai_addr, a->ai_addrlen);
    }
    return !out.empty();
}
