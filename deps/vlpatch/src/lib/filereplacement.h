// Puts a whole buffer in place of a file: the bytes are written beside it and renamed over it
// only once all of them reached the disk, so a failed write never leaves a partial file under
// the name, and an installed file stays as it was.
#pragma once

#include <cstddef>
#include <string>

namespace vlpatch {

// True when the file at the path (or the file a symbolic link there leads to) now holds exactly
// the buffer; an existing file keeps its permission bits.
bool ReplaceWholeFile(const char* path, const void* buffer, std::size_t size);

// The file that a write to `path` changes: a symbolic link at the path is followed.
std::string FinalPathOf(const char* path);

// Every file that a writer fills beside `final` before putting it in place is named with this
// prefix, so that whoever cleans up after an interrupted write finds all of them.
std::string PartialFilePrefix(const std::string& final);

// Creates a new, empty file beside `final` with a name of its own (PartialFilePrefix followed by
// an id unique across threads and processes); returns its descriptor, or -1.
int CreatePartialFile(const std::string& final, std::string* partial);

} // namespace vlpatch
