// What pkgcheck's tests share: a broken package made from a copy of the
// example by replacing texts in its files, and the check of the findings
// pkgcheck gives it.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "hosttools/hosttools.h"

namespace pkgcheck_test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path &path)
{
    return hosttools::ReadFile(path.string()).value_or(std::string());
}

inline void WriteFile(const fs::path &path, const std::string &bytes) { hosttools::WriteFile(path.string(), bytes); }

// One change to a file of a package copy: the first 'from' in it, which must
// be there, replaced by 'to'; with an empty 'from', the file removed.
struct PackageEdit {
    std::string file;
    std::string from;
    std::string to;
};

inline void EditPackage(const fs::path &package, const std::vector<PackageEdit> &edits)
{
    for (const PackageEdit &edit : edits) {
        const fs::path path = package / edit.file;
        if (edit.from.empty()) {
            ASSERT_TRUE(fs::remove(path)) << edit.file;
            continue;
        }
        std::string text = ReadFile(path);
        const size_t at = text.find(edit.from);
        ASSERT_NE(at, std::string::npos) << edit.file << ": " << edit.from;
        text.replace(at, edit.from.size(), edit.to);
        WriteFile(path, text);
    }
}

// Every finding of a JSON document: "table/check/column" -> the finding.
using Findings = std::map<std::string, nlohmann::json>;

inline Findings FindingsOf(const nlohmann::json &document)
{
    Findings findings;
    for (const char *table : {"inf_checks", "lifecycle"})
        for (const auto &finding : document[table])
            findings[std::string(table) + "/" + finding["check"].get<std::string>() + "/" +
                     finding["column"].get<std::string>()] = finding;
    return findings;
}

struct Expected {
    std::string finding;             // "table/check/column"
    const char *verdict;
    const char *reason;              // a part of the reason
    const char *logLine = nullptr;   // for an installer run: a log line that explains it
};

// Each expected finding is there with its verdict and reason (and, for a
// failed installer run, its exit code and log line).
inline void ExpectFindings(const Findings &findings, const std::vector<Expected> &expected)
{
    for (const Expected &want : expected) {
        const auto found = findings.find(want.finding);
        if (found == findings.end()) {
            ADD_FAILURE() << "no finding " << want.finding;
            continue;
        }
        const nlohmann::json &finding = found->second;
        EXPECT_EQ(finding["verdict"], want.verdict) << want.finding << ": " << finding;
        EXPECT_NE(finding["reason"].get<std::string>().find(want.reason), std::string::npos)
            << want.finding << ": " << finding;
        if (want.logLine) {
            EXPECT_EQ(finding["exit_code"], -1) << want.finding;
            EXPECT_NE(finding["log"].dump().find(nlohmann::json(want.logLine).dump()), std::string::npos)
                << want.finding << ": " << finding;
        }
    }
}

}  // namespace pkgcheck_test
