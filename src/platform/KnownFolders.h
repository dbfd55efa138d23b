#pragma once

#include <string>

namespace navorel::platform {

// Folders as UTF-8 paths; empty when the system has none.

// The documents folder shared by all users. Windows: the shell's common
// documents folder. POSIX: none.
std::string commonDocumentsFolder();

// The user's documents folder. Windows: the shell's personal folder. POSIX:
// $XDG_DOCUMENTS_DIR, else $HOME/Documents.
std::string userDocumentsFolder();

}  // namespace navorel::platform
