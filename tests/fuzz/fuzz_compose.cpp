// The message template rule and the name-list rule: whatever the campaign's
// Message holds, composing never writes past its buffer, a refused template
// leaves the buffer alone, the sequence the tools quote is where the template
// turns from accepted to refused, and the list has one to three names.
#include <cstring>
#include <string>
#include <vector>

#include "decision/compose.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t outSize = 1 + data[0] % 64;
    const std::string templ(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<char> out(outSize + 1, static_cast<char>(0xCC));
    const LeadByteTable table = Cp936LeadBytes();
    const bool ok = ComposeMessage(table, templ.c_str(), "Quillstorm\xA3\xACTidewarden", out.data(), outSize);
    if (out[outSize] != static_cast<char>(0xCC)) __builtin_trap();
    if (!ok && out[0] != static_cast<char>(0xCC)) __builtin_trap();
    if (ok != (MessageTemplateProblem(table, templ.c_str()) == nullptr)) __builtin_trap();
    if (ok && std::strlen(out.data()) >= outSize) __builtin_trap();
    const std::string text = templ.c_str();  // as the profile functions read it
    const TemplateFault fault = FindTemplateFault(table, text.c_str());
    if ((fault.problem == nullptr) != ok) __builtin_trap();
    if (fault.problem != nullptr &&
        (fault.length == 0 || fault.at + fault.length > text.size() ||
         MessageTemplateProblem(table, text.substr(0, fault.at).c_str()) != nullptr ||
         MessageTemplateProblem(table, text.substr(0, fault.at + fault.length).c_str()) == nullptr)) {
        __builtin_trap();
    }

    std::vector<TextString> featured;
    for (std::size_t i = 1; i + 1 < size && featured.size() < 6; i += 2) featured.push_back(TextString(1, static_cast<char>(data[i])));
    const TextString list = BuildNameListRule("M", featured);
    std::size_t names = 1;
    for (std::size_t at = list.find(kNameSeparator); at != std::string::npos; at = list.find(kNameSeparator, at + 2)) ++names;
    if (names > 3) __builtin_trap();
    return 0;
}
