#include "report.h"

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

#include "report_notes.h"

namespace pkgcheck {

const char *Mark(Verdict verdict)
{
    static const char *const marks[] = {"✓", "!", "✗", "–"};
    return marks[static_cast<int>(verdict)];
}

std::string CellText(const Cell &cell)
{
    std::string text = Mark(cell.verdict);
    if (!cell.shown.empty())
        text += " " + cell.shown;
    return text;
}

void CollectNotes(std::vector<Note> &notes, const Table &table)
{
    for (const Row &row : table.rows) {
        std::vector<bool> done(row.cells.size(), false);
        for (size_t c = 0; c < row.cells.size(); c++) {
            const Cell &cell = row.cells[c];
            if (done[c] || cell.reason.empty() || cell.verdict == Verdict::NotApplicable)
                continue;
            std::string columns;
            for (size_t k = c; k < row.cells.size(); k++) {
                const Cell &other = row.cells[k];
                if (done[k] || other.verdict != cell.verdict || other.reason != cell.reason || other.log != cell.log)
                    continue;
                done[k] = true;
                columns += (columns.empty() ? "" : ", ") + table.columns[k];
            }
            auto same = std::find_if(notes.begin(), notes.end(), [&](const Note &note) {
                return note.verdict == cell.verdict && note.columns == columns && note.reason == cell.reason &&
                       note.log == cell.log;
            });
            if (same != notes.end())
                same->titles.push_back(WithoutIndent(row.title));
            else
                notes.push_back({cell.verdict, {WithoutIndent(row.title)}, columns, cell.reason, cell.log});
        }
    }
}

namespace {

// A verdict's name in the JSON document, in the order of the Verdict enumeration.
const char *Name(Verdict verdict)
{
    static const char *const names[] = {"pass", "warning", "error", "not-applicable"};
    return names[static_cast<int>(verdict)];
}

Cell CellOf(Verdict verdict, const std::string &reason)
{
    Cell cell;
    cell.verdict = verdict;
    cell.reason = reason;
    return cell;
}

// Columns on a terminal: every character this report prints is one column wide.
size_t Width(const std::string &utf8)
{
    return static_cast<size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Pad(const std::string &text, size_t width)
{
    size_t used = Width(text);
    return used >= width ? text : text + std::string(width - used, ' ');
}

void RenderTable(std::ostringstream &out, const Table &table, size_t titleWidth)
{
    std::vector<size_t> widths;
    for (size_t c = 0; c < table.columns.size(); c++) {
        size_t width = Width(table.columns[c]);
        for (const Row &row : table.rows)
            if (c < row.cells.size())
                width = std::max(width, Width(CellText(row.cells[c])));
        widths.push_back(width + 2);
    }
    std::string header = Pad(table.title, titleWidth + 4);
    for (size_t c = 0; c < table.columns.size(); c++)
        header += Pad(table.columns[c], widths[c]);
    while (!header.empty() && header.back() == ' ')
        header.pop_back();
    out << header << "\n";
    for (const Row &row : table.rows) {
        std::string line = "  " + Pad(row.title, titleWidth + 2);
        for (size_t c = 0; c < row.cells.size() && c < widths.size(); c++)
            line += Pad(CellText(row.cells[c]), widths[c]);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << "\n";
    }
}

void RenderNotes(std::ostringstream &out, const std::vector<Note> &notes)
{
    for (const Note &note : notes) {
        std::string titles;
        for (const std::string &title : note.titles)
            titles += (titles.empty() ? "" : "; ") + title;
        out << "  " << Mark(note.verdict) << " " << titles << " [" << note.columns << "]: " << note.reason << "\n";
        for (const std::string &line : note.log)
            out << "        | " << line << "\n";
    }
}

nlohmann::ordered_json TableJson(const Table &table)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const Row &row : table.rows) {
        for (size_t c = 0; c < row.cells.size() && c < table.columns.size(); c++) {
            const Cell &cell = row.cells[c];
            nlohmann::ordered_json finding = {{"check", row.id}, {"title", WithoutIndent(row.title)}, {"column", table.columns[c]},
                                      {"verdict", Name(cell.verdict)}, {"reason", cell.reason}};
            if (cell.exitCode)
                finding["exit_code"] = *cell.exitCode;
            if (!cell.log.empty())
                finding["log"] = cell.log;
            rows.push_back(finding);
        }
    }
    return rows;
}

}  // namespace

int Report::Count(Verdict verdict) const
{
    int count = 0;
    for (const Table *table : {&infChecks, &lifecycle})
        for (const Row &row : table->rows)
            for (const Cell &cell : row.cells)
                count += cell.verdict == verdict ? 1 : 0;
    return count;
}

std::string JoinWith(const std::vector<std::string> &parts, const char *separator)
{
    std::string joined;
    for (const std::string &part : parts)
        joined += (joined.empty() ? "" : separator) + part;
    return joined;
}

Cell Pass(const std::string &reason) { return CellOf(Verdict::Pass, reason); }
Cell Warn(const std::string &reason) { return CellOf(Verdict::Warn, reason); }
Cell Fail(const std::string &reason) { return CellOf(Verdict::Fail, reason); }
Cell NotApplicable(const std::string &reason) { return CellOf(Verdict::NotApplicable, reason); }

std::string RenderText(const Report &report)
{
    std::ostringstream out;
    out << "package    " << report.sourceDir << "  " << report.dsmInf << "  " << report.dsmHwid << "\n";
    out << "build      DSM description \"" << report.dsmDescription << "\" (what -c looks for)\n";
    if (!report.installer.empty())
        out << "installer  " << report.installer << "\n";
    out << "\n";

    size_t titleWidth = 0;
    for (const Table *table : {&report.infChecks, &report.lifecycle})
        for (const Row &row : table->rows)
            titleWidth = std::max(titleWidth, Width(row.title));
    titleWidth = std::max({titleWidth, Width(report.infChecks.title), Width(report.lifecycle.title)});
    RenderTable(out, report.infChecks, titleWidth);
    if (!report.lifecycle.rows.empty()) {
        out << "\n";
        RenderTable(out, report.lifecycle, titleWidth);
    }

    std::vector<Note> notes;
    CollectNotes(notes, report.infChecks);
    CollectNotes(notes, report.lifecycle);
    if (!notes.empty()) {
        out << "\nNotes\n";
        RenderNotes(out, notes);
    }

    out << "\n" << Summary(report) << "\n";
    return out.str();
}

std::string RenderJson(const Report &report)
{
    nlohmann::ordered_json document = {
        {"package", {{"source_dir", report.sourceDir}, {"dsm_inf", report.dsmInf}, {"dsm_hwid", report.dsmHwid}}},
        {"build", {{"dsm_description", report.dsmDescription}, {"installer", report.installer}}},
        {"inf_files", report.infChecks.columns},
        {"generations", report.lifecycle.columns},
        {"inf_checks", TableJson(report.infChecks)},
        {"lifecycle", TableJson(report.lifecycle)},
        {"errors", report.Count(Verdict::Fail)},
        {"warnings", report.Count(Verdict::Warn)},
        {"passed", report.Count(Verdict::Fail) == 0},
    };
    return document.dump(2) + "\n";
}

std::string WithoutIndent(const std::string &title)
{
    const size_t start = title.find_first_not_of(' ');
    return start == std::string::npos ? title : title.substr(start);
}

std::string Summary(const Report &report)
{
    const int errors = report.Count(Verdict::Fail), warnings = report.Count(Verdict::Warn);
    return std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") + std::to_string(warnings) +
           (warnings == 1 ? " warning" : " warnings") + ": the package " +
           (errors ? "is not ready to ship" : "passes");
}

}  // namespace pkgcheck
