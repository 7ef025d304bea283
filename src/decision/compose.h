// Pure rules of the notification's message: which names it lists, and how
// the campaign's Message template receives them. No I/O.
#pragma once
#include <cstddef>
#include <vector>

#include "common/text.h"

// The full-width comma of code page 936, between names only.
constexpr char kNameSeparator[] = "\xA3\xAC";

// The list for the message, from the smallest matched pattern and the
// featured names: when the smallest match is featured, the first min(n, 3)
// featured names; otherwise the match followed by the first min(n, 3) - 1
// featured names. One to three names.
TextString BuildNameListRule(const TextString& smallestMatch, const std::vector<TextString>& featured);

// Renders `messageTemplate` into `out` (outSize bytes, 1 to 0x7FFFFFFF): its first
// "%s" receives `nameList`, "%%" gives "%", and the text is cut to
// outSize - 1 bytes. A template with any other conversion, a second "%s" or
// a '%' at its end is refused, as is a size of 0 or above 0x7FFFFFFF:
// false, and `out` is left as it was. The
// template is the campaign author's text, never a printf format, so no
// conversion can read a missing argument or write memory.
[[nodiscard]] bool ComposeMessage(const LeadByteTable& table, const char* messageTemplate, const char* nameList, char* out,
                    std::size_t outSize);

// Why a template would be refused, for the campaign tool: null when it is
// accepted.
const char* MessageTemplateProblem(const LeadByteTable& table, const char* messageTemplate);

// Where a template is refused, for the tools that quote it: the '%' and the
// whole character after it (none after a '%' at the end), as a byte offset
// and length. `problem` is MessageTemplateProblem's answer; null, with 0 and
// 0, for an accepted template.
struct TemplateFault {
    const char* problem = nullptr;
    std::size_t at = 0;
    std::size_t length = 0;
};
TemplateFault FindTemplateFault(const LeadByteTable& table, const char* messageTemplate);
