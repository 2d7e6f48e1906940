// Where seamlog-capture keeps its journal and log.
#pragma once

#include <string>

namespace seamlog::tools {

// The XDG state folder: $XDG_STATE_HOME/seamlog, else ~/.local/state/seamlog;
// on macOS ~/Library/Application Support/Seamlog. Empty when neither the
// variable nor HOME is set. Arguments are the variables' values (null: unset).
std::string StateFolder(const char* xdgStateHome, const char* home, bool macos);

// Makes folder and its missing parents; empty on success, else why not.
std::string MakeFolders(const std::string& folder);

}  // namespace seamlog::tools
