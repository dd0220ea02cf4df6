// The findings for a vendor's CI: JUnit XML and a Markdown job summary,
// and the escapes that let any text of a finding into them.
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

#include "report.h"
#include "report_notes.h"
#include "winsim/text.h"

namespace pkgcheck {

namespace {

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

// The text with control characters and invalid UTF-8 shown as \xNN, each
// remaining character handed to 'escape' (ASCII) or copied (the rest).
template <typename Escape>
std::string Sanitized(const std::string &text, Escape escape)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const auto sequence = winsim::NextUtf8(text, at);
        const size_t length = sequence ? sequence->length : 0;
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
                << XmlEscape(table.columns[c] + ": " + WithoutIndent(row.title)) << "\"";
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
        const size_t indent = row.title.size() - WithoutIndent(row.title).size();
        std::string title;
        for (size_t i = 0; i < indent; i++)
            title += "&nbsp;&nbsp;";
        out << "| " << title << MarkdownCell(WithoutIndent(row.title)) << " |";
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
        out << "- " << Mark(note.verdict) << " **" << MarkdownCell(JoinWith(note.titles, "; ")) << "** ["
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
