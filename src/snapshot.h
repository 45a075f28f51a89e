// Snapshot plumbing behind the F1, F2 and P steps of the key pass.
#pragma once

#include <allegro.h>
#include <cstddef>
#include <vector>

// Reads a BMP held in memory with the library's reader, after checking that
// it is safe to hand to it and putting it in a form the reader knows. Null
// when the check or the reader fails.
BITMAP *read_snapshot(const unsigned char *data, size_t size, RGB *palette);

// Writes `bmp` as a BMP to `path` with replace_file(): `path` holds the old
// picture or the whole new one, never a torn one. False if nothing was
// saved. `bytes` gets the file's bytes.
bool safe_save(const char *path, BITMAP *bmp, const RGB *palette, std::vector<unsigned char> &bytes);

// The snapshot steps of the key pass: F1 saves the board to SNAPSHOT_FILE
// and holds a view onto it, F2 reads the file back into the held picture
// (none if it can't be read), P pastes the held picture, if any.
void save_snapshot();
void load_snapshot();
void paste_snapshot();
