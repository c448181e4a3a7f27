#include "binarypatch.h"
#include "crc.h"
#include "logcapture.h"
#include "memorymappedview.h"
#include "scratchdir.h"
#include "sinkbytes.h"

#include <gtest/gtest.h>

#include <initializer_list>

using namespace vlpatch;

namespace {

struct Triple {
    int32_t diff;
    int32_t extra;
    int32_t seek;
};

// A headerless method-0 diff built by hand.
ByteVector rawDiff(uint32_t newSize, std::initializer_list<Triple> triples, const ByteVector& diff,
                   const ByteVector& extra, const ByteVector& tail = {})
{
    SinkStream control;
    for (const Triple& t : triples) {
        control.WriteVarint32Signed(t.diff);
        control.WriteVarint32Signed(t.extra);
        control.WriteVarint32Signed(t.seek);
    }
    SinkStream out;
    const uint8_t method = 0;
    out.Write(&method, 1);
    out.WriteVarint32(newSize);
    out.WriteVarint32(static_cast<uint32_t>(control.Length()));
    out.WriteVarint32(static_cast<uint32_t>(diff.size()));
    out.WriteVarint32(static_cast<uint32_t>(extra.size()));
    out.Append(&control);
    out.Write(diff.data(), diff.size());
    out.Write(extra.data(), extra.size());
    out.Write(tail.data(), tail.size());
    return bytesOf(out);
}

ByteVector withHeader(const ByteVector& body, uint32_t crc)
{
    SinkStream out;
    out.Write("VLDIFF10", 8);
    out.WriteVarint32(crc);
    out.Write(body.data(), body.size());
    return bytesOf(out);
}

struct Applied {
    bool ok;
    ByteVector output;
    std::size_t patchLeft;
};

Applied apply(const ByteVector& old, const ByteVector& patch, bool header)
{
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream out;
    const bool ok = ApplyBinaryPatch(&oldStream, &patchStream, &out, header);
    EXPECT_EQ(oldStream.Remaining(), old.size());
    return {ok, bytesOf(out), patchStream.Remaining()};
}

ByteVector create(const ByteVector& old, const ByteVector& newer, bool header, uint32_t method)
{
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream newStream;
    newStream.Init(newer.data(), newer.size());
    SinkStream out;
    EXPECT_TRUE(CreateBinaryPatch(&oldStream, &newStream, &out, header, method));
    EXPECT_TRUE(oldStream.Empty());
    EXPECT_TRUE(newStream.Empty());
    return bytesOf(out);
}

// A new version of `old`: some bytes changed, a block inserted, a block dropped.
ByteVector edited(const ByteVector& old, uint32_t seed)
{
    ByteVector newer = old;
    const ByteVector noise = randomBytes(old.size() / 50 + 64, seed);
    for (std::size_t i = 0; i < newer.size(); i += 97)
        newer[i] = static_cast<uint8_t>(newer[i] + noise[i % noise.size()]);
    newer.insert(newer.begin() + static_cast<std::ptrdiff_t>(newer.size() / 3), noise.begin(), noise.end());
    newer.erase(newer.begin() + static_cast<std::ptrdiff_t>(newer.size() / 2),
                newer.begin() + static_cast<std::ptrdiff_t>(newer.size() / 2 + newer.size() / 20));
    return newer;
}

void expectRoundTrips(const ByteVector& old, const ByteVector& newer)
{
    std::size_t raw = 0;
    for (uint32_t method : {0u, 1u, 2u}) {
        for (bool header : {false, true}) {
            const ByteVector patch = create(old, newer, header, method);
            const Applied applied = apply(old, patch, header);
            EXPECT_TRUE(applied.ok) << "method " << method << " header " << header;
            EXPECT_TRUE(applied.output == newer) << "method " << method << " header " << header;
            EXPECT_EQ(applied.patchLeft, 0u);
            if (method == 0 && !header) {
                raw = patch.size();
            } else if (method != 0 && newer.size() > 100000) {
                EXPECT_LT(patch.size(), raw);
            }
        }
    }
}

const char* const kArmHardFloatLibc = "/usr/arm-linux-gnueabihf/lib/libc.so.6";
const char* const kArmSoftFloatLibc = "/usr/arm-linux-gnueabi/lib/libc.so.6";

ByteVector requireFile(const char* path)
{
    MemoryMappedView view(path, 0, 0);
    if (!view.IsValid()) {
        ADD_FAILURE() << path << " is missing: tools/install-deps --tests installs it";
        return {};
    }
    return ByteVector(view.data(), view.data() + view.length());
}

} // namespace

TEST(BinaryPatchTest, RoundTripsOnRandomAndDegenerateData)
{
    const ByteVector old = randomBytes(200000, 11);
    expectRoundTrips(old, edited(old, 12));
    expectRoundTrips({}, randomBytes(1000, 13));
    expectRoundTrips(randomBytes(1000, 14), {});
    expectRoundTrips({}, {});
    expectRoundTrips(ByteVector(5000, 0), ByteVector(6000, 0));
    expectRoundTrips(old, old);
}

TEST(BinaryPatchTest, RoundTripsBetweenTwoBuildsOfTheCLibrary)
{
    const ByteVector hardFloat = requireFile(kArmHardFloatLibc);
    const ByteVector softFloat = requireFile(kArmSoftFloatLibc);
    ASSERT_FALSE(hardFloat.empty());
    ASSERT_FALSE(softFloat.empty());
    expectRoundTrips(hardFloat, softFloat);
}

// bsdiff's own patch, turned into a method-0 diff, rebuilds what bspatch rebuilds.
TEST(BinaryPatchTest, AppliesConvertedBsdiffPatchesLikeBspatch)
{
    ScratchDir dir;
    const ByteVector randomOld = randomBytes(300000, 15);
    const std::pair<ByteVector, ByteVector> pairs[] = {
        {randomOld, edited(randomOld, 16)},
        {requireFile(kArmSoftFloatLibc), requireFile(kArmHardFloatLibc)},
    };
    for (const auto& [old, newer] : pairs) {
        ASSERT_FALSE(old.empty());
        writeBytes(dir.file("old"), old);
        writeBytes(dir.file("new"), newer);
        ASSERT_EQ(runShell(requireTool("bsdiff") + " " + dir.file("old") + " " + dir.file("new") + " " +
                           dir.file("patch")),
                  0);
        ASSERT_EQ(runShell(requireTool("bspatch") + " " + dir.file("old") + " " + dir.file("bspatched") + " " +
                           dir.file("patch")),
                  0);
        ASSERT_EQ(runShell(requireTool("python3") + " " VL_BSDIFF2VLDIFF " " + dir.file("patch") + " " +
                           dir.file("new") + " " + dir.file("vldiff")),
                  0);
        const Applied applied = apply(old, readBytes(dir.file("vldiff")), true);
        EXPECT_TRUE(applied.ok);
        EXPECT_TRUE(applied.output == readBytes(dir.file("bspatched")));
        EXPECT_TRUE(applied.output == newer);
    }
}

TEST(BinaryPatchTest, ReadsHandMadeDiffsAndStopsAfterTheExtraPart)
{
    LogCapture log;
    EXPECT_TRUE(apply({}, {0, 0, 0, 0, 0}, false).ok);

    // new = (old[0..2] + 1), then "xy", then back to old[0] for one more diff byte.
    const ByteVector old = {10, 20, 30, 40, 50};
    const ByteVector patch = rawDiff(6, {{3, 2, -3}, {1, 0, 0}}, {1, 1, 1, 5}, {'x', 'y'}, {0xAA, 0xBB});
    Applied applied = apply(old, patch, false);
    ASSERT_TRUE(applied.ok);
    EXPECT_EQ(applied.output, ByteVector({11, 21, 31, 'x', 'y', 15}));
    EXPECT_EQ(applied.patchLeft, 2u);

    const ByteVector expected = applied.output;
    applied = apply(old, withHeader(rawDiff(6, {{3, 2, -3}, {1, 0, 0}}, {1, 1, 1, 5}, {'x', 'y'}),
                                    CalculateCrc(expected.data(), expected.size())),
                    true);
    EXPECT_TRUE(applied.ok);
    EXPECT_TRUE(log.messages.empty());

    // A seek below 0 does no harm in the last triple.
    EXPECT_TRUE(apply(old, rawDiff(2, {{1, 1, -100}}, {0}, {0}), false).ok);
}

TEST(BinaryPatchTest, RefusesCorruptDiffs)
{
    LogCapture log;
    const ByteVector old = {10, 20, 30, 40, 50};
    auto refused = [&](const ByteVector& patch, bool header, const std::string& message) {
        log.messages.clear();
        EXPECT_FALSE(apply(old, patch, header).ok);
        EXPECT_EQ(log.last(), message);
    };

    refused({}, false, "");
    refused({3, 0}, false, "Invalid compression method");
    refused({'V', 'L', 'D', 'I', 'F', 'F', '1', '1', 0, 0, 0}, true, "Corrupt patch header");
    refused({'V', 'L', 'D', 'I', 'F', 'F', '1', '0'}, true, "Could not read crc");
    refused({0, 0, 0, 0}, false, "");
    // The lengths promise more bytes than follow.
    refused({0, 0, 3, 0, 0, 1, 1}, false, "");

    const ByteVector good = rawDiff(2, {{1, 1, 0}}, {1}, {2});
    Applied wrongCrc = apply(old, withHeader(good, 12345), true);
    EXPECT_FALSE(wrongCrc.ok);
    EXPECT_EQ(wrongCrc.output, ByteVector({11, 2}));
    EXPECT_EQ(log.last(), "crc mismatch");

    refused(rawDiff(6, {{4, 0, 2}, {2, 0, 0}}, {0, 0, 0, 0, 0, 0}, {}), false, "");          // past the old end
    refused(rawDiff(2, {{1, 2, 0}}, {0}, {1, 2}), false, "Corrupt patch");                     // extra past new size
    refused(rawDiff(2, {{3, 0, 0}}, {0, 0, 0}, {}), false, "Corrupt patch");                   // diff past new size
    refused(rawDiff(4, {{1, 1, 0}}, {0}, {1, 2, 3}), false, "Corrupt patch reading control");  // control runs out
    refused(rawDiff(10, {{1, 1, 0}}, {0}, {1}), false, "Corrupt patch reading control");      // parts run out too
    refused(rawDiff(3, {{1, 1, -100}, {0, 1, 0}}, {0}, {1, 2}), false, "");                    // p below 0
    refused(rawDiff(2, {{-1, 1, 0}}, {0}, {1, 2}), false, "");
    refused(rawDiff(2, {{1, -1, 0}}, {0}, {1, 2}), false, "");
    refused(rawDiff(2, {{2, 0, 0}}, {0}, {}), false, "");                                       // diff part too short
    refused(rawDiff(2, {{0, 2, 0}}, {}, {1}), false, "");                                       // extra part too short
}

// Positions pushed past the 32-bit range by crafted seeks are refused, without undefined behaviour.
TEST(BinaryPatchTest, CraftedPositionsDoNotOverflow)
{
    const ByteVector old(16, 1);
    EXPECT_FALSE(apply(old, rawDiff(2, {{1, 0, INT32_MAX}, {1, 0, 0}}, {0, 0}, {}), false).ok);
    EXPECT_FALSE(apply(old, rawDiff(2, {{1, 0, INT32_MIN}, {1, 0, 0}}, {0, 0}, {}), false).ok);
    EXPECT_FALSE(apply(old, rawDiff(2, {{0, 0, 15}, {1, 0, INT32_MAX}, {0, 1, 0}}, {0}, {0}), false).ok);
    const Applied last = apply(old, rawDiff(2, {{1, 1, INT32_MAX}}, {4}, {9}), false);
    EXPECT_TRUE(last.ok);
    EXPECT_EQ(last.output, ByteVector({5, 9}));
}

// A new size the diff and extra parts cannot fill is refused without reserving output for it.
TEST(BinaryPatchTest, RefusesNewSizesThePartsCannotFill)
{
    const ByteVector old(16, 1);
    for (uint32_t method : {0u, 2u}) {
        ByteVector patch = create(old, ByteVector(8, 2), false, method);
        // Rewrite the new size (after the method byte) as 0xFFFFFFFF.
        ByteVector huge = {static_cast<uint8_t>(method), 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
        huge.insert(huge.end(), patch.begin() + 2, patch.end());
        SourceStream oldStream;
        oldStream.Init(old.data(), old.size());
        SourceStream patchStream;
        patchStream.Init(huge.data(), huge.size());
        SinkStream out;
        LogCapture log;
        EXPECT_FALSE(ApplyBinaryPatch(&oldStream, &patchStream, &out, false));
        EXPECT_LT(out.Capacity(), 1024u);
        EXPECT_EQ(log.last(), "Corrupt patch reading control");
    }
}
