#include "support/campaign.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/handles.h"
#include "support/sandbox.h"

namespace qt {

std::string TempDir() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

std::vector<std::string> DecodedLeftovers() { return List(TempDir(), "~tc*.tmp"); }

void RemoveDecodedLeftovers() {
    for (const std::string& name : DecodedLeftovers()) DeleteFileA(Join(TempDir(), name).c_str());
}

std::string WriteCampaign(const std::string& dir, const std::string& ini, const std::string& name) {
    const std::string path = Join(dir, name);
    WriteBytes(path, Encode(ini));
    return path;
}

int LoadIni(CampaignConfig& config, const std::string& ini) {
    static int serial = 0;
    const std::string dir = FreshDir("campaign-load-" + std::to_string(++serial % 8));
    return config.LoadCampaignFile(WriteCampaign(dir, ini).c_str());
}

std::string ReplaceLine(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& line) {
    const std::string header = "[" + section + "]\r\n";
    const std::size_t start = text.find(header);
    if (start == std::string::npos) throw std::runtime_error("no section " + section);
    const std::size_t at = text.find("\r\n" + key + "=", start + header.size() - 2);
    const std::size_t nextSection = text.find("\r\n[", start + header.size() - 2);
    if (at == std::string::npos || (nextSection != std::string::npos && at > nextSection)) {
        throw std::runtime_error("no key " + key + " in " + section);
    }
    const std::size_t begin = at + 2;
    const std::size_t end = text.find("\r\n", begin);
    std::string out = text.substr(0, begin);
    if (!line.empty()) out += line + "\r\n";
    out += text.substr(end + 2);
    return out;
}

void ProcessGroup::Start(const std::string& commandLine) {
    std::string line = commandLine;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ProcessResult result;
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        const UniqueKernelHandle thread(pi.hThread);
        processes_.emplace_back(pi.hProcess);
        result.started = true;
    } else {
        processes_.emplace_back();
    }
    results_.push_back(result);
}

std::vector<ProcessResult> ProcessGroup::Wait(DWORD timeoutMs) {
    std::vector<HANDLE> waitable;
    for (const UniqueKernelHandle& p : processes_) {
        if (p) waitable.push_back(p.get());
    }
    if (!waitable.empty()) {
        WaitForMultipleObjects(static_cast<DWORD>(waitable.size()), waitable.data(), TRUE, timeoutMs);
    }
    for (std::size_t i = 0; i < processes_.size(); ++i) {
        if (!processes_[i]) continue;
        if (WaitForSingleObject(processes_[i].get(), 0) == WAIT_OBJECT_0) {
            results_[i].ended = true;
            GetExitCodeProcess(processes_[i].get(), &results_[i].exitCode);
        } else {
            TerminateProcess(processes_[i].get(), 99);
            WaitForSingleObject(processes_[i].get(), 10000);
        }
    }
    processes_.clear();
    return std::move(results_);
}

namespace {

// The import slot of `function` from `dll` in `module`, or null.
void** FindImportSlot(HMODULE module, const char* dll, const char* function) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return nullptr;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk
                                                                                               : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

void WriteSlot(void** slot, void* value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
}

using SetValueFn = DWORD(WINAPI*)(HKEY, LPCSTR, LPCSTR, DWORD, LPCVOID, DWORD);
using DeleteValueFn = DWORD(WINAPI*)(HKEY, LPCSTR, LPCSTR);
SetValueFn g_set = nullptr;
DeleteValueFn g_delete = nullptr;
std::vector<RegistryCall>* g_calls = nullptr;

DWORD WINAPI RecordSet(HKEY key, LPCSTR subKey, LPCSTR value, DWORD type, LPCVOID data, DWORD count) {
    RegistryCall call;
    call.function = "set";
    call.value = value != nullptr ? value : "";
    call.type = type;
    call.count = count;
    if (data != nullptr) call.data.assign(static_cast<const char*>(data), count);
    if (g_calls != nullptr) g_calls->push_back(call);
    return g_set(key, subKey, value, type, data, count);
}

DWORD WINAPI RecordDelete(HKEY key, LPCSTR subKey, LPCSTR value) {
    RegistryCall call;
    call.function = "delete";
    call.value = value != nullptr ? value : "";
    if (g_calls != nullptr) g_calls->push_back(call);
    return g_delete(key, subKey, value);
}

}  // namespace

ImportRedirect::ImportRedirect(HMODULE module, const char* dll, const char* function, void* replacement)
    : slot_(FindImportSlot(module, dll, function)) {
    if (slot_ == nullptr) return;
    original_ = *slot_;
    WriteSlot(slot_, replacement);
}

ImportRedirect::~ImportRedirect() {
    if (slot_ != nullptr) WriteSlot(slot_, original_);
}

RegistryRecorder::RegistryRecorder(HMODULE module) {
    static std::vector<RegistryCall> calls;
    calls.clear();
    g_calls = &calls;
    setSlot_ = FindImportSlot(module, "shlwapi.dll", "SHSetValueA");
    deleteSlot_ = FindImportSlot(module, "shlwapi.dll", "SHDeleteValueA");
    if (setSlot_ != nullptr) {
        setOriginal_ = *setSlot_;
        g_set = reinterpret_cast<SetValueFn>(setOriginal_);
        WriteSlot(setSlot_, reinterpret_cast<void*>(&RecordSet));
    }
    if (deleteSlot_ != nullptr) {
        deleteOriginal_ = *deleteSlot_;
        g_delete = reinterpret_cast<DeleteValueFn>(deleteOriginal_);
        WriteSlot(deleteSlot_, reinterpret_cast<void*>(&RecordDelete));
    }
}

RegistryRecorder::~RegistryRecorder() {
    if (setSlot_ != nullptr) WriteSlot(setSlot_, setOriginal_);
    if (deleteSlot_ != nullptr) WriteSlot(deleteSlot_, deleteOriginal_);
    g_calls = nullptr;
}

std::vector<RegistryCall> RegistryRecorder::Take() {
    std::vector<RegistryCall> out;
    if (g_calls != nullptr) out.swap(*g_calls);
    return out;
}

std::string SourceFile(const std::string& relative) {
    // Beside the program: the test bundle carries them there, and the build
    // copies them there from the source tree.
    std::string path = Join(BinDir(), relative);
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return ReadBytes(path);
}

}  // namespace qt
