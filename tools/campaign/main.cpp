// quentra-campaign: writes and inspects campaign files for the people who
// author them. It links the plug-in's own decoding and loading code, so
// `check` shows exactly what Quentra.dll will hold after loading a file.
//
// Texts in campaign files are code page 936; everything this tool prints is
// UTF-8. It never writes over its input: an output goes to a temporary file
// beside the target first and replaces the target only when whole.
#include <cstring>
#include <exception>
#include <string>

#include "commands.h"
#include "output.h"

namespace {

const char kUsage[] =
    "usage: quentra-campaign encode [--from-utf8] IN.ini OUT.dat\n"
    "           encode a plain campaign INI (code page 936) into the file the\n"
    "           plug-in reads; the text is padded with spaces to whole 4-byte words.\n"
    "           A UTF-8 INI is refused, or converted first with --from-utf8\n"
    "       quentra-campaign convert IN.ini OUT.ini\n"
    "           convert a UTF-8 campaign INI (byte order mark or none) to code page 936\n"
    "       quentra-campaign decode IN.dat OUT.ini\n"
    "           decode a campaign file into its plain INI text, exactly as the\n"
    "           plug-in decodes it (padding included)\n"
    "       quentra-campaign check FILE\n"
    "           show what the plug-in will load from FILE (an encoded .dat or a\n"
    "           plain .ini) and warn about what an author would not expect\n"
    "       quentra-campaign describe FILE --json\n"
    "           print what the plug-in's loader reads from FILE as JSON: ID, Purpose,\n"
    "           MaxPopupTimes, PopupFrequency, Title, ScanPatterns, FeaturedNames; for\n"
    "           quentra-reports campaign add --from TIME -\n"
    "\n"
    "exit status: 0 done (check: no warnings), 1 unreadable or malformed input,\n"
    "             2 bad usage, 3 check found warnings and the campaign can show,\n"
    "             4 check: the campaign never shows, on any machine on any day\n";

int Run(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "help") == 0)) {
        Out(kUsage);
        return kExitOk;
    }
    if (argc < 2) {
        WriteUtf8(STD_ERROR_HANDLE, kUsage);
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "encode" && argc == 5 && std::strcmp(argv[2], "--from-utf8") == 0) {
        return Encode(argv[3], argv[4], true);
    }
    if ((command == "encode" || command == "decode" || command == "convert") && argc == 4) {
        if (command == "convert") return Convert(argv[2], argv[3]);
        return command == "encode" ? Encode(argv[2], argv[3], false) : Decode(argv[2], argv[3]);
    }
    if (command == "check" && argc == 3) return Check(argv[2]);
    if (command == "describe" && argc == 4 && std::strcmp(argv[3], "--json") == 0) return Describe(argv[2]);
    if (command == "describe") {
        return Error("describe: give FILE --json (check FILE shows the same in words)\n" + std::string(kUsage), kExitUsage);
    }
    if (command == "encode" || command == "decode" || command == "convert" || command == "check") {
        return Error(command + ": wrong number of arguments\n" + kUsage, kExitUsage);
    }
    return Error("unknown command '" + AnsiToUtf8(command) + "'\n" + kUsage, kExitUsage);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Error(std::string("internal error: ") + e.what());
    }
}
