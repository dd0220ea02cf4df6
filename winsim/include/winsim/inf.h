// The INF model of the stand-in's setup library: an INF file is parsed once
// into sections of lines with their key and fields already expanded (quotes
// removed, %strkey% and %dirid% tokens substituted); the query functions then
// only look things up.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace winsim::inf {

struct Line {
    std::optional<Text> key;     // the text before '=', when the line has one
    std::vector<Text> fields;    // the comma-separated values (after '=' when keyed)
    uint32_t sourceLine = 0;     // 1-based line of the file where the entry starts

    // A keyed line matches on its key; a line without '=' that holds a single
    // value is found by that value too, as the setup library does.
    bool MatchesKey(const Text &name) const;
    // Field 0 is the key (or the single value of an unkeyed line); fields from
    // 1 on are the values.  Nothing when the line has no such field.
    std::optional<Text> Field(uint32_t index) const;
    // The values joined by commas: the line's text in the library's compact form.
    Text CompactText() const;
};

struct Section {
    Text name;                   // as first declared
    std::vector<Line> lines;     // sections declared twice are merged in file order
};

class InfFile {
public:
    const std::vector<Section> &Sections() const { return sections_; }
    const Section *FindSection(const Text &name) const;
    // Index in Sections(), or -1.
    int SectionIndex(const Text &name) const;
    // The first line of a section with the given key, or nothing.
    const Line *FindLine(const Text &section, const Text &key) const;
    // First value of a [Version] entry ("Signature", "Class", "ClassGuid").
    std::optional<Text> VersionValue(const Text &key) const;
    // [Version] Signature is "$Windows NT$" or "$Chicago$".
    bool HasWin4Signature() const;

private:
    friend struct Parser;
    std::vector<Section> sections_;
    std::map<Text, size_t> byName_;   // folded name -> index
};

struct ParseResult {
    std::shared_ptr<const InfFile> file;   // set when parsing succeeded
    uint32_t error = 0;                    // a setup library INF parsing code
    uint32_t errorLine = 0;                // 1-based line of the fault
};

// Parses the bytes of an INF file: UTF-16LE with its byte-order mark, UTF-8
// (with or without one), or else 8-bit text taken as Latin-1.  'sourceDir'
// is what %1% (the directory the INF came from) expands to.
ParseResult Parse(const std::string &bytes, const Text &sourceDir);

// Reads an integer as the INF library does: an optional sign, then decimal,
// or hexadecimal after "0x"/"0X".  Values beyond 32 bits wrap.
std::optional<int32_t> ParseInt(const Text &text);

// The path of a system directory id (10, 11, 12, 17, ...), or nothing.
std::optional<Text> DirIdPath(uint32_t dirId);

}  // namespace winsim::inf
