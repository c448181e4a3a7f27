#include "ensemblepatchwriter.h"

#include "assemblyprogram.h"
#include "binarypatch.h"
#include "crc.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "ensemblepatch.h"
#include "lzma2block.h"
#include "sinkbytes.h"
#include "status.h"
#include "streamset.h"

#include <gtest/gtest.h>

using namespace vlpatch;

namespace {

// The element's encoded program written into its own set, and optionally assembled.
bool encodeElement(const uint8_t* bytes, std::size_t length, SinkStreamSet* set, SinkStream* assembled)
{
    AssemblyProgram* program = nullptr;
    if (ParseDetectedExecutable(bytes, length, &program) != C_OK)
        return false;
    EncodedProgram* encoded = nullptr;
    const bool encodedOk = TrimLabels(program) == C_OK && EncodeProgram(program, &encoded) == C_OK;
    DeleteAssemblyProgram(program);
    if (!encodedOk)
        return false;
    const bool ok = WriteEncodedProgram(encoded, set) == C_OK && (!assembled || Assemble(encoded, assembled) == C_OK);
    DeleteEncodedProgram(encoded);
    return ok;
}

ByteVector serialise(SinkStreamSet* set)
{
    SinkStream sink;
    EXPECT_TRUE(set->CopyTo(&sink));
    return bytesOf(sink);
}

} // namespace

ByteVector headerlessDiff(const ByteVector& from, const ByteVector& to)
{
    SourceStream old;
    old.Init(from.data(), from.size());
    SourceStream newer;
    newer.Init(to.data(), to.size());
    SinkStream diff;
    EXPECT_TRUE(CreateBinaryPatch(&old, &newer, &diff, false, kBinaryPatchRaw));
    return bytesOf(diff);
}

ByteVector serialisedSet(std::vector<ByteVector> streams)
{
    if (streams.empty())
        streams.resize(kMaxStreams);
    SinkStreamSet set;
    EXPECT_TRUE(set.Init(streams.size()));
    for (std::size_t i = 0; i < streams.size(); ++i)
        set.stream(i)->Write(streams[i].data(), streams[i].size());
    return serialise(&set);
}

ByteVector elementParameters(const std::vector<EnsembleElement>& elements)
{
    SinkStream parameters;
    parameters.WriteVarint32(static_cast<uint32_t>(elements.size()));
    for (const EnsembleElement& element : elements)
        parameters.WriteVarint32(element.kind);
    for (const EnsembleElement& element : elements) {
        parameters.WriteVarint32(element.oldOffset);
        parameters.WriteVarint32(element.oldLength);
    }
    return bytesOf(parameters);
}

EnsemblePatchParts makeEnsemblePatchParts(const ByteVector& old, const ByteVector& newer,
                                          const std::vector<EnsembleElement>& elements)
{
    SinkStreamSet predicted;
    SinkStreamSet transformed;
    SinkStreamSet edited;
    SinkStream reformed;
    reformed.Write(old.data(), old.size());
    for (const EnsembleElement& element : elements) {
        SinkStreamSet prediction;
        EXPECT_TRUE(predicted.WriteSet(&prediction));
        SinkStreamSet oldSet;
        EXPECT_TRUE(encodeElement(old.data() + element.oldOffset, element.oldLength, &oldSet, nullptr))
            << "old element at " << element.oldOffset;
        EXPECT_TRUE(transformed.WriteSet(&oldSet));
        SinkStreamSet newSet;
        EXPECT_TRUE(encodeElement(newer.data() + element.newOffset, element.newLength, &newSet, &reformed))
            << "new element at " << element.newOffset;
        EXPECT_TRUE(edited.WriteSet(&newSet));
    }
    const ByteVector parameters = serialise(&predicted);
    const ByteVector transformedBytes = serialise(&transformed);
    const ByteVector reformedBytes = bytesOf(reformed);

    EnsemblePatchParts parts;
    parts.magic = kEnsembleMagic;
    parts.version = kEnsembleVersion;
    parts.sourceCrc = CalculateCrc(old.data(), old.size());
    parts.targetCrc = CalculateCrc(newer.data(), newer.size());
    parts.finalInputSize = static_cast<uint32_t>(reformedBytes.size());
    parts.streams = {elementParameters(elements), headerlessDiff(parameters, parameters),
                     headerlessDiff(transformedBytes, serialise(&edited)), headerlessDiff(reformedBytes, newer)};
    parts.predicted = parameters;
    parts.transformed = transformedBytes;
    return parts;
}

ByteVector packEnsemblePatch(const EnsemblePatchParts& parts)
{
    const ByteVector bodyBytes = serialisedSet(parts.streams);

    SinkStream patch;
    for (uint32_t value : {parts.magic, parts.version, parts.sourceCrc, parts.targetCrc, parts.finalInputSize})
        patch.WriteVarint32(value);
    EXPECT_TRUE(PackLzma2Buffer(bodyBytes.data(), bodyBytes.size(), &patch));
    return bytesOf(patch);
}

EnsembleElement wholeFileElement(const ByteVector& old, const ByteVector& newer)
{
    ExecutableType type = EXE_UNKNOWN;
    std::size_t length = 0;
    EXPECT_EQ(DetectExecutableType(old.data(), old.size(), &type, &length), C_OK);
    return {type, 0, static_cast<uint32_t>(old.size()), 0, static_cast<uint32_t>(newer.size())};
}
