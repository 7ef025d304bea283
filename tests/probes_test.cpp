// The machine probes against the registry, files, the install mutex and the
// verification library stand-ins of this prefix. Sizes are tried at exact
// fit, one short, 0 and above 0x7FFFFFFF on 0xCC-filled buffers.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <shlwapi.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "environment/probes.h"
#include "support/deployed.h"
#include "support/decision.h"

namespace {

constexpr char kSentinel = static_cast<char>(0xCC);

// The suite registered as an installer writes it, removed at scope end.
struct SuiteOnMachine {
    explicit SuiteOnMachine(const std::string& name) : suite(qt::InstallSuite(name)) {}
    ~SuiteOnMachine() {
        qt::RemoveSuiteRegistration();
        qt::RemoveTree(suite.root);
    }
    qt::Suite suite;
};

// The folder two levels above the test program: bin\ less its last part.
std::string HostGrandparent() {
    std::string dir = qt::BinDir();
    return dir.substr(0, dir.rfind('\\'));
}

// The buffer holds `text` and its terminator, and nothing past `written`
// bytes was touched.
void ExpectBuffer(const std::vector<char>& buffer, const std::string& text, std::size_t written, const std::string& row) {
    EXPECT_EQ(text, std::string(buffer.data(), strnlen(buffer.data(), buffer.size()))) << row;
    for (std::size_t i = written; i < buffer.size(); ++i) {
        ASSERT_EQ(kSentinel, buffer[i]) << row << ": byte " << i << " written";
    }
}

// A case that changes the machine, and what the probe then answers.
struct ArrangedRow {
    const char* name;
    std::function<void()> arrange;
    int expected;
};

// ---------------------------------------------------------------------------

TEST(SuiteExePath, SizesAgainstTheStoredPath) {
    SuiteOnMachine m("probe-exe-sizes");
    const std::string path = m.suite.exe;
    const DWORD length = static_cast<DWORD>(path.size());
    struct Row {
        const char* name;
        bool storedWithTerminator;
        DWORD size;
        int expected;
        std::size_t touched;  // bytes that may differ from the sentinel
    } rows[] = {
        {"exact fit", true, length + 1, 1, length + 1},
        {"one short", true, length, 0, length},
        {"much larger", true, length + 40, 1, length + 40},
        {"size 1", true, 1, 0, 1},
        {"size 0", true, 0, 0, 0},
        {"size 0x80000000", true, 0x80000000u, 0, 0},
        {"size 0xFFFFFFFF", true, 0xFFFFFFFFu, 0, 0},
        {"stored without terminator: exact fit", false, length + 1, 1, length + 1},
        {"stored without terminator: no room for one", false, length, 0, length},
    };
    for (const Row& row : rows) {
        if (row.storedWithTerminator) {
            qt::SetString(deployed::kSuiteAppPathKey, nullptr, path);
        } else {
            qt::SetRaw(deployed::kSuiteAppPathKey, nullptr, REG_SZ, path);
        }
        std::vector<char> buffer(length + 64, kSentinel);
        EXPECT_EQ(row.expected, GetSuiteExePath(buffer.data(), row.size)) << row.name;
        if (row.expected == 1) {
            ExpectBuffer(buffer, path, row.touched, row.name);
        } else {
            // A failed read leaves no part of a path behind.
            for (std::size_t i = 0; i < row.touched; ++i) ASSERT_EQ('\0', buffer[i]) << row.name << ": byte " << i;
            for (std::size_t i = row.touched; i < buffer.size(); ++i) {
                ASSERT_EQ(kSentinel, buffer[i]) << row.name << ": byte " << i << " written";
            }
        }
    }
    EXPECT_EQ(0, GetSuiteExePath(nullptr, 260)) << "no buffer";
}

TEST(SuiteExePath, WhatTheRegistryNames) {
    SuiteOnMachine m("probe-exe-names");
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    struct Row {
        const char* name;
        std::function<void()> arrange;
        int expected;
        std::string path;  // expected in the buffer when found
    } rows[] = {
        {"registered and present", [] {}, 1, m.suite.exe},
        {"not registered", [] { qt::DeleteKey(deployed::kSuiteAppPathKey); }, 0, ""},
        {"registered, file deleted", [&] { DeleteFileA(m.suite.exe.c_str()); }, 0, ""},
        {"a folder counts as present", [&] { qt::SetString(deployed::kSuiteAppPathKey, nullptr, m.suite.root); }, 1,
         m.suite.root},
        {"empty value", [] { qt::SetString(deployed::kSuiteAppPathKey, nullptr, ""); }, 0, ""},
        {"expandable text",
         [] {
             qt::SetRaw(deployed::kSuiteAppPathKey, nullptr, REG_EXPAND_SZ,
                        std::string("%TEMP%\\quentra-tests\\probe-exe-names\\Corvelsafe.exe") + '\0');
         },
         1, qt::Join(temp, "quentra-tests\\probe-exe-names\\Corvelsafe.exe")},
    };
    for (Row& row : rows) {
        qt::InstallSuite("probe-exe-names");
        row.arrange();
        char buffer[MAX_PATH];
        std::memset(buffer, kSentinel, sizeof buffer);
        EXPECT_EQ(row.expected, GetSuiteExePath(buffer, MAX_PATH)) << row.name;
        if (row.expected == 1) {
            EXPECT_STREQ(row.path.c_str(), buffer) << row.name;
        }
    }
}

// ---------------------------------------------------------------------------

TEST(SuiteFilePath, InstallationFolderAndTheFallback) {
    SuiteOnMachine m("probe-file");
    const std::string grandparent = HostGrandparent();
    struct Row {
        const char* name;
        std::function<void()> arrange;
        const char* fileName;
        std::string expected;
    } rows[] = {
        {"Path value", [] {}, "Corvelverify.dll", qt::Join(m.suite.root, "Corvelverify.dll")},
        {"Path value, empty name: the folder", [] {}, "", m.suite.root},
        {"Path value, no name: the folder", [] {}, nullptr, m.suite.root},
        {"no Path value: the host's grandparent", [] { SHDeleteValueA(HKEY_LOCAL_MACHINE, deployed::kSuiteAppPathKey, "Path"); },
         "Corvelverify.dll", qt::Join(grandparent, "Corvelverify.dll")},
        {"Path names no folder: the host's grandparent",
         [&] { qt::SetString(deployed::kSuiteAppPathKey, "Path", qt::Join(m.suite.root, "gone")); }, "Corvelverify.dll",
         qt::Join(grandparent, "Corvelverify.dll")},
        {"empty Path value: the host's grandparent", [] { qt::SetString(deployed::kSuiteAppPathKey, "Path", ""); }, "",
         grandparent},
        {"suite not registered at all", [] { qt::RemoveSuiteRegistration(); }, "x.dll", qt::Join(grandparent, "x.dll")},
    };
    for (Row& row : rows) {
        qt::SetString(deployed::kSuiteAppPathKey, nullptr, m.suite.exe);
        qt::SetString(deployed::kSuiteAppPathKey, "Path", m.suite.root);
        row.arrange();
        std::vector<char> buffer(MAX_PATH + 16, kSentinel);
        EXPECT_EQ(1, GetSuiteFilePath(buffer.data(), MAX_PATH, row.fileName)) << row.name;
        // The bounded formatter may end the whole buffer with a zero.
        ExpectBuffer(buffer, row.expected, MAX_PATH, row.name);
    }
    EXPECT_EQ(0, GetSuiteFilePath(nullptr, MAX_PATH, "x.dll")) << "no buffer";
}

TEST(SuiteFilePath, CallerBufferSizes) {
    SuiteOnMachine m("probe-file-sizes");
    const std::string full = qt::Join(m.suite.root, "Corvelverify.dll");
    const DWORD length = static_cast<DWORD>(full.size());
    const DWORD folderLength = static_cast<DWORD>(m.suite.root.size());
    struct Row {
        const char* name;
        const char* fileName;
        DWORD size;
        int result;
        std::string expected;  // empty with touched 0: untouched
        std::size_t touched;
    } rows[] = {
        {"joined: exact fit", "Corvelverify.dll", length + 1, 1, full, length + 1},
        // A cut path would name Corvelverify.dl, which Windows loads as
        // Corvelverify.dl.dll: some other library.
        {"joined: one short, refused", "Corvelverify.dll", length, 0, "", length},
        {"joined: size 1", "Corvelverify.dll", 1, 0, "", 1},
        {"joined: size 0, untouched", "Corvelverify.dll", 0, 0, "", 0},
        {"joined: size 0x80000000, untouched", "Corvelverify.dll", 0x80000000u, 0, "", 0},
        {"folder: exact fit", "", folderLength + 1, 1, m.suite.root, folderLength + 1},
        {"folder: one short, refused", "", folderLength, 0, "", folderLength},
        {"folder: size 0, untouched", "", 0, 0, "", 0},
        {"folder: size 0xFFFFFFFF, untouched", "", 0xFFFFFFFFu, 0, "", 0},
    };
    for (const Row& row : rows) {
        std::vector<char> buffer(length + 64, kSentinel);
        EXPECT_EQ(row.result, GetSuiteFilePath(buffer.data(), row.size, row.fileName)) << row.name;
        if (row.touched == 0) {
            for (char c : buffer) ASSERT_EQ(kSentinel, c) << row.name;
        } else {
            ExpectBuffer(buffer, row.expected, row.touched, row.name);
        }
    }
}

// ---------------------------------------------------------------------------

TEST(Installer, LookedForBesideTheSuiteExecutable) {
    SuiteOnMachine m("probe-installer");
    const std::string other = qt::FreshDir("probe-installer-other");
    CreateDirectoryA(qt::Join(other, "modules").c_str(), nullptr);
    const std::string otherInstaller = qt::Join(other, "modules\\Corvelinst.exe");
    const ArrangedRow rows[] = {
        {"beside the executable", [] {}, 1},
        {"installer deleted", [&] { DeleteFileA(m.suite.installer.c_str()); }, 0},
        {"installer only in the Path folder",
         [&] {
             DeleteFileA(m.suite.installer.c_str());
             qt::WriteBytes(otherInstaller, "MZ");
             qt::SetString(deployed::kSuiteAppPathKey, "Path", other);
         },
         0},
        {"Path elsewhere, installer beside the executable", [&] { qt::SetString(deployed::kSuiteAppPathKey, "Path", other); },
         1},
        {"suite executable deleted", [&] { DeleteFileA(m.suite.exe.c_str()); }, 0},
        {"modules is a folder named like the installer",
         [&] {
             DeleteFileA(m.suite.installer.c_str());
             CreateDirectoryA(m.suite.installer.c_str(), nullptr);
         },
         1},
    };
    for (const ArrangedRow& row : rows) {
        qt::RemoveTree(m.suite.installer);
        m.suite = qt::InstallSuite("probe-installer");
        DeleteFileA(otherInstaller.c_str());
        row.arrange();
        char directory[MAX_PATH];
        char installer[MAX_PATH];
        std::memset(directory, kSentinel, sizeof directory);
        std::memset(installer, kSentinel, sizeof installer);
        EXPECT_EQ(row.expected, FindInstaller(directory, installer)) << row.name;
        if (row.expected == 1) {
            EXPECT_STREQ(m.suite.root.c_str(), directory) << row.name;
            EXPECT_STREQ(m.suite.installer.c_str(), installer) << row.name;
        }
    }
    qt::RemoveTree(m.suite.installer);
    qt::RemoveTree(other);
}

// ---------------------------------------------------------------------------

TEST(VaultProduct, InstalledOnlyWhenItsFileExists) {
    const std::string dir = qt::FreshDir("probe-vault");
    const std::string exe = qt::Join(dir, "Corvelsafebox.exe");
    qt::WriteBytes(exe, "vault");
    const ArrangedRow rows[] = {
        {"not registered", [] {}, 0},
        {"registered and present", [&] { qt::SetString(deployed::kVaultAppPathKey, nullptr, exe); }, 1},
        {"registered, file missing", [&] { qt::SetString(deployed::kVaultAppPathKey, nullptr, qt::Join(dir, "gone.exe")); },
         0},
        {"registered as a folder", [&] { qt::SetString(deployed::kVaultAppPathKey, nullptr, dir); }, 1},
        {"registered empty", [] { qt::SetString(deployed::kVaultAppPathKey, nullptr, ""); }, 0},
        {"only a Path value", [&] { qt::SetString(deployed::kVaultAppPathKey, "Path", dir); }, 0},
    };
    for (const ArrangedRow& row : rows) {
        qt::DeleteKey(deployed::kVaultAppPathKey);
        row.arrange();
        EXPECT_EQ(row.expected, IsVaultInstalled()) << row.name;
    }
    qt::DeleteKey(deployed::kVaultAppPathKey);
    qt::RemoveTree(dir);
}

// ---------------------------------------------------------------------------

bool MutexExists() {
    UniqueKernelHandle h(OpenMutexA(SYNCHRONIZE, FALSE, deployed::kInstallMutexName));
    return static_cast<bool>(h);
}

TEST(InstallMutex, OpenedNeverCreated) {
    ASSERT_FALSE(MutexExists());
    EXPECT_EQ(0, IsInstallRunning()) << "no mutex";
    EXPECT_FALSE(MutexExists()) << "the probe created the mutex";
    {
        UniqueKernelHandle held(CreateMutexA(nullptr, TRUE, deployed::kInstallMutexName));
        ASSERT_TRUE(held);
        EXPECT_EQ(1, IsInstallRunning()) << "owned by an installer";
        EXPECT_EQ(1, IsInstallRunning()) << "asked twice";
    }
    {
        UniqueKernelHandle free(CreateMutexA(nullptr, FALSE, deployed::kInstallMutexName));
        EXPECT_EQ(1, IsInstallRunning()) << "existing, not owned";
    }
    EXPECT_EQ(0, IsInstallRunning()) << "the installer ended";
    EXPECT_FALSE(MutexExists()) << "the probe kept the mutex alive";
}

TEST(InstallMutex, ReadControlDenied) {
    // Owned by another account, and only SYNCHRONIZE granted, as an elevated
    // installer's mutex may be: READ_CONTROL is denied, yet it runs.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:SYD:(A;;0x100000;;;WD)", SDDL_REVISION_1, &sd,
                                                                     nullptr));
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    UniqueKernelHandle held(CreateMutexA(&sa, FALSE, deployed::kInstallMutexName));
    LocalFree(sd);
    ASSERT_TRUE(held);
    ASSERT_TRUE(MutexExists()) << "SYNCHRONIZE is granted";
    UniqueKernelHandle readControl(OpenMutexA(READ_CONTROL, FALSE, deployed::kInstallMutexName));
    ASSERT_FALSE(readControl) << "this platform does not deny READ_CONTROL here";
    ASSERT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(1, IsInstallRunning());
}

TEST(InstallMutex, ANamedEventIsNotAnInstallation) {
    // Another kind of object under the same name: opening it as a mutex fails.
    UniqueKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, deployed::kInstallMutexName));
    ASSERT_TRUE(event);
    EXPECT_EQ(0, IsInstallRunning());
}

// ---------------------------------------------------------------------------

struct VerifyLibrary {
    // Copies a stand-in ("verify" or "verify-noexport") into `folder`.
    VerifyLibrary(const std::string& folder, const char* variant, const char* cid) : dir(folder) {
        path = qt::Join(dir, "Corvelverify.dll");
        const std::string source = qt::Join(qt::Join(qt::Join(qt::BinDir(), "standins"), variant), "Corvelverify.dll");
        copied = CopyFileA(source.c_str(), path.c_str(), FALSE) != FALSE;
        if (cid != nullptr) qt::WriteBytes(qt::Join(dir, "cid.txt"), cid);
    }
    ~VerifyLibrary() {
        DeleteFileA(path.c_str());
        DeleteFileA(qt::Join(dir, "cid.txt").c_str());
    }
    bool Loaded() const { return GetModuleHandleA(path.c_str()) != nullptr; }
    std::string dir, path;
    bool copied = false;
};

TEST(MachineId, FromTheVerificationLibrary) {
    struct Row {
        const char* name;
        const char* variant;  // null: no library
        const char* cid;      // null: no cid.txt
        int size;
        int expected;
        std::string text;  // null-terminated result; empty with expected 0: untouched
    } rows[] = {
        {"identifier written", "verify", "QM-0001-ABCD", 260, 1, "QM-0001-ABCD"},
        {"library without an identifier", "verify", nullptr, 260, 0, ""},
        {"library without GetCIDA", "verify-noexport", "QM-0001-ABCD", 260, 0, ""},
        {"no library", nullptr, nullptr, 260, 0, ""},
    };
    for (const Row& row : rows) {
        SuiteOnMachine m("probe-cid");
        std::unique_ptr<VerifyLibrary> library;
        if (row.variant != nullptr) {
            library.reset(new VerifyLibrary(m.suite.root, row.variant, row.cid));
            ASSERT_TRUE(library->copied) << row.name;
        }
        std::vector<char> buffer(300, kSentinel);
        EXPECT_EQ(row.expected, GetMachineId(buffer.data(), row.size)) << row.name;
        if (row.expected == 1) {
            ExpectBuffer(buffer, row.text, row.text.size() + 1, row.name);
        } else {
            for (char c : buffer) ASSERT_EQ(kSentinel, c) << row.name << ": buffer touched";
        }
        if (library) {
            EXPECT_FALSE(library->Loaded()) << row.name << ": still loaded after the call";
        }
    }
}

TEST(MachineId, TheCallerSizeReachesTheLibrary) {
    SuiteOnMachine m("probe-cid-size");
    VerifyLibrary library(m.suite.root, "verify", "<fill>");
    ASSERT_TRUE(library.copied);
    std::vector<char> buffer(32, kSentinel);
    EXPECT_EQ(1, GetMachineId(buffer.data(), 8));
    EXPECT_EQ(std::string(8, 'F'), std::string(buffer.data(), 8));
    for (std::size_t i = 8; i < buffer.size(); ++i) ASSERT_EQ(kSentinel, buffer[i]) << "byte " << i;
    EXPECT_FALSE(library.Loaded());
}

TEST(MachineId, TheLibraryFolder) {
    struct Row {
        const char* name;
        std::string suite;
        bool pathValue;  // false: the suite's Path value is deleted
        const char* cid;
    } rows[] = {
        {"double-byte installation folder", std::string("probe-cid-") + qt::Gbk("安全卫士"), true, "QM-GBK"},
        {"no Path value: the host's grandparent", "probe-cid-fallback", false, "QM-FALLBACK"},
    };
    for (const Row& row : rows) {
        SuiteOnMachine m(row.suite);
        if (!row.pathValue) SHDeleteValueA(HKEY_LOCAL_MACHINE, deployed::kSuiteAppPathKey, "Path");
        VerifyLibrary library(row.pathValue ? m.suite.root : HostGrandparent(), "verify", row.cid);
        ASSERT_TRUE(library.copied) << row.name << ": " << library.path;
        char buffer[260] = {};
        EXPECT_EQ(1, GetMachineId(buffer, sizeof buffer)) << row.name;
        EXPECT_STREQ(row.cid, buffer) << row.name;
        EXPECT_FALSE(library.Loaded()) << row.name;
    }
}

TEST(MachineId, NothingLoadedFromACutPath) {
    SuiteOnMachine m("probe-cid-cut");
    // 247 bytes of folder: joined with \\Corvelverify.dll the path needs 265
    // bytes, and cut to 260 it would name Corvelverif, which the loader
    // completes to Corvelverif.dll: that library is planted there.
    std::string folder = m.suite.root + "\\";
    folder += std::string(247 - folder.size(), 'x');
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << folder;
    VerifyLibrary library(folder, "verify", "QM-CUT");
    ASSERT_TRUE(library.copied);
    const std::string planted = qt::Join(folder, "Corvelverif.dll");
    // Past MAX_PATH: only the wide API reaches these names.
    const auto wide = [](const std::string& a) { return std::wstring(a.begin(), a.end()); };
    ASSERT_TRUE(MoveFileExW(wide(library.path).c_str(), wide(planted).c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
    qt::SetString(deployed::kSuiteAppPathKey, "Path", folder);
    std::vector<char> buffer(300, kSentinel);
    EXPECT_EQ(0, GetMachineId(buffer.data(), 260)) << "the library at the cut path answered";
    for (char c : buffer) ASSERT_EQ(kSentinel, c) << "buffer touched";
}

TEST(MachineId, ManyCallsLeaveNothingLoaded) {
    SuiteOnMachine m("probe-cid-many");
    VerifyLibrary library(m.suite.root, "verify", "QM-MANY");
    ASSERT_TRUE(library.copied);
    for (int i = 0; i < 200; ++i) {
        char buffer[260] = {};
        ASSERT_EQ(1, GetMachineId(buffer, sizeof buffer)) << "call " << i;
        ASSERT_STREQ("QM-MANY", buffer) << "call " << i;
    }
    EXPECT_FALSE(library.Loaded());
    EXPECT_TRUE(DeleteFileA(library.path.c_str())) << "the library file is still in use";
}

}  // namespace
