#include "report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

namespace pkgcheck {

namespace {

// A verdict's mark in the table and its name in the JSON document, in the
// order of the Verdict enumeration.
const char *Mark(Verdict verdict)
{
    static const char *const marks[] = {"✓", "!", "✗", "–"};
    return marks[static_cast<int>(verdict)];
}

const char *Name(Verdict verdict)
{
    static const char *const names[] = {"pass", "warning", "error", "not-applicable"};
    return names[static_cast<int>(verdict)];
}

Cell Make(Verdict verdict, const std::string &reason)
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

std::string CellText(const Cell &cell)
{
    std::string text = Mark(cell.verdict);
    if (!cell.shown.empty())
        text += " " + cell.shown;
    return text;
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

struct Note {
    Verdict verdict;
    std::vector<std::string> titles;
    std::string columns;
    std::string reason;
    std::vector<std::string> log;
};

// The reasons of a table, one note per distinct reason, naming the columns
// (and rows) that share it.
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
                same->titles.push_back(Trimmed(row.title));
            else
                notes.push_back({cell.verdict, {Trimmed(row.title)}, columns, cell.reason, cell.log});
        }
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
            nlohmann::ordered_json finding = {{"check", row.id}, {"title", Trimmed(row.title)}, {"column", table.columns[c]},
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


// The tables under the names the JSON document gives them; JUnit and
// Markdown output use them as stable identifiers.
std::vector<std::pair<const char *, const Table *>> NamedTables(const Report &report)
{
    return {{"inf_checks", &report.infChecks}, {"lifecycle", &report.lifecycle}};
}

std::string VisibleByte(unsigned char byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    return text;
}

// The length of the well-formed UTF-8 sequence at 'at', or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t Utf8Length(const std::string &text, size_t at)
{
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;   // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

// The text with control characters and invalid UTF-8 shown as \xNN, each
// remaining character handed to 'escape' (ASCII) or copied (the rest).
template <typename Escape>
std::string Sanitized(const std::string &text, Escape escape)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const size_t length = Utf8Length(text, at);
        if (length == 0) {
            out += escape(VisibleByte(byte));
            at++;
        } else if (length == 1) {
            out += byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' ? escape(VisibleByte(byte))
                                                                               : escape(std::string(1, text[at]));
            at++;
        } else {
            const std::string character = text.substr(at, length);
            // U+FFFE and U+FFFF are not characters XML may carry either.
            const bool nonCharacter = character == "\xEF\xBF\xBE" || character == "\xEF\xBF\xBF";
            for (size_t i = 0; nonCharacter && i < length; i++)
                out += escape(VisibleByte(static_cast<unsigned char>(character[i])));
            if (!nonCharacter)
                out += character;
            at += length;
        }
    }
    return out;
}

std::string XmlAscii(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        // As references, so that attribute values keep them too.
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string MarkdownAscii(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t')
            out += ' ';
        else if (std::string("\\|*_`<>[]").find(c) != std::string::npos)
            out += std::string("\\") + c;
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

// A reason and the log lines that explain it, as a CI server shows a case's output.
std::string Explanation(const Cell &cell)
{
    std::string text = cell.reason;
    for (const std::string &line : cell.log)
        text += "\n    | " + line;
    return text;
}

void RenderJunitTable(std::ostringstream &out, const char *id, const Table &table)
{
    int tests = 0, failures = 0, skipped = 0;
    for (const Row &row : table.rows)
        for (size_t c = 0; c < row.cells.size() && c < table.columns.size(); c++) {
            tests++;
            failures += row.cells[c].verdict == Verdict::Fail ? 1 : 0;
            skipped += row.cells[c].verdict == Verdict::NotApplicable ? 1 : 0;
        }
    out << "  <testsuite name=\"" << XmlEscape(table.title) << "\" tests=\"" << tests << "\" failures=\"" << failures
        << "\" errors=\"0\" skipped=\"" << skipped << "\">\n";
    for (const Row &row : table.rows) {
        for (size_t c = 0; c < row.cells.size() && c < table.columns.size(); c++) {
            const Cell &cell = row.cells[c];
            // classname: table.check, which CI servers group by; name: the
            // column and the row as a person reads them.
            out << "    <testcase classname=\"" << XmlEscape(std::string(id) + "." + row.id) << "\" name=\""
                << XmlEscape(table.columns[c] + ": " + Trimmed(row.title)) << "\"";
            std::string body;
            switch (cell.verdict) {
            case Verdict::Fail:
                body = "      <failure message=\"" + XmlEscape(cell.reason) + "\" type=\"error\">" +
                       XmlEscape(Explanation(cell)) + "</failure>\n";
                break;
            case Verdict::NotApplicable:
                body = cell.reason.empty() ? "      <skipped/>\n"
                                           : "      <skipped message=\"" + XmlEscape(cell.reason) + "\"/>\n";
                break;
            case Verdict::Warn:
                body = "      <system-out>warning: " + XmlEscape(Explanation(cell)) + "</system-out>\n";
                break;
            case Verdict::Pass:
                if (!cell.reason.empty() || !cell.log.empty())
                    body = "      <system-out>" + XmlEscape(Explanation(cell)) + "</system-out>\n";
                break;
            }
            out << (body.empty() ? "/>\n" : ">\n" + body + "    </testcase>\n");
        }
    }
    out << "  </testsuite>\n";
}

size_t LongestBacktickRun(const std::vector<std::string> &lines)
{
    size_t longest = 0;
    for (const std::string &line : lines)
        for (size_t at = line.find('`'); at != std::string::npos; at = line.find('`', at)) {
            const size_t end = std::min(line.find_first_not_of('`', at), line.size());
            longest = std::max(longest, end - at);
            at = end;
        }
    return longest;
}

// A fence for a code block that none of the lines can close.
std::string Fence(const std::vector<std::string> &lines)
{
    return std::string(std::max<size_t>(3, LongestBacktickRun(lines) + 1), '`');
}

// Inline code, for names a person copies (paths, hardware IDs): backslashes
// stay as they are.
std::string CodeSpan(const std::string &text)
{
    const std::string plain = Sanitized(text, [](const std::string &c) { return c == "\n" || c == "\r" ? " " : c; });
    const std::string fence(LongestBacktickRun({plain}) + 1, '`');
    const bool pad = plain.empty() || plain.front() == '`' || plain.back() == '`';
    return fence + (pad ? " " : "") + plain + (pad ? " " : "") + fence;
}

void RenderMarkdownTable(std::ostringstream &out, const Table &table)
{
    out << "### " << MarkdownCell(table.title) << "\n\n| check |";
    for (const std::string &column : table.columns)
        out << " " << MarkdownCell(column) << " |";
    out << "\n|---|";
    for (size_t c = 0; c < table.columns.size(); c++)
        out << ":---:|";
    out << "\n";
    for (const Row &row : table.rows) {
        // Rows indented under the row they belong to keep their indent.
        const size_t indent = row.title.size() - Trimmed(row.title).size();
        std::string title;
        for (size_t i = 0; i < indent; i++)
            title += "&nbsp;&nbsp;";
        out << "| " << title << MarkdownCell(Trimmed(row.title)) << " |";
        for (size_t c = 0; c < table.columns.size(); c++)
            out << " " << (c < row.cells.size() ? MarkdownCell(CellText(row.cells[c])) : std::string()) << " |";
        out << "\n";
    }
    std::vector<Note> notes;
    CollectNotes(notes, table);
    if (notes.empty())
        return;
    out << "\n";
    for (const Note &note : notes) {
        out << "- " << Mark(note.verdict) << " **" << MarkdownCell(Join(note.titles, "; ")) << "** ["
            << MarkdownCell(note.columns) << "]: " << MarkdownCell(note.reason) << "\n";
        if (!note.log.empty()) {
            std::vector<std::string> lines;
            for (const std::string &line : note.log)
                lines.push_back(Sanitized(line, [](const std::string &c) { return c; }));
            const std::string fence = Fence(lines);
            out << "\n  " << fence << "\n";
            for (const std::string &line : lines)
                out << "  " << line << "\n";
            out << "  " << fence << "\n\n";
        }
    }
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

std::string Join(const std::vector<std::string> &parts, const char *separator)
{
    std::string joined;
    for (const std::string &part : parts)
        joined += (joined.empty() ? "" : separator) + part;
    return joined;
}

Cell Pass(const std::string &reason) { return Make(Verdict::Pass, reason); }
Cell Warn(const std::string &reason) { return Make(Verdict::Warn, reason); }
Cell Fail(const std::string &reason) { return Make(Verdict::Fail, reason); }
Cell NotApplicable(const std::string &reason) { return Make(Verdict::NotApplicable, reason); }

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

std::string Trimmed(const std::string &title)
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

std::string XmlEscape(const std::string &text) { return Sanitized(text, XmlAscii); }

std::string MarkdownCell(const std::string &text) { return Sanitized(text, MarkdownAscii); }

std::string RenderJunit(const Report &report)
{
    int tests = 0;
    for (const auto &[id, table] : NamedTables(report))
        for (const Row &row : table->rows)
            tests += static_cast<int>(std::min(row.cells.size(), table->columns.size()));
    std::ostringstream out;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << "<testsuites name=\"" << XmlEscape("pkgcheck " + report.dsmInf + " " + report.dsmHwid) << "\" tests=\""
        << tests << "\" failures=\"" << report.Count(Verdict::Fail) << "\" errors=\"0\" skipped=\""
        << report.Count(Verdict::NotApplicable) << "\">\n";
    for (const auto &[id, table] : NamedTables(report))
        if (!table->rows.empty())
            RenderJunitTable(out, id, *table);
    out << "</testsuites>\n";
    return out.str();
}

std::string RenderMarkdown(const Report &report)
{
    std::ostringstream out;
    out << "## pkgcheck: " << CodeSpan(report.dsmInf) << " " << CodeSpan(report.dsmHwid) << "\n\n";
    out << (report.Count(Verdict::Fail) ? "❌ " : "✅ ") << "**" << Summary(report) << "** ("
        << report.Count(Verdict::Pass) << " passed, "
        << report.Count(Verdict::NotApplicable) << " not applicable)\n\n";
    out << "Package " << CodeSpan(report.sourceDir) << ", DSM description \""
        << MarkdownCell(report.dsmDescription) << "\" (what -c looks for)";
    if (!report.installer.empty())
        out << ", installer " << CodeSpan(report.installer);
    out << ".\n";
    for (const auto &[id, table] : NamedTables(report)) {
        if (table->rows.empty())
            continue;
        out << "\n";
        RenderMarkdownTable(out, *table);
    }
    out << "\n✓ what a correct package gives, ✗ an error, ! a warning, – does not apply.\n";
    return out.str();
}

}  // namespace pkgcheck
