#pragma once
// A fresh temporary folder per test, removed with everything in it afterwards.

#include <filesystem>
#include <map>
#include <string>

namespace qvtest {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

  private:
    std::filesystem::path path_;
};

// Writes a whole file, creating its folders.
void writeFile(const std::filesystem::path& path, const std::string& content);
std::string readFile(const std::filesystem::path& path);

// `text` in single quotes for /bin/sh.
std::string shellQuote(const std::string& text);

// A zip archive at `archive` holding `files` (path inside the archive ->
// content, each mode 0644), made with the zip tool. Throws when zip fails.
void writeZip(const std::filesystem::path& archive,
              const std::map<std::string, std::string>& files);

}  // namespace qvtest
