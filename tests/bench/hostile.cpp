// quentra-hostile DIR : runs every *.dat of DIR through TCCheck as the
// campaign file beside the DLL, on a machine where every other gate passes,
// and checks that TCEnum then hands out terminated text within its limits.
// A crash ends the process, and so the script that runs it, with a failure.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/sandbox.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quentra-hostile DIR\n");
        return 2;
    }
    const std::vector<std::string> files = qt::List(argv[1], "*.dat");
    if (files.empty()) {
        std::fprintf(stderr, "quentra-hostile: no .dat files in %s\n", argv[1]);
        return 2;
    }
    qt::InstallSuite("hostile-run-suite");
    const std::string desktop = qt::CleanDesktop();
    for (const char* name : {"Quillstorm.lnk", "Copperwing Launcher.lnk", "Notes.lnk"}) qt::AddShortcut(desktop, name);
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "hostile-run");
    QUENTRA_INSTANCE instance = plugin.create();
    const std::string target = qt::Join(plugin.dir, "quentracfg.dat");
    int answers[2] = {0, 0}, bad = 0;
    for (const std::string& name : files) {
        qt::WriteBytes(target, qt::ReadBytes(qt::Join(argv[1], name)));
        qt::ClearBookkeeping();
        const int answer = plugin.check(instance);
        if (answer != 0 && answer != 1) {
            std::printf("%s: TCCheck answered %d\n", name.c_str(), answer);
            ++bad;
            continue;
        }
        ++answers[answer];
        std::vector<char> title(8192, '\xCC'), message(2048, '\xCC'), command(8192, '\xCC'), id(8192, '\xCC');
        int level = 0, flag = 0;
        if (plugin.enumerate(instance, 0, title.data(), 8192, message.data(), 2048, &level, command.data(), 8192, &flag,
                             id.data(), 8192) != 1 ||
            flag != 1 || strnlen(title.data(), 8192) > 4095 || strnlen(message.data(), 2048) > 1023 ||
            strnlen(command.data(), 8192) > 4095 || strnlen(id.data(), 8192) > 4095) {
            std::printf("%s: TCEnum handed out bad content\n", name.c_str());
            ++bad;
        }
    }
    plugin.destroy(instance);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::size_t left = qt::List(temp, "~tc*.tmp").size();
    qt::CleanDesktop();
    qt::RemoveSuiteRegistration();
    qt::ClearBookkeeping();
    std::printf("hostile: %zu files through TCCheck: %d answered 1, %d answered 0, %d bad, %zu decoded copies left\n",
                files.size(), answers[1], answers[0], bad, left);
    std::printf("hostile: %d passed, %d failed\n", bad == 0 && left == 0 ? 1 : 0, bad == 0 && left == 0 ? 0 : 1);
    std::fflush(stdout);
    ExitProcess(bad == 0 && left == 0 ? 0 : 1);
}
