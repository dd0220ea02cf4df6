// What pkgcheck found: two tables of verdicts (the INF checks, one column per
// INF; the lifecycle, one column per Windows generation), rendered for a
// person, as one JSON document, as JUnit XML or as a Markdown summary for a
// vendor's CI.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pkgcheck {

enum class Verdict { Pass, Warn, Fail, NotApplicable };

struct Cell {
    Verdict verdict = Verdict::NotApplicable;
    std::string shown;              // a short outcome beside the mark ("0", "-1")
    std::string reason;             // one line; listed under the table when set
    std::vector<std::string> log;   // the installer's log lines that explain it
    std::optional<int> exitCode;    // lifecycle steps that run the installer
};

struct Row {
    std::string id;                 // stable name for machines ("models-ntamd64")
    std::string title;              // what a person reads
    std::vector<Cell> cells;        // one per column of the table
};

struct Table {
    std::string title;
    std::vector<std::string> columns;
    std::vector<Row> rows;
};

struct Report {
    std::string sourceDir;
    std::string dsmInf;
    std::string dsmHwid;
    std::string dsmDescription;     // the build's, which "-c" looks for
    std::string installer;          // the host binary the lifecycle ran
    Table infChecks;
    Table lifecycle;

    int Count(Verdict verdict) const;
};

// Parts of a reason joined with a separator.
std::string JoinWith(const std::vector<std::string> &parts, const char *separator = ", ");

Cell Pass(const std::string &reason = std::string());
Cell Warn(const std::string &reason);
Cell Fail(const std::string &reason);
Cell NotApplicable(const std::string &reason = std::string());

// A row's title without the indent that puts it under the row it belongs to.
std::string WithoutIndent(const std::string &title);

// "N errors, M warnings: the package passes" (or "is not ready to ship").
std::string Summary(const Report &report);

std::string RenderText(const Report &report);
std::string RenderJson(const Report &report);
// One <testcase> per cell: errors fail, warnings pass with their reason in
// <system-out>, cells that do not apply are skipped.
std::string RenderJunit(const Report &report);
// A CI job summary: a heading, the counts, one table per table, the reasons.
std::string RenderMarkdown(const Report &report);

// Text made safe for XML 1.0 character data and attribute values: markup
// escaped, control characters (which XML cannot carry at all) and invalid
// UTF-8 shown as visible escapes.
std::string XmlEscape(const std::string &text);
// Text made safe for one cell of a GitHub-flavoured Markdown table.
std::string MarkdownCell(const std::string &text);

}  // namespace pkgcheck
