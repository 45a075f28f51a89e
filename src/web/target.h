// Where a save goes in the browser: a path in the game's memory, in the
// worker of the page it runs in.
#pragma once

#include <string>

struct Target : TargetBase {
    std::string path;
    std::string folder;  // with its trailing slash, or empty for the current one
};
