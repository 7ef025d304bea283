#include "exports.h"

#include <type_traits>

const char* const kPluginExportNames[kPluginExportCount] = {"TCGetVer", "TCCreate", "TCDestory",
                                                            "TCCheck",  "TCEnum",   "TCDoCommand"};

bool ResolveExports(HMODULE module, PluginExports& out, std::string& missing) {
    missing.clear();
    int at = 0;
    auto resolve = [&](auto& slot) {
        const char* name = kPluginExportNames[at++];
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            reinterpret_cast<void*>(GetProcAddress(module, name)));
        if (slot == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    // In the order of kPluginExportNames.
    resolve(out.getVer);
    resolve(out.create);
    resolve(out.destroy);
    resolve(out.check);
    resolve(out.enumerate);
    resolve(out.doCommand);
    if (!missing.empty()) out = PluginExports();
    return missing.empty();
}
