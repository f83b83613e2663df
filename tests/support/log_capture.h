#pragma once
// What the text log printed on stdout while a piece of code ran in this process,
// and checks of its entries.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/checks.h"

namespace qvtest {

template <typename Body>
std::string stdoutOf(Body body) {
    ::testing::internal::CaptureStdout();
    body();
    return ::testing::internal::GetCapturedStdout();
}

template <typename Body>
std::string stderrOf(Body body) {
    ::testing::internal::CaptureStderr();
    body();
    return ::testing::internal::GetCapturedStderr();
}

// Log text as "LEVEL message" lines, the time stamp cut off.
inline std::vector<std::string> entriesOf(const std::string& log) {
    auto entries = linesOf(log);
    for (auto& entry : entries)
        entry.erase(0, std::min(entry.size(), entry.find(' ') + 1));
    return entries;
}

// The entries of the text log while `body` ran.
template <typename Body>
std::vector<std::string> logEntriesOf(Body body) {
    return entriesOf(stdoutOf(body));
}

// `entries` holds every line of `expected`, in that order (others may come between).
inline ::testing::AssertionResult inOrder(const std::vector<std::string>& entries,
                                          const std::vector<std::string>& expected) {
    auto at = entries.begin();
    for (const auto& line : expected) {
        at = std::find(at, entries.end(), line);
        if (at == entries.end())
            return ::testing::AssertionFailure() << "missing or out of order: " << line
                                                 << "\nin: " << ::testing::PrintToString(entries);
        ++at;
    }
    return ::testing::AssertionSuccess();
}

inline bool hasEntry(const std::vector<std::string>& entries, const std::string& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

inline bool hasEntryStartingWith(const std::vector<std::string>& entries,
                                 const std::string& prefix) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const std::string& entry) { return entry.starts_with(prefix); });
}

}  // namespace qvtest
