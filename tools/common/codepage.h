// Text between code pages, and text onto the console, for every tool and
// the tests: the plug-in's texts are in the ANSI code page or code page 936,
// and the tools print UTF-8.
//
// Contract: every conversion goes through UTF-16. Widen's `valid` (when
// given) says whether every byte formed a character of the code page (those
// that did not become U+FFFD). Narrow writes a character the code page lacks
// as its default character ('?'), never a look-alike, and `complete` (when
// given) says whether there was none. WriteUtf8 writes through the console's
// wide interface when the handle is a console, else the bytes as they are (a
// pipe, a file, a terminal under Wine), so no code page stands in between and
// no "chcp 65001" is needed. Print and Fail format as printf does; Fail
// writes to stderr and answers 1, the tools' exit code for bad input.
#pragma once
#include <windows.h>

#include <string>

std::wstring Widen(const std::string& text, UINT codePage, bool* valid = nullptr);
std::string Narrow(const std::wstring& text, UINT codePage, bool* complete = nullptr);
std::string Recode(const std::string& text, UINT from, UINT to, bool* valid = nullptr);
// A path, an argument or a text of the plug-in in the ANSI code page, as UTF-8.
inline std::string AnsiToUtf8(const std::string& ansi) { return Recode(ansi, CP_ACP, CP_UTF8); }

// `which` is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
void WriteUtf8(DWORD which, const std::string& utf8);
void Print(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
int Fail(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
