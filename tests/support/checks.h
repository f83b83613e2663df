#pragma once
// Small checks tests share: a file's mode, a count of occurrences, lines, and
// waiting for a condition that another thread or process makes true.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qvtest {

// The permission bits (07777) of the file; 0 when it cannot be read.
unsigned modeOf(const std::filesystem::path& path);

// How often `needle` occurs in `haystack`, overlapping occurrences included.
int countOf(const std::string& haystack, const std::string& needle);

// The lines of `text`, without their line breaks.
std::vector<std::string> linesOf(const std::string& text);

// Runs `command` with /bin/sh; a non-zero status fails the test.
void sh(const std::string& command);

// Polls `condition` until it holds; false when `timeout` passed first.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace qvtest
