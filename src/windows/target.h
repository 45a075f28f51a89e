// Where a save goes on Windows: the file's full path, and what it carried.
#pragma once

#include <string>

struct Target : TargetBase {
    std::wstring path;              // in full
    std::wstring folder;            // with its trailing separator
    unsigned long attributes = 0;   // of the existing file
};
