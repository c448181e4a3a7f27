#include "binarypatch.h"

#include "bytewriter.h"
#include "crc.h"
#include "logstream.h"
#include "lzma2block.h"
#include "memoryallowance.h"
#include "nothrowbuffer.h"
#include "suffixsort.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

namespace vlpatch {

namespace {

const uint8_t kMagic[8] = {'V', 'L', 'D', 'I', 'F', 'F', '1', '0'};
constexpr uint64_t kMaxDiffInput = 0x7FFFFFFF;
// A match this long is taken as soon as it beats the current alignment at all.
constexpr int64_t kBigMatch = 10241;
constexpr uint32_t kBucketCount = 1 << 16;
constexpr unsigned kMaxScanThreads = 4;
constexpr int64_t kMinScanStretch = 256 << 10;

// The three parts of a diff as views: control triples, diff bytes and extra bytes.
struct DiffParts {
    SourceStream control;
    SourceStream diff;
    SourceStream extra;
};

bool ShareRawBody(SourceStream* body, DiffParts* parts)
{
    uint32_t controlLength = 0;
    uint32_t diffLength = 0;
    uint32_t extraLength = 0;
    if (!body->ReadVarint32(&controlLength) || !body->ReadVarint32(&diffLength) || !body->ReadVarint32(&extraLength))
        return false;
    const uint64_t total = uint64_t{controlLength} + diffLength + extraLength;
    if (total > body->Remaining())
        return false;
    return body->ShareLength(controlLength, &parts->control) && body->ShareLength(diffLength, &parts->diff) &&
        body->ShareLength(extraLength, &parts->extra);
}

bool RebuildNew(const uint8_t* old, std::size_t oldSize, DiffParts* parts, std::size_t newSize, ByteWriter* out)
{
    uint64_t written = 0;
    int32_t p = 0;
    while (written < newSize) {
        int32_t diffLen = 0;
        int32_t extraLen = 0;
        int32_t seek = 0;
        if (!parts->control.ReadVarint32Signed(&diffLen) || !parts->control.ReadVarint32Signed(&extraLen) ||
            !parts->control.ReadVarint32Signed(&seek)) {
            LogStream(1) << "Corrupt patch reading control";
            return false;
        }
        if (diffLen < 0 || extraLen < 0 || static_cast<std::size_t>(diffLen) > parts->diff.Remaining())
            return false;
        // The diff bytes count towards the new size as much as the extra bytes do.
        if (written + static_cast<uint64_t>(diffLen) > newSize) {
            LogStream(1) << "Corrupt patch";
            return false;
        }
        const int64_t oldEnd = int64_t{p} + diffLen;
        if (p < 0 || oldEnd > INT32_MAX || static_cast<uint64_t>(oldEnd) > oldSize)
            return false;

        const uint8_t* source = old + p;
        for (std::size_t left = static_cast<std::size_t>(diffLen); left != 0;) {
            std::size_t size = 0;
            uint8_t* target = out->Room(left, &size);
            if (!target)
                return false;
            const uint8_t* delta = parts->diff.Buffer();
            for (std::size_t i = 0; i < size; ++i)
                target[i] = static_cast<uint8_t>(delta[i] + source[i]);
            if (!out->Commit(size))
                return false;
            parts->diff.Skip(size);
            source += size;
            left -= size;
        }
        written += static_cast<uint64_t>(diffLen);

        if (written + static_cast<uint64_t>(extraLen) > newSize) {
            LogStream(1) << "Corrupt patch";
            return false;
        }
        if (static_cast<std::size_t>(extraLen) > parts->extra.Remaining())
            return false;
        if (!out->Write(parts->extra.Buffer(), static_cast<std::size_t>(extraLen)))
            return false;
        parts->extra.Skip(static_cast<std::size_t>(extraLen));
        written += static_cast<uint64_t>(extraLen);

        // Stored patches were made with 32-bit wrap-around positions; keep it, without overflow.
        p = static_cast<int32_t>(static_cast<uint32_t>(p) + static_cast<uint32_t>(diffLen) +
                                 static_cast<uint32_t>(seek));
    }
    return true;
}

// Unpacks one packed part of a diff; what it announces, and its decoder's dictionary while it
// decodes, are taken from the allowance first, when there is one.
bool UnpackPart(SourceStream* patch, SinkStream* part, MemoryAllowance* allowance, AllowanceShare* parts)
{
    if (!allowance)
        return UnpackLzma2Block(patch, part);
    SourceStream header = *patch;
    Lzma2BlockReader block;
    if (!block.ReadHeader(&header))
        return false;
    AllowanceShare dictionary(allowance);
    return parts->Take(block.UnpackedSize()) && dictionary.Take(block.DictionarySize())
        && UnpackLzma2Block(patch, part);
}

} // namespace

bool ApplyBinaryPatch(SourceStream* old, SourceStream* patch, SinkStream* out, bool check_header)
{
    const std::size_t start = out->Length();
    SinkWriter writer(out);
    uint32_t crc = 0;
    if (!ApplyBinaryPatch(old, patch, &writer, check_header ? &crc : nullptr))
        return false;
    if (check_header && CalculateCrc(out->Buffer() + start, out->Length() - start) != crc) {
        LogStream(1) << "crc mismatch";
        return false;
    }
    return true;
}

bool ApplyBinaryPatch(SourceStream* old, SourceStream* patch, ByteWriter* out, uint32_t* headerCrcOut,
                      MemoryAllowance* allowance)
{
    const bool check_header = headerCrcOut != nullptr;
    uint32_t headerCrc = 0;
    if (check_header) {
        uint8_t magic[sizeof kMagic];
        if (!patch->Read(magic, sizeof magic))
            return false;
        if (std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
            LogStream(1) << "Corrupt patch header";
            return false;
        }
        if (!patch->ReadVarint32(&headerCrc)) {
            LogStream(1) << "Could not read crc";
            return false;
        }
    }
    uint8_t method = 0;
    if (!patch->Read(&method, 1))
        return false;
    if (method >= 3) {
        LogStream(1) << "Invalid compression method";
        return false;
    }
    uint32_t newSize = 0;
    if (!patch->ReadVarint32(&newSize))
        return false;

    DiffParts parts;
    AllowanceShare partsHeld(allowance);
    SinkStream unpacked[3];
    if (method == kBinaryPatchThreeBlocks) {
        for (SinkStream& part : unpacked) {
            if (!UnpackPart(patch, &part, allowance, &partsHeld))
                return false;
        }
        parts.control.Init(unpacked[0]);
        parts.diff.Init(unpacked[1]);
        parts.extra.Init(unpacked[2]);
    } else if (method == kBinaryPatchOneBlock) {
        if (!UnpackPart(patch, &unpacked[0], allowance, &partsHeld))
            return false;
        SourceStream body;
        body.Init(unpacked[0]);
        if (!ShareRawBody(&body, &parts))
            return false;
    } else if (!ShareRawBody(patch, &parts)) {
        return false;
    }

    // Every new byte comes from a diff or an extra byte, so the output is reserved for no more
    // than those parts hold: a crafted new size allocates nothing, and the rebuild below still
    // reports where such a patch breaks.
    const uint64_t available = uint64_t{parts.diff.Remaining()} + parts.extra.Remaining();
    out->Expect(std::min<uint64_t>(newSize, available));

    if (!RebuildNew(old->Buffer(), old->Remaining(), &parts, newSize, out))
        return false;
    if (check_header)
        *headerCrcOut = headerCrc;
    return true;
}

namespace {

// The bsdiff match search over the old data's suffix index.
class DiffScanner {
public:
    DiffScanner(const uint8_t* old, int64_t oldSize, const int32_t* index, const int32_t* buckets)
        : m_Old(old), m_OldSize(oldSize), m_Index(index), m_Buckets(buckets)
    {
    }

    // Scans one stretch of the new data, starting aligned with the old data at startPosition.
    // The last triple's seek leads to nextPosition, where the next stretch starts (a negative
    // nextPosition: the stretch ends the data, and the seek is bsdiff's own). Diff and extra
    // bytes go to the start of the two buffers, each of which holds the stretch's length.
    bool Run(const uint8_t* newer, int64_t newSize, int64_t startPosition, int64_t nextPosition, SinkStream* control,
             uint8_t* diffBytes, uint8_t* extraBytes, int64_t* diffLength, int64_t* extraLength);

private:
    static int64_t MatchLength(const uint8_t* a, int64_t aSize, const uint8_t* b, int64_t bSize);
    int64_t Search(const uint8_t* target, int64_t targetSize, int64_t* position) const;
    bool Agrees(int64_t oldPos, int64_t newPos) const
    {
        return oldPos >= 0 && oldPos < m_OldSize && m_Old[oldPos] == m_New[newPos];
    }

    const uint8_t* m_Old;
    int64_t m_OldSize;
    const int32_t* m_Index;
    const int32_t* m_Buckets;
    const uint8_t* m_New = nullptr;
    int64_t m_NewSize = 0;
};

int64_t DiffScanner::MatchLength(const uint8_t* a, int64_t aSize, const uint8_t* b, int64_t bSize)
{
    const int64_t limit = std::min(aSize, bSize);
    int64_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            return i + __builtin_ctzll(x ^ y) / 8;
        i += 8;
    }
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

int64_t DiffScanner::Search(const uint8_t* target, int64_t targetSize, int64_t* position) const
{
    int64_t start = 0;
    int64_t end = m_OldSize;
    if (targetSize >= 2) {
        // Only suffixes that share the target's first two bytes can match more than one byte;
        // the binary search starts just around them.
        const uint32_t key = uint32_t{target[0]} << 8 | target[1];
        start = m_Buckets[key] - 1;
        end = std::min<int64_t>(m_Buckets[key + 1], m_OldSize);
    }
    while (end - start >= 2) {
        const int64_t middle = start + (end - start) / 2;
        const int64_t at = m_Index[middle];
        const std::size_t length = static_cast<std::size_t>(std::min(m_OldSize - at, targetSize));
        if (std::memcmp(m_Old + at, target, length) < 0)
            start = middle;
        else
            end = middle;
    }
    const int64_t x = MatchLength(m_Old + m_Index[start], m_OldSize - m_Index[start], target, targetSize);
    const int64_t y = MatchLength(m_Old + m_Index[end], m_OldSize - m_Index[end], target, targetSize);
    if (x > y) {
        *position = m_Index[start];
        return x;
    }
    *position = m_Index[end];
    return y;
}

bool DiffScanner::Run(const uint8_t* newer, int64_t newSize, int64_t startPosition, int64_t nextPosition,
                      SinkStream* control, uint8_t* diffBytes, uint8_t* extraBytes, int64_t* diffLengthOut,
                      int64_t* extraLengthOut)
{
    m_New = newer;
    m_NewSize = newSize;
    int64_t scan = 0;
    int64_t length = 0;
    int64_t position = 0;
    int64_t lastScan = 0;
    int64_t lastPosition = startPosition;
    int64_t lastOffset = startPosition;
    int64_t diffLength = 0;
    int64_t extraLength = 0;

    while (scan < m_NewSize) {
        int64_t oldScore = 0;
        int64_t scoreScan = scan += length;
        for (; scan < m_NewSize; ++scan) {
            length = m_OldSize == 0 ? 0 : Search(m_New + scan, m_NewSize - scan, &position);
            for (; scoreScan < scan + length; ++scoreScan) {
                if (Agrees(scoreScan + lastOffset, scoreScan))
                    ++oldScore;
            }
            if ((length == oldScore && length != 0) || length > oldScore + 8 ||
                (length >= kBigMatch && length > oldScore))
                break;
            if (Agrees(scan + lastOffset, scan))
                --oldScore;
        }
        if (length == oldScore && scan != m_NewSize)
            continue;

        // Extend the previous match forward and this one backward as far as they pay.
        int64_t forward = 0;
        for (int64_t i = 0, agreeing = 0, best = 0; lastScan + i < scan && lastPosition + i < m_OldSize;) {
            if (m_Old[lastPosition + i] == m_New[lastScan + i])
                ++agreeing;
            ++i;
            if (agreeing * 2 - i > best * 2 - forward) {
                best = agreeing;
                forward = i;
            }
        }
        int64_t backward = 0;
        if (scan < m_NewSize) {
            for (int64_t i = 1, agreeing = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
                if (m_Old[position - i] == m_New[scan - i])
                    ++agreeing;
                if (agreeing * 2 - i > best * 2 - backward) {
                    best = agreeing;
                    backward = i;
                }
            }
        }
        if (lastScan + forward > scan - backward) {
            const int64_t overlap = (lastScan + forward) - (scan - backward);
            int64_t split = 0;
            for (int64_t i = 0, score = 0, best = 0; i < overlap; ++i) {
                if (m_New[lastScan + forward - overlap + i] == m_Old[lastPosition + forward - overlap + i])
                    ++score;
                if (m_New[scan - backward + i] == m_Old[position - backward + i])
                    --score;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        for (int64_t i = 0; i < forward; ++i)
            diffBytes[diffLength + i] = static_cast<uint8_t>(m_New[lastScan + i] - m_Old[lastPosition + i]);
        const int64_t extraCount = (scan - backward) - (lastScan + forward);
        std::memcpy(extraBytes + extraLength, m_New + lastScan + forward, static_cast<std::size_t>(extraCount));
        diffLength += forward;
        extraLength += extraCount;

        const bool atEnd = scan == m_NewSize;
        const int64_t seek = (atEnd && nextPosition >= 0 ? nextPosition : position - backward) - (lastPosition + forward);
        if (!control->WriteVarint32Signed(static_cast<int32_t>(forward)) ||
            !control->WriteVarint32Signed(static_cast<int32_t>(extraCount)) ||
            !control->WriteVarint32Signed(static_cast<int32_t>(seek)))
            return false;

        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }
    *diffLengthOut = diffLength;
    *extraLengthOut = extraLength;
    return true;
}

// The scan of long inputs is split into stretches scanned at once on several threads; each
// stretch's triples are those of a scan of it alone, and the last one seeks to where the next
// stretch starts, so the stretches' parts simply follow each other.
bool ScanInStretches(const DiffScanner& scanner, const uint8_t* newData, int64_t newSize, int64_t oldSize,
                     SinkStream* control, SinkStream* diff, SinkStream* extra)
{
    struct Stretch {
        int64_t begin;
        int64_t end;
        SinkStream control;
        int64_t diffLength = 0;
        int64_t extraLength = 0;
        bool ok = false;
    };
    // The split depends on the input alone, never on the machine, so a diff is the same
    // wherever it is made.
    const int64_t count = std::max<int64_t>(1, std::min<int64_t>(kMaxScanThreads, newSize / kMinScanStretch));
    Stretch stretches[kMaxScanThreads];
    for (int64_t i = 0; i < count; ++i) {
        stretches[i].begin = newSize * i / count;
        stretches[i].end = newSize * (i + 1) / count;
    }
    uint8_t* diffBytes = diff->MutableBuffer();
    uint8_t* extraBytes = extra->MutableBuffer();
    auto scan = [&](int64_t i) {
        Stretch& s = stretches[i];
        const int64_t next = i + 1 < count ? std::min(stretches[i + 1].begin, oldSize) : -1;
        DiffScanner own = scanner;
        s.ok = own.Run(newData + s.begin, s.end - s.begin, std::min(s.begin, oldSize), next, &s.control,
                       diffBytes + s.begin, extraBytes + s.begin, &s.diffLength, &s.extraLength);
    };

    std::thread workers[kMaxScanThreads];
    for (int64_t i = 1; i < count; ++i) {
        try {
            workers[i] = std::thread(scan, i);
        } catch (const std::system_error&) {
            scan(i);
        }
    }
    scan(0);
    for (std::thread& worker : workers) {
        if (worker.joinable())
            worker.join();
    }

    int64_t diffLength = 0;
    int64_t extraLength = 0;
    for (int64_t i = 0; i < count; ++i) {
        Stretch& s = stretches[i];
        if (!s.ok || !control->Append(&s.control))
            return false;
        std::memmove(diffBytes + diffLength, diffBytes + s.begin, static_cast<std::size_t>(s.diffLength));
        std::memmove(extraBytes + extraLength, extraBytes + s.begin, static_cast<std::size_t>(s.extraLength));
        diffLength += s.diffLength;
        extraLength += s.extraLength;
    }
    return diff->Commit(static_cast<std::size_t>(diffLength)) && extra->Commit(static_cast<std::size_t>(extraLength));
}

// Where each two-byte prefix starts in the suffix index (entry 0 being the empty suffix, and
// the one-byte last suffix sorting before every longer suffix that starts with its byte).
bool BuildBuckets(const uint8_t* old, std::size_t oldSize, NoThrowBuffer<int32_t, 1>* buckets)
{
    if (!buckets->resize(kBucketCount + 1, 0))
        return false;
    int32_t* counts = buckets->data();
    for (std::size_t i = 0; i + 1 < oldSize; ++i)
        ++counts[uint32_t{old[i]} << 8 | old[i + 1]];
    const uint32_t lastKey = oldSize != 0 ? uint32_t{old[oldSize - 1]} << 8 : kBucketCount;
    int32_t start = 1;
    for (uint32_t key = 0; key <= kBucketCount; ++key) {
        if (key == lastKey)
            ++start;
        const int32_t count = key < kBucketCount ? counts[key] : 0;
        counts[key] = start;
        start += count;
    }
    return true;
}

bool AppendRawBody(SinkStream* control, SinkStream* diff, SinkStream* extra, SinkStream* target)
{
    return target->WriteSizeVarint32(control->Length()) && target->WriteSizeVarint32(diff->Length()) &&
        target->WriteSizeVarint32(extra->Length()) &&
        target->Reserve(control->Length() + diff->Length() + extra->Length()) && target->Append(control) &&
        target->Append(diff) && target->Append(extra);
}

} // namespace

bool CreateBinaryPatch(SourceStream* old, SourceStream* newer, SinkStream* out, bool write_header, uint32_t method)
{
    if (method > kBinaryPatchOneBlock) {
        LogStream(1) << "Invalid compression method";
        return false;
    }
    const uint8_t* newData = newer->Buffer();
    const std::size_t newSize = newer->Remaining();
    const uint32_t newCrc = CalculateCrc(newData, newSize);

    const uint8_t* oldData = old->Buffer();
    const std::size_t oldSize = old->Remaining();
    if (oldSize > kMaxDiffInput) {
        LogStream(1) << " old stream too large";
        return false;
    }
    if (!old->Skip(oldSize)) {
        LogStream(1) << "error in old_stream size";
        return false;
    }

    NoThrowBuffer<int32_t, 1> index;
    if (!index.resize(oldSize + 1, 0))
        return false;
    index[0] = static_cast<int32_t>(oldSize);
    if (oldSize != 0 && SuffixSort(oldData, index.data() + 1, static_cast<int32_t>(oldSize)) != 0)
        return false;

    if (newSize > kMaxDiffInput) {
        LogStream(1) << " new stream too large";
        return false;
    }
    if (!newer->Skip(newSize)) {
        LogStream(1) << "error in new_stream size";
        return false;
    }

    SinkStream control;
    SinkStream diff;
    SinkStream extra;
    if (!diff.Reserve(newSize + 1) || !extra.Reserve(newSize + 1))
        return false;
    NoThrowBuffer<int32_t, 1> buckets;
    if (!BuildBuckets(oldData, oldSize, &buckets))
        return false;
    const DiffScanner scanner(oldData, static_cast<int64_t>(oldSize), index.data(), buckets.data());
    if (!ScanInStretches(scanner, newData, static_cast<int64_t>(newSize), static_cast<int64_t>(oldSize), &control,
                         &diff, &extra))
        return false;
    index.release();
    buckets.release();

    const uint8_t methodByte = static_cast<uint8_t>(method);
    if (write_header && !(out->Write(kMagic, sizeof kMagic) && out->WriteVarint32(newCrc)))
        return false;
    if (!out->Write(&methodByte, 1) || !out->WriteSizeVarint32(newSize))
        return false;

    switch (method) {
    case kBinaryPatchThreeBlocks: {
        SourceStream controlSource;
        controlSource.Init(control);
        return PackLzma2Block(&controlSource, out) && PackLzma2Buffer(diff.Buffer(), diff.Length(), out) &&
            PackLzma2Buffer(extra.Buffer(), extra.Length(), out);
    }
    case kBinaryPatchOneBlock: {
        SinkStream body;
        if (!AppendRawBody(&control, &diff, &extra, &body))
            return false;
        return PackLzma2Buffer(body.Buffer(), body.Length(), out);
    }
    default:
        return AppendRawBody(&control, &diff, &extra, out);
    }
}

} // namespace vlpatch
