// Decoding the campaign file into a plain INI file, on real files under Wine,
// and the decoded copy that every load makes and removes in %TEMP%.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "campaign/config.h"
#include "campaign/decode.h"
#include "common/handles.h"
#include "support/campaign.h"
#include "support/cycle.h"
#include "support/sandbox.h"

namespace {

TEST(DecodeCampaignFile, LengthsAndTheFillerOfAPartialWord) {
    struct Row {
        const char* name;
        std::size_t length;   // bytes of the encoded text kept in the file
        std::string decoded;  // the whole decoded file
    } rows[] = {
        {"whole words", 12, "[Common]\r\nA="},
        {"five bytes give eight", 5, std::string("[Comm\x1C\x0A\x4D", 8)},
        {"six bytes", 6, std::string("[Commo\x0A\x4D", 8)},
        {"seven bytes", 7, std::string("[Common\x4D", 8)},
        {"one byte gives a whole word", 1, std::string("[\x1C\x0A\x4D", 4)},
        {"exactly one word", 4, "[Com"},
    };
    const std::string dir = qt::FreshDir("decode-lengths");
    const std::string encoded = qt::Encode("[Common]\r\nA=");
    for (const Row& row : rows) {
        const std::string source = qt::Join(dir, "in.dat");
        const std::string target = qt::Join(dir, "out.ini");
        qt::WriteBytes(source, encoded.substr(0, row.length));
        DeleteFileA(target.c_str());
        EXPECT_EQ(1, DecodeCampaignFile(source.c_str(), target.c_str())) << row.name;
        EXPECT_EQ(row.decoded, qt::ReadBytes(target)) << row.name;
        EXPECT_EQ(encoded.substr(0, row.length), qt::ReadBytes(source)) << row.name << ": the source is never changed";
    }
}

TEST(DecodeCampaignFile, FailuresCreateNoTarget) {
    const std::string dir = qt::FreshDir("decode-failures");
    const std::string empty = qt::Join(dir, "empty.dat");
    qt::WriteBytes(empty, "");
    const std::string good = qt::Join(dir, "good.dat");
    qt::WriteBytes(good, qt::Encode("[Common]\r\n"));
    const std::string target = qt::Join(dir, "out.ini");
    struct Row {
        const char* name;
        const char* source;
        const char* target;
    } rows[] = {
        {"no source path", nullptr, target.c_str()},
        {"empty source path", "", target.c_str()},
        {"no target path", good.c_str(), nullptr},
        {"missing source", "C:\\nowhere\\quentracfg.dat", target.c_str()},
        {"empty source", empty.c_str(), target.c_str()},
        {"a folder as source", dir.c_str(), target.c_str()},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(0, DecodeCampaignFile(row.source, row.target)) << row.name;
        EXPECT_FALSE(qt::Exists(target)) << row.name;
    }
    const std::string missingFolder = qt::Join(qt::Join(dir, "no-such-folder"), "out.ini");
    EXPECT_EQ(0, DecodeCampaignFile(good.c_str(), missingFolder.c_str())) << "target not creatable";
}

TEST(DecodeCampaignFile, ASecondDecodeReplacesTheFirstAndKeepsCrLf) {
    const std::string dir = qt::FreshDir("decode-twice");
    const std::string source = qt::Join(dir, "in.dat");
    const std::string target = qt::Join(dir, "out.ini");
    qt::WriteBytes(source, qt::Encode("[Common]\r\nPurpose=first one\r\n"));
    ASSERT_EQ(1, DecodeCampaignFile(source.c_str(), target.c_str()));
    qt::WriteBytes(source, qt::Encode("[A]\r\n"));
    ASSERT_EQ(1, DecodeCampaignFile(source.c_str(), target.c_str()));
    EXPECT_EQ("[A]\r\n   ", qt::ReadBytes(target)) << "truncated and rewritten, not appended or merged";
}

// Every load decodes into a name of its own in %TEMP% and removes it, on
// success and on every failure.
TEST(CampaignTempFile, NothingIsLeftBehindOnAnyPath) {
    qt::ClearBookkeeping();
    qt::RemoveDecodedLeftovers();
    const std::string dir = qt::FreshDir("decode-temp");
    const std::string good = qt::WriteCampaign(dir, "[GameScan]\r\nk1o=Tidewarden\r\n", "good.dat");
    const std::string empty = qt::Join(dir, "empty.dat");
    qt::WriteBytes(empty, "");
    struct Row {
        const char* name;
        std::string path;
        int result;
    } rows[] = {
        {"a good file", good, 1},
        {"a missing file", qt::Join(dir, "missing.dat"), 0},
        {"an empty file", empty, 0},
        {"a folder", dir, 0},
        {"an empty path", "", 0},
    };
    for (const Row& row : rows) {
        CampaignConfig config;
        EXPECT_EQ(row.result, config.LoadCampaignFile(row.path.c_str())) << row.name;
        EXPECT_TRUE(qt::DecodedLeftovers().empty()) << row.name;
    }
    CampaignConfig config;
    EXPECT_EQ(0, config.LoadCampaignFile(nullptr));
    EXPECT_TRUE(qt::DecodedLeftovers().empty()) << "null path";
}

TEST(CampaignTempFile, AFailedLoadChangesNothing) {
    qt::ClearBookkeeping();
    const std::string dir = qt::FreshDir("decode-failed-load");
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, "[Common]\r\nMaxPopupTimes=9\r\n[NoAntiVirus]\r\nID=first\r\n"
                                     "[GameScan]\r\nk1m=Quillstorm\r\n"));
    const std::string empty = qt::Join(dir, "empty.dat");
    qt::WriteBytes(empty, "");
    EXPECT_EQ(0, config.LoadCampaignFile(empty.c_str()));
    EXPECT_EQ(9, config.Common().MaxPopupTimes);
    EXPECT_EQ("first", config.GameScanNotice().ID);
    ASSERT_EQ(1u, config.GameScanNotice().ScanPatterns.size());
    EXPECT_EQ("Quillstorm", config.GameScanNotice().ScanPatterns[0]);
}

// The copy a load reads is the file it wrote, with the bytes it wrote, and
// nobody else's to change while it is read; anything else fails the load
// and leaves nothing behind.
TEST(CampaignTempFile, TheCopyIsSealedOnlyAsWritten) {
    qt::RemoveDecodedLeftovers();
    const std::vector<unsigned char> bytes = {'[', 'G', 'a', 'm', 'e', 'S', 'c', 'a', 'n', ']', '\r', '\n'};
    static const char kForged[] = "[Forged]\r\n\r\n";
    struct Row {
        const char* name;
        bool seals;
        // What another party does between the write and the seal; it may
        // keep a handle open in `held` until the seal is done.
        std::function<void(const std::string& path, UniqueFileHandle& held)> meddle;
    } rows[] = {
        {"left alone", true, [](const std::string&, UniqueFileHandle&) {}},
        {"held open for writing by another party", false,
         [](const std::string& path, UniqueFileHandle& held) {
             held.reset(CreateFileA(path.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
         }},
        {"bytes changed in place", false,
         [](const std::string& path, UniqueFileHandle&) {
             UniqueFileHandle f(CreateFileA(path.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
             DWORD written = 0;
             WriteFile(f.get(), "{", 1, &written, nullptr);
         }},
        {"swapped for another file", false,
         [](const std::string& path, UniqueFileHandle&) {
             // Moved away, not deleted: the forged file cannot be handed the
             // same file number again.
             MoveFileA(path.c_str(), (path + ".moved").c_str());
             qt::WriteBytes(path, kForged);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DecodedCampaignCopy copy;
        ASSERT_TRUE(copy.Write(bytes));
        const std::string path = copy.Path();
        const std::string name = path.substr(path.rfind('\\') + 1);
        EXPECT_EQ(23u, name.size()) << name;
        EXPECT_EQ(0u, name.find("~tc")) << "a random 64-bit name: " << name;
        EXPECT_EQ(std::string::npos, name.substr(3, 16).find_first_not_of("0123456789ABCDEF")) << name;
        EXPECT_EQ(19u, name.find(".tmp")) << name;
        UniqueFileHandle held;
        row.meddle(path, held);
        EXPECT_EQ(row.seals, copy.Seal());
        held.reset();
        if (row.seals) {
            // Readers get in whatever sharing they ask; writers and deleters do not.
            UniqueFileHandle reader(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                0, nullptr));
            EXPECT_TRUE(reader) << "a reader that shares reading only";
            UniqueFileHandle writer(
                CreateFileA(path.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_FALSE(writer) << "a writer got in";
            EXPECT_FALSE(DeleteFileA(path.c_str())) << "the copy could be deleted";
        } else {
            EXPECT_EQ(nullptr, copy.Path()[0] == '\0' ? nullptr : copy.Path()) << "a failed seal keeps its copy";
        }
        if (qt::Exists(path + ".moved")) {
            // The other party's file under the copy's name is theirs: it stays.
            EXPECT_EQ(kForged, qt::ReadBytes(path));
            DeleteFileA(path.c_str());
            DeleteFileA((path + ".moved").c_str());
        }
    }
    EXPECT_TRUE(qt::DecodedLeftovers().empty());
}

// Files in %TEMP% that the plug-in did not write stay, whatever their name
// and age: names of the copies' prefix that older plug-in builds used, that
// a pattern for a copy's name would match on Windows (where "?" also matches
// no character, and short 8.3 names are matched too), and of a copy's very
// shape. A check deletes its own copy and nothing else.
TEST(CampaignTempFile, ACheckDeletesNoFileItDidNotWrite) {
    qt::RemoveDecodedLeftovers();
    const char* const planted[] = {
        "~tc2710.tmp",               // the fixed name that older builds read
        "~tcAB.tmp",                 // shorter than a copy's name
        "~tc0123456789ABCDEF.tmp",   // a copy's own shape
        "~tc0123456789ABCDEF0.tmp",  // one character more
    };
    // Written two hours ago.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER old;
    old.LowPart = now.dwLowDateTime;
    old.HighPart = now.dwHighDateTime;
    old.QuadPart -= 2ull * 3600 * 10000000;
    const FILETIME twoHoursAgo = {old.LowPart, old.HighPart};
    for (const char* name : planted) {
        const std::string path = qt::Join(qt::TempDir(), name);
        qt::WriteBytes(path, name);
        UniqueFileHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file && SetFileTime(file.get(), &twoHoursAgo, &twoHoursAgo, &twoHoursAgo)) << name;
    }

    qc::PrepareShowable("planted-temp");
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "planted-temp", qc::ShowableCampaign("", "planted-temp"));
    QUENTRA_INSTANCE instance = plugin.create();
    // A yes: the check loaded the campaign through a copy of its own.
    EXPECT_EQ(1, plugin.check(instance));
    plugin.destroy(instance);
    EXPECT_TRUE(qc::UnloadAndWaitForReports(plugin));

    for (const char* name : planted) {
        const std::string path = qt::Join(qt::TempDir(), name);
        EXPECT_EQ(name, qt::ReadBytes(path)) << name << " was deleted or changed";
        DeleteFileA(path.c_str());
    }
    EXPECT_TRUE(qt::DecodedLeftovers().empty()) << "the check's own copy is gone";
    qt::ClearBookkeeping();
}

}  // namespace
