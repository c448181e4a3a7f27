// Puts a new file in place of an old one: the bytes are written beside it and renamed over it
// only once all of them reached the disk, so a failed write never leaves a partial file under
// the name, and an installed file stays as it was.
#pragma once

#include "bytewriter.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vlpatch {

// The new file while it is written, through a bounded buffer. Nothing reaches the path before
// Finish; a file that is not finished is removed when this object goes.
class ReplacementFile : public ByteWriter {
public:
    // Opens the new file beside the path (or beside the file a symbolic link there leads to).
    explicit ReplacementFile(const char* path);
    ~ReplacementFile() override;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    bool IsOpen() const { return m_Descriptor != -1; }
    uint8_t* Room(std::size_t wanted, std::size_t* size) override;
    bool Commit(std::size_t n) override;
    // Bytes that are whole in memory already go to the file without passing the buffer.
    bool WriteThrough(const void* bytes, std::size_t n);
    // Writes what is buffered, syncs, and renames the new file over the path; an existing file
    // there passes its permission bits on.
    bool Finish();

private:
    bool Flush();
    void Discard();

    std::string m_Final;
    std::string m_Temporary;
    int m_Descriptor = -1;
    bool m_Failed = false;
    uint8_t* m_Buffer = nullptr;
    std::size_t m_Filled = 0;
};

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
