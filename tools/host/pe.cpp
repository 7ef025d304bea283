// The PE headers of a file given as the plug-in, read with bounds checked at
// every step: any file may be named, so every offset in it is untrusted.
#include "pe.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/handles.h"

namespace {

// Reads only what lies inside the file; a read past its end fails.
class BoundedReader {
public:
    explicit BoundedReader(const char* path)
        : file_(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        LARGE_INTEGER size{};
        if (file_ && GetFileSizeEx(file_.get(), &size)) size_ = static_cast<unsigned long long>(size.QuadPart);
    }
    bool ok() const { return static_cast<bool>(file_); }
    unsigned long long size() const { return size_; }
    bool Read(unsigned long long offset, void* out, std::size_t bytes) const {
        if (offset > size_ || bytes > size_ - offset) return false;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN)) return false;
        auto* p = static_cast<char*>(out);
        while (bytes > 0) {
            DWORD got = 0;
            const DWORD want = bytes > 0x100000 ? 0x100000 : static_cast<DWORD>(bytes);
            if (!ReadFile(file_.get(), p, want, &got, nullptr) || got == 0) return false;
            p += got;
            bytes -= got;
        }
        return true;
    }
    // A zero-terminated name of at most max - 1 bytes; longer ones are cut
    // (and then match none of the six).
    std::string ReadName(unsigned long long offset, std::size_t max) const {
        if (offset >= size_) return std::string();
        const std::size_t n = static_cast<std::size_t>(size_ - offset < max ? size_ - offset : max);
        std::string text(n, '\0');
        if (!Read(offset, &text[0], n)) return std::string();
        text.resize(std::strlen(text.c_str()));
        return text;
    }

private:
    UniqueFileHandle file_;
    unsigned long long size_ = 0;
};

struct Image {
    std::vector<IMAGE_SECTION_HEADER> sections;
    // The file offset of a relative virtual address, or false when no
    // section holds it in the file.
    bool Offset(DWORD rva, unsigned long long& out) const {
        for (const IMAGE_SECTION_HEADER& s : sections) {
            if (rva < s.VirtualAddress) continue;
            const DWORD into = rva - s.VirtualAddress;
            if (into >= s.SizeOfRawData) continue;
            out = static_cast<unsigned long long>(s.PointerToRawData) + into;
            return true;
        }
        return false;
    }
};

std::string NotADll(const char* path, const char* because) {
    return std::string(path) + " is not a Windows DLL (" + because + ")";
}

void ReadExports(const BoundedReader& file, const Image& image, const IMAGE_DATA_DIRECTORY& directory,
                 PluginDllInfo& info) {
    unsigned long long at = 0;
    IMAGE_EXPORT_DIRECTORY exports{};
    if (directory.VirtualAddress == 0 || !image.Offset(directory.VirtualAddress, at) ||
        !file.Read(at, &exports, sizeof exports)) {
        return;
    }
    // More names than any real DLL exports is a broken table; stop there.
    const DWORD names = exports.NumberOfNames < 0x10000 ? exports.NumberOfNames : 0x10000;
    unsigned long long table = 0;
    if (names == 0 || !image.Offset(exports.AddressOfNames, table)) return;
    std::vector<DWORD> rvas(names);
    if (!file.Read(table, rvas.data(), rvas.size() * sizeof(DWORD))) return;
    for (const DWORD rva : rvas) {
        unsigned long long nameAt = 0;
        if (!image.Offset(rva, nameAt)) continue;
        const std::string name = file.ReadName(nameAt, 32);
        for (int i = 0; i < kPluginExportCount; ++i) {
            if (name == kPluginExportNames[i]) info.hasExport[i] = true;
        }
    }
}

std::string FileVersion(const char* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return std::string();
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path, 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
        return std::string();
    }
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

}  // namespace

bool InspectPluginDll(const char* path, PluginDllInfo& info, std::string& why) {
    info = PluginDllInfo();
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        why = std::string("DLL not found: ") + path;
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = std::string(path) + " is a folder, not a DLL: name the Quentra.dll inside it";
        return false;
    }
    const BoundedReader file(path);
    if (!file.ok()) {
        why = std::string("cannot read ") + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (file.size() == 0) {
        why = NotADll(path, "the file is empty");
        return false;
    }
    IMAGE_DOS_HEADER dos{};
    if (!file.Read(0, &dos.e_magic, sizeof dos.e_magic) || dos.e_magic != IMAGE_DOS_SIGNATURE) {
        why = NotADll(path, "it does not start with MZ");
        return false;
    }
    if (!file.Read(0, &dos, sizeof dos)) {
        why = NotADll(path, "its MZ header is cut short");
        return false;
    }
    const unsigned long long pe = dos.e_lfanew < 0 ? file.size() : static_cast<unsigned long long>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    WORD magic = 0;
    if (!file.Read(pe, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE) {
        why = NotADll(path, "an MZ header without a PE header: a DOS program or random bytes");
        return false;
    }
    const unsigned long long optional = pe + sizeof signature + sizeof header;
    if (!file.Read(pe + sizeof signature, &header, sizeof header) || !file.Read(optional, &magic, sizeof magic) ||
        (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)) {
        why = NotADll(path, "its PE header is cut short or has an unknown optional header");
        return false;
    }
    info.machine = header.Machine;
    info.bits = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 64 : 32;
    info.isDll = (header.Characteristics & IMAGE_FILE_DLL) != 0;

    // The two directories needed, from whichever optional header this is.
    IMAGE_DATA_DIRECTORY directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
    DWORD count = 0;
    const std::size_t headerSize = header.SizeOfOptionalHeader;
    auto readDirectories = [&](auto h) {
        if (file.Read(optional, &h, headerSize < sizeof h ? headerSize : sizeof h)) {
            count = h.NumberOfRvaAndSizes;
            std::memcpy(directories, h.DataDirectory, sizeof directories);
        }
    };
    if (info.bits == 64) {
        readDirectories(IMAGE_OPTIONAL_HEADER64{});
    } else {
        readDirectories(IMAGE_OPTIONAL_HEADER32{});
    }
    Image image;
    image.sections.resize(header.NumberOfSections);
    if (!file.Read(optional + headerSize, image.sections.data(),
                   image.sections.size() * sizeof(IMAGE_SECTION_HEADER))) {
        why = NotADll(path, "its section table is cut short");
        return false;
    }
    if (count > IMAGE_DIRECTORY_ENTRY_EXPORT) {
        ReadExports(file, image, directories[IMAGE_DIRECTORY_ENTRY_EXPORT], info);
    }
    info.fileVersion = FileVersion(path);
    return true;
}

std::string PluginDllProblem(const char* path, const PluginDllInfo& info) {
    const std::string p = path;
    if (!info.isDll) return p + " is a Windows program, not a DLL: give the plug-in, Quentra.dll";
    const int hostBits = static_cast<int>(sizeof(void*) * 8);
    const unsigned hostMachine = hostBits == 64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    if (info.machine != hostMachine) {
        if (hostBits == 64 && info.machine == IMAGE_FILE_MACHINE_I386) {
            return p + " is a 32-bit DLL: this host runs the 64-bit twin, use build/win64/bin/Quentra.dll";
        }
        if (hostBits == 32 && info.machine == IMAGE_FILE_MACHINE_AMD64) {
            return p + " is a 64-bit DLL: this host is the 32-bit build, use build/win32/bin/Quentra.dll";
        }
        char machine[16];
        std::snprintf(machine, sizeof machine, "0x%04X", info.machine);
        return p + " is built for machine " + machine + ", not " + (hostBits == 64 ? "x64" : "x86") +
               ": this host runs " + (hostBits == 64 ? "build/win64/bin/Quentra.dll" : "build/win32/bin/Quentra.dll");
    }
    std::string missing, all;
    for (int i = 0; i < kPluginExportCount; ++i) {
        all += std::string(i == 0 ? "" : i + 1 == kPluginExportCount ? " and " : ", ") + kPluginExportNames[i];
        if (!info.hasExport[i]) missing += (missing.empty() ? "" : ", ") + std::string(kPluginExportNames[i]);
    }
    if (missing.empty()) return std::string();
    return p + " has no export named " + missing + ": it is not the Quentra plug-in, which exports " + all;
}
