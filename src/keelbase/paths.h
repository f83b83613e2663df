#pragma once
// The product folder and the files the framework keeps in it.

#include <string>

namespace Keelbase::Paths {

// "/Library/Application Support/Tessaly/Quorvel", as the product knows it
// (unresolved; resolve under the system root before touching the file system).
inline constexpr const char* kProductFolder = "/Library/Application Support/Tessaly/Quorvel";
inline constexpr const char* kLogsFolder = "/Library/Application Support/Tessaly/Quorvel/logs";
inline constexpr const char* kTempFolder = "/Library/Application Support/Tessaly/Quorvel/temp";

}  // namespace Keelbase::Paths
