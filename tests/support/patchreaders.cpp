#include "patchreaders.h"

#include "binarypatch.h"
#include "lzma2block.h"
#include "streamset.h"

using namespace vlpatch;

void FuzzStreamSet(const uint8_t* data, std::size_t size)
{
    SourceStreamSet set;
    if (!set.Init(data, size))
        return;
    for (int i = 0; i < 4 && !set.Empty(); ++i) {
        SourceStreamSet nested;
        if (!set.ReadSet(&nested))
            return;
        for (std::size_t s = 0; s < kMaxStreams; ++s) {
            uint32_t value = 0;
            nested.stream(s)->ReadVarint32(&value);
        }
    }
}

void FuzzLzma2Block(const uint8_t* data, std::size_t size)
{
    SourceStream source;
    source.Init(data, size);
    SinkStream sink;
    while (!source.Empty() && UnpackLzma2Block(&source, &sink)) {
    }
}

void FuzzBinaryPatch(const uint8_t* data, std::size_t size)
{
    SourceStream input;
    input.Init(data, size);
    uint8_t flags = 0;
    uint32_t oldLength = 0;
    SourceStream old;
    if (!input.Read(&flags, 1) || !input.ReadVarint32(&oldLength) || !input.ShareLength(oldLength, &old))
        return;
    SinkStream out;
    ApplyBinaryPatch(&old, &input, &out, flags & 1);
}
