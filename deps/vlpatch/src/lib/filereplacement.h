// Puts a whole buffer in place of a file: the bytes are written beside it and renamed over it
// only once all of them reached the disk, so a failed write never leaves a partial file under
// the name, and an installed file stays as it was.
#pragma once

#include <cstddef>

namespace vlpatch {

// True when the file at the path (or the file a symbolic link there leads to) now holds exactly
// the buffer; an existing file keeps its permission bits.
bool ReplaceWholeFile(const char* path, const void* buffer, std::size_t size);

} // namespace vlpatch
