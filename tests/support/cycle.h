// Test support for the whole cycle: a machine on which TCCheck can answer 1,
// the loopback report receiver, the installer stand-in's log, the WinINet
// cache entries of report URLs, and waiting for report threads to end.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "support/sandbox.h"

namespace qc {

// The report origin this build was configured with, and its parts.
std::string ReportOrigin();
// True when the origin is http://127.0.0.1:PORT, the only place tests send to.
bool ReportOriginIsLoopback();
int ReportPort();
// The URL a report of query value `t` (0 or 1) with the already encoded
// identifier must request, written out independently of the plug-in's code.
std::string ExpectedReportUrl(int t, const std::string& encodedId);
// The request target the receiver logs for it.
std::string ExpectedTarget(int t, const std::string& encodedId);

// The loopback report receiver stand-in, run as a child process. Ends by
// its handle when the object goes.
//
// Only the reports that carry one of the test's own identifiers count: a
// report from another process that reaches this build's port (the tree's
// sandbox or demo, a second test run) is left out of Targets() and
// WaitForRequests(), so it cannot fail the test. Requests that are not
// reports (a test's own probe) always count.
class Receiver {
public:
    // mode: "200", "500", "blackhole", "drip", "flood", "redirect[=PREFIX]",
    // "loop" or "drop" (see the stand-in); `ownIds`: the identifiers (as
    // they arrive, percent-encoded) whose reports count. `where` is
    // "127.x.y.z:PORT", by default the report origin's. Fails the current
    // test (and leaves ok() false) when it cannot listen.
    Receiver(const std::string& name, const char* mode, std::vector<std::string> ownIds,
             const std::string& where = std::string());
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    bool ok() const { return ok_; }
    // One more identifier whose reports count.
    void Own(const std::string& encodedId) { ownIds_.push_back(encodedId); }
    // The counted request targets so far ("/traycast.html?t=0&m=..."), in order.
    std::vector<std::string> Targets() const;
    // Waits until at least `count` requests were logged; false after
    // `timeoutMs` (a wide bound: a report is due about 1 s after its event).
    bool WaitForRequests(std::size_t count, DWORD timeoutMs = 20000) const;
    // Ends the receiver now; its open connections are reset.
    void Stop();
    std::string log;

private:
    UniqueKernelHandle process_;
    std::vector<std::string> ownIds_;
    bool ok_ = false;
};

// A campaign that passes every gate of its own: every weekday, a count limit
// that is never reached, one pattern ("Quillstorm") found by the shortcut
// that PrepareShowable puts on the desktop. `extra` lines go into
// [NoAntiVirus] (Title=, ID=, DownloadURL=, ...).
std::string ShowableCampaign(const std::string& extra, const std::string& purpose = "cycle");

// The machine state for a yes: the suite installed under `name`, no
// bookkeeping, a desktop holding "Quillstorm.lnk" only.
qt::Suite PrepareShowable(const std::string& name);

// Puts the verification library stand-in in the suite's folder with `id` in
// its cid.txt. `withExport` false uses the build whose DLL lacks GetCIDA.
void PutVerifier(const qt::Suite& suite, const std::string& id, bool withExport = true);

// Lines of the installer stand-in's log: "cmd=..." and "cwd=..." pairs.
std::vector<std::string> InstallerLog(const qt::Suite& suite);
// Waits until the log holds `count` "cmd=" lines; false after `timeoutMs`.
bool WaitForInstallerStarts(const qt::Suite& suite, std::size_t count, DWORD timeoutMs = 20000);

// A loopback port that nobody listens on now.
int FreePort();

// Drops the test's own reference on the plug-in copy and waits until no
// report thread keeps it mapped. True when it is gone within `timeoutMs`.
bool UnloadAndWaitForReports(qt::Plugin& plugin, DWORD timeoutMs = 30000);
// True while the plug-in copy of `plugin` is mapped in this process.
bool StillMapped(const qt::Plugin& plugin);

// The WinINet cache of this user.
bool HasCacheEntry(const std::string& url);
// Commits a cache entry for `url`, as an earlier fetch of it would have.
bool SeedCacheEntry(const std::string& url);

// "%TEMP%\\!~@$^&tempurl<kind>.~tmp", with the doubled backslash the plug-in
// forms from a temp folder that ends in one.
std::string ReportTempFile(int kind);

// Milliseconds since an arbitrary start, with sub-millisecond resolution.
double NowMs();

}  // namespace qc
