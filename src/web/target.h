// Where a save goes in the browser: a path in the page's memory.
#pragma once

#include <string>

struct Target {
    bool exists = false;
    Look look{};
    std::string path;
    std::string folder;  // with its trailing slash, or empty for the current one
};
