// Pictures of the screen.
#pragma once

#include <string>

namespace automation {

// Saves the whole screen as a 24-bit BMP file.
bool Screenshot(const std::string& path);

// Asks a script that watches `folder` to photograph the screen (it draws
// what this program cannot, such as a virtual desktop's title bars): writes
// <name>.request and waits up to 20 s for <name>.done. Nothing when `folder`
// is empty.
void RequestScreenshot(const std::string& folder, const std::string& name);

}  // namespace automation
