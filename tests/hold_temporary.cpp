// A Windows game that is in the middle of a save, for the end-to-end tests
// under Wine: makes the file it is given as the game makes its temporary
// file, holds it as the game holds it (the same lock, on the same byte far
// past its end: src/windows/temporaries.cpp), says "held", and keeps it
// until it is killed.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    HANDLE h = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED at{};
    at.OffsetHigh = 0x40000000;
    if (h == INVALID_HANDLE_VALUE || !LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at))
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
