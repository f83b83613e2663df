#pragma once
// The system root under which every absolute product path resolves. On a
// real computer the root is "/"; tests and the demo point QV_ROOT at a sandbox.

#include <string>
#include <string_view>

namespace platform {

class SystemRoot {
  public:
    // Reads QV_ROOT once; later calls keep the first value. Tests may call set().
    static const std::string& get();
    static void set(std::string root);

    // "/Library/Foo" -> "<root>/Library/Foo"; with root "/" the path is unchanged.
    static std::string resolve(std::string_view absolutePath);

    // A resolved path ready to embed in a bash command line: unchanged when it
    // holds no character the shell would split on or expand, single-quoted otherwise.
    static std::string forCommandLine(std::string_view absolutePath);
};

// Quotes a word for bash only when it needs quoting.
std::string shellQuoteIfNeeded(std::string_view word);

}  // namespace platform
