#pragma once
// The two atomic renames the file helpers need beyond rename(2), each in the
// system's own call: Linux's renameat2 (linux/rename.cpp); on macOS
// renamex_np with RENAME_EXCL and RENAME_SWAP respectively. Private to
// src/platform.

namespace platform {

// Renames `from` to `to` only when nothing is at `to`: 0, or the errno
// (EEXIST when something is).
int renameNoReplace(const char* from, const char* to);

// Swaps the entries at `from` and `to` in one step, whatever their types: 0 or the errno.
int renameExchange(const char* from, const char* to);

}  // namespace platform
