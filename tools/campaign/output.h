// What quentra-campaign prints: campaign texts (code page 936) and paths
// (the ANSI code page, AnsiToUtf8) become UTF-8, written by WriteUtf8.
//
// Contract: nothing here reads a campaign or changes a file. Error() and
// Note() write one line to stderr, prefixed with the tool's name; Out()
// writes stdout. Every scan of a campaign text steps by character.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

#include "codepage.h"

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;
constexpr int kExitWarnings = 3;

// Code page 936 text as UTF-8; `valid` (when given) says whether every byte
// formed a character of the code page.
std::string Utf8(const std::string& cp936, bool* valid = nullptr);

// A campaign text, quoted, as UTF-8: control bytes, quotes and backslashes
// escaped, so that a line feed or a stray filler byte is visible.
std::string Quoted(const std::string& cp936);
// Bytes [from, to) of `cp936` quoted with up to `context` characters on each
// side, and "…" outside the quotes where the text goes on.
std::string Excerpt(const std::string& cp936, std::size_t from, std::size_t to, std::size_t context = 20);
// Bytes as hexadecimal pairs: "1C 0A 4D".
std::string Hex(const std::string& bytes);

void Out(const std::string& utf8);
void Note(const std::string& utf8);
// Writes the message and answers `code`.
int Error(const std::string& utf8, int code = kExitBadInput);
