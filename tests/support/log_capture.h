#pragma once
// What the text log printed on stdout while a piece of code ran in this process.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace qvtest {

template <typename Body>
std::string stdoutOf(Body body) {
    ::testing::internal::CaptureStdout();
    body();
    return ::testing::internal::GetCapturedStdout();
}

// The text-log entries as "LEVEL message" lines, the time stamp cut off.
template <typename Body>
std::vector<std::string> logEntriesOf(Body body) {
    std::istringstream in(stdoutOf(body));
    std::vector<std::string> entries;
    for (std::string line; std::getline(in, line);) {
        auto space = line.find(' ');
        entries.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return entries;
}

}  // namespace qvtest
