#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace qvtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvtest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void writeZip(const std::filesystem::path& archive,
              const std::map<std::string, std::string>& files) {
    TempDir staging;
    for (const auto& [relative, content] : files)
        writeFile(staging / relative, content);
    std::filesystem::create_directories(archive.parent_path());
    const std::string command =
        "cd " + shellQuote(staging.str()) + " && zip -qr " + shellQuote(archive.string()) + " .";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("zip failed: " + command);
}

}  // namespace qvtest
