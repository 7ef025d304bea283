#include "common/handles.h"
#include "counters.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <vector>

namespace {

struct HandleEntry {
    ULONG_PTR object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;

// The type name of one of this process's handles ("Event", "Thread", ...).
std::string KindOf(HANDLE handle) {
    alignas(8) char buffer[1024];
    ULONG length = 0;
    if (NtQueryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &length) != 0) return "?";
    const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
    std::string name;
    for (USHORT i = 0; i < info->TypeName.Length / 2; ++i) name += static_cast<char>(info->TypeName.Buffer[i]);
    return name.empty() ? "?" : name;
}

long CountHandles(std::map<std::string, long>& kinds) {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<char> buffer(1 << 20);
    for (int tries = 0; tries < 6; ++tries) {
        ULONG needed = 0;
        const LONG status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
            long n = 0;
            for (ULONG_PTR i = 0; i < table->count; ++i) {
                if (table->entries[i].processId != GetCurrentProcessId()) continue;
                ++n;
                ++kinds[KindOf(reinterpret_cast<HANDLE>(table->entries[i].handleValue))];
            }
            return n;
        }
        buffer.resize(buffer.size() * 2);
    }
    return -1;
}

long CountThreads() {
    const UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));  // INVALID_HANDLE_VALUE when it fails
    if (!snapshot) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    long n = 0;
    if (Thread32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
        } while (Thread32Next(snapshot.get(), &entry));
    }
    return n;
}

std::size_t CommittedPrivateBytes() {
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= p) break;
        p = next;
    }
    return total;
}

// Takes every TLS index there is, counts them, and gives them all back.
long CountFreeTlsIndexes() {
    std::vector<DWORD> taken;
    for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
    for (const DWORD index : taken) TlsFree(index);
    return static_cast<long>(taken.size());
}

}  // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures f;
    f.handles = CountHandles(f.handleKinds);
    f.threads = CountThreads();
    f.privateBytes = CommittedPrivateBytes();
    f.tlsFree = CountFreeTlsIndexes();
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) f.workingSet = counters.WorkingSetSize;
    return f;
}
