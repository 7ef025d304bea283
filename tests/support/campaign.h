// Test support for campaign files: writing them plain or encoded, loading them
// with the plug-in's own loader, the decoded copies left in %TEMP%, and child
// processes started by a test.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "campaign/config.h"
#include "common/handles.h"

namespace qt {

// %TEMP% as the plug-in sees it (GetTempPathA), with its trailing backslash.
std::string TempDir();
// Names of the decoded campaign copies ("~tc*.tmp") now in %TEMP%.
std::vector<std::string> DecodedLeftovers();
// Deletes every "~tc*.tmp" in %TEMP%, so a test starts from none.
void RemoveDecodedLeftovers();

// `ini` written encoded to <dir>\<name> (default quentracfg.dat); the path.
std::string WriteCampaign(const std::string& dir, const std::string& ini, const std::string& name = "quentracfg.dat");
// Loads `ini` into `config` through LoadCampaignFile on an encoded copy in a
// scratch folder of the test. The load's result.
int LoadIni(CampaignConfig& config, const std::string& ini);

// `text` with the line "key=..." of section [section] replaced by `line`, or
// removed when `line` is empty. The key must be in the text.
std::string ReplaceLine(const std::string& text, const std::string& section, const std::string& key,
                        const std::string& line);

// A child process's fate: whether it started, whether it ended within the
// wait (one that did not is terminated), and its exit code when it ended.
struct ProcessResult {
    DWORD exitCode = 0;
    bool started = false;
    bool ended = false;
};
// Child processes started together and waited for together.
class ProcessGroup {
public:
    // Starts a command line (program path quoted by the caller).
    void Start(const std::string& commandLine);
    // Waits at most `timeoutMs` for all of them; terminates those still running.
    std::vector<ProcessResult> Wait(DWORD timeoutMs);

private:
    std::vector<UniqueKernelHandle> processes_;
    std::vector<ProcessResult> results_;
};

// Records what a module hands to the shell's registry functions
// (SHSetValueA, SHDeleteValueA) by redirecting that module's import slots,
// and passes every call on. What the platform then stores may differ: Wine
// terminates every REG_SZ it is given, so the byte count a caller passes can
// only be seen here. One recorder at a time.
struct RegistryCall {
    std::string function;  // "set" or "delete"
    std::string value;     // the value name
    DWORD type = 0;
    DWORD count = 0;       // the byte count passed
    std::string data;      // exactly `count` bytes
};
// One import of `module` (`function` of `dll`) sent to `replacement` for the
// object's lifetime; Active() says whether the slot was found.
class ImportRedirect {
public:
    ImportRedirect(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportRedirect();
    ImportRedirect(const ImportRedirect&) = delete;
    ImportRedirect& operator=(const ImportRedirect&) = delete;
    bool Active() const { return slot_ != nullptr; }
    // What the slot held before: the function to pass calls on to.
    void* Original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

class RegistryRecorder {
public:
    explicit RegistryRecorder(HMODULE module);
    ~RegistryRecorder();
    RegistryRecorder(const RegistryRecorder&) = delete;
    RegistryRecorder& operator=(const RegistryRecorder&) = delete;
    // True when both import slots were found and redirected.
    bool Active() const { return setSlot_ != nullptr && deleteSlot_ != nullptr; }
    std::vector<RegistryCall> Take();

private:
    void** setSlot_ = nullptr;
    void** deleteSlot_ = nullptr;
    void* setOriginal_ = nullptr;
    void* deleteOriginal_ = nullptr;
};

// The repository's file at `relative` (forward slashes, below examples/),
// read whole from beside the test program.
std::string SourceFile(const std::string& relative);

}  // namespace qt
