// What the table for a person and the Markdown summary share: a verdict's
// mark, a cell's text, and the notes under a table, one per distinct reason.
#pragma once

#include <string>
#include <vector>

#include "report.h"

namespace pkgcheck {

// A verdict's mark in the table, in the order of the Verdict enumeration.
const char *Mark(Verdict verdict);
// The mark and the short outcome beside it ("✗ -1").
std::string CellText(const Cell &cell);

struct Note {
    Verdict verdict;
    std::vector<std::string> titles;
    std::string columns;
    std::string reason;
    std::vector<std::string> log;
};

// The reasons of a table, one note per distinct reason, naming the columns
// (and rows) that share it.
void CollectNotes(std::vector<Note> &notes, const Table &table);

}  // namespace pkgcheck
