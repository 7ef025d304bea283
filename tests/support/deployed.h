// The names that deployed machines, the suite and stored data hold, written
// out letter for letter as they stand there, misspellings included. Tests,
// stand-ins and support code use these and never the plug-in's own
// constants: a "corrected" spelling in the plug-in would lose every deployed
// machine's record or miss the suite, and must fail a test.
#pragma once

namespace deployed {

// HKLM bookkeeping of showings.
constexpr char kBookkeepingKey[] = "SOFTWARE\\CorvelSafe\\Tavrik";
constexpr char kPopupCountValue[] = "BoxPopupCount";
constexpr char kPurposeValue[] = "BoxPurpose";
constexpr char kLastPopupValue[] = "BoxLastestPopupDay";
// The suite and the vault product, as their installers register them.
constexpr char kSuiteAppPathKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafe.exe";
constexpr char kVaultAppPathKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Corvelsafebox.exe";
constexpr char kInstallerRelativePath[] = "modules\\Corvelinst.exe";
constexpr char kInstallMutexName[] = "CorvelInstallMutex";
constexpr char kVerifyLibraryName[] = "Corvelverify.dll";
// Files beside the plug-in and the host.
constexpr char kCampaignFileName[] = "quentracfg.dat";
constexpr char kHostConfigName[] = "config.ini";
// A key of the campaign file.
constexpr char kX64Key[] = "SuportX64";
// What the report server receives.
constexpr char kShownReportTarget[] = "/traycast.html?t=0&m=";
constexpr char kInstalledReportTarget[] = "/traycast.html?t=1&m=";

}  // namespace deployed
