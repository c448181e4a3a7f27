#include "ensemblepatch.h"

#include "binarypatch.h"
#include "crc.h"
#include "executabletype.h"
#include "filereplacement.h"
#include "lzma2block.h"
#include "memorymappedview.h"
#include "status.h"
#include "transformationpatcher.h"

#include <algorithm>
#include <new>

namespace vlpatch {

namespace {

// Patch stream set: parameters, parameter correction, element correction, final diff.
enum PatchStream : std::size_t {
    kParameters = 0,
    kParameterCorrection = 1,
    kElementCorrection = 2,
    kFinalDiff = 3,
};

// The final input size is only announced; an element's assembled bytes take at most this many
// times the bytes of its encoded program, so a larger announcement is not reserved up front.
constexpr uint64_t kMaxAssemblyExpansion = 16;

} // namespace

EnsemblePatchApplication::EnsemblePatchApplication() = default;

EnsemblePatchApplication::~EnsemblePatchApplication() = default;

int EnsemblePatchApplication::ReadHeader(SourceStream* header)
{
    uint32_t magic = 0;
    if (!header->ReadVarint32(&magic) || magic != kEnsembleMagic)
        return C_BAD_ENSEMBLE_MAGIC;
    uint32_t version = 0;
    if (!header->ReadVarint32(&version) || version != kEnsembleVersion)
        return C_BAD_ENSEMBLE_VERSION;
    if (!header->ReadVarint32(&m_SourceCrc) || !header->ReadVarint32(&m_TargetCrc)
        || !header->ReadVarint32(&m_FinalInputSize))
        return C_BAD_ENSEMBLE_HEADER;
    return C_OK;
}

int EnsemblePatchApplication::InitBase(const Region& region)
{
    m_Base = region;
    return C_OK;
}

int EnsemblePatchApplication::ValidateBase()
{
    return CalculateCrc(m_Base.start, static_cast<std::size_t>(m_Base.length)) == m_SourceCrc ? C_OK
                                                                                             : C_BAD_ENSEMBLE_CRC;
}

int EnsemblePatchApplication::ReadElementPatchers(SourceStream* parameters)
{
    uint32_t count = 0;
    if (!parameters->ReadVarint32(&count))
        return C_BAD_ENSEMBLE_HEADER;
    // Every kind takes at least one byte, so the stream bounds the count.
    if (count > parameters->Remaining())
        return C_BAD_ENSEMBLE_HEADER;
    try {
        m_Patchers.reserve(count);
    } catch (const std::bad_alloc&) {
        return C_STREAM_ERROR;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!parameters->ReadVarint32(&kind) || kind < EXE_WIN_32_X86 || kind > kLastExecutableType)
            return C_BAD_ENSEMBLE_HEADER;
        auto* patcher = new (std::nothrow) PatcherX86_32(m_Base.start, m_Base.length);
        if (!patcher)
            return C_STREAM_ERROR;
        m_Patchers.emplace_back(patcher);
    }
    // Each element is disassembled whole. A patch generator never makes elements that overlap,
    // so together they cover the old file at most once, which bounds the work of any patch.
    uint64_t covered = 0;
    for (const auto& patcher : m_Patchers) {
        const int status = patcher->Init(parameters);
        if (status != C_OK)
            return status;
        covered += patcher->base_length();
        if (covered > m_Base.length)
            return C_BAD_TRANSFORM;
    }
    return parameters->Empty() ? C_OK : C_BAD_ENSEMBLE_HEADER;
}

int EnsemblePatchApplication::PredictTransformParameters(SinkStreamSet* predicted)
{
    for (const auto& patcher : m_Patchers) {
        SinkStreamSet prediction;
        const int status = patcher->PredictTransformParameters(&prediction);
        if (status != C_OK)
            return status;
        if (!predicted->WriteSet(&prediction))
            return C_STREAM_ERROR;
    }
    return C_OK;
}

int EnsemblePatchApplication::SubpatchTransformParameters(SinkStreamSet* predicted, SourceStream* correction,
                                                          SourceStreamSet* corrected)
{
    return SubpatchStreamSets(predicted, correction, corrected, &m_CorrectedParameters);
}

int EnsemblePatchApplication::TransformElements(SourceStreamSet* corrected, SinkStreamSet* transformed)
{
    for (const auto& patcher : m_Patchers) {
        SourceStreamSet parameters;
        if (!corrected->ReadSet(&parameters))
            return C_STREAM_ERROR;
        SinkStreamSet element;
        const int status = patcher->Transform(&parameters, &element);
        if (status != C_OK)
            return status;
        if (!parameters.Empty())
            return C_STREAM_NOT_CONSUMED;
        if (!transformed->WriteSet(&element))
            return C_STREAM_ERROR;
    }
    return corrected->Empty() ? C_OK : C_STREAM_NOT_CONSUMED;
}

int EnsemblePatchApplication::SubpatchTransformedElements(SinkStreamSet* transformed, SourceStream* correction,
                                                          SourceStreamSet* edited)
{
    return SubpatchStreamSets(transformed, correction, edited, &m_EditedElements);
}

int EnsemblePatchApplication::ReformElements(SourceStreamSet* edited, SinkStream* reformed)
{
    // A reservation of exactly the sink's failure marker always fails, before anything is
    // allocated; the bound below must not turn such a patch into one that applies.
    if (m_FinalInputSize == NoThrowBuffer<uint8_t, 256>::kFailedCapacity)
        return C_STREAM_ERROR;
    const uint64_t bound = m_Base.length + kMaxAssemblyExpansion * m_EditedElements.Length();
    const uint64_t reservation = std::min<uint64_t>(m_FinalInputSize, bound);
    if (reformed->Failed() || !reformed->Reserve(static_cast<std::size_t>(reservation)))
        return C_STREAM_ERROR;
    if (!reformed->Write(m_Base.start, static_cast<std::size_t>(m_Base.length)))
        return C_STREAM_ERROR;
    for (const auto& patcher : m_Patchers) {
        SourceStreamSet element;
        if (!edited->ReadSet(&element))
            return C_STREAM_ERROR;
        const int status = patcher->Reform(&element, reformed);
        if (status != C_OK)
            return status;
        if (!element.Empty())
            return C_STREAM_NOT_CONSUMED;
    }
    if (!edited->Empty())
        return C_STREAM_NOT_CONSUMED;
    m_EditedElements.Retire();
    return C_OK;
}

int EnsemblePatchApplication::SubpatchFinalOutput(SourceStream* reformed, SourceStream* finalDiff,
                                                  SinkStream* output)
{
    if (!ApplyBinaryPatch(reformed, finalDiff, output, false))
        return C_GENERAL_ERROR;
    return CalculateCrc(output->Buffer(), output->Length()) == m_TargetCrc ? C_OK : C_BAD_ENSEMBLE_CRC;
}

int EnsemblePatchApplication::SubpatchStreamSets(SinkStreamSet* sets, SourceStream* correction,
                                                 SourceStreamSet* result, SinkStream* resultBuffer)
{
    SinkStream serialised;
    if (!sets->CopyTo(&serialised))
        return C_STREAM_ERROR;
    SourceStream old;
    old.Init(serialised);
    if (!ApplyBinaryPatch(&old, correction, resultBuffer, false))
        return C_GENERAL_ERROR;
    return result->Init(resultBuffer->Buffer(), resultBuffer->Length()) ? C_OK : C_STREAM_ERROR;
}

int ApplyEnsemblePatchStreams(SourceStream* old, SourceStream* patch, SinkStream* output)
{
    EnsemblePatchApplication application;
    int status = application.ReadHeader(patch);
    if (status != C_OK)
        return status;
    application.InitBase({old->Buffer(), old->Remaining()});
    status = application.ValidateBase();
    if (status != C_OK)
        return status;

    SinkStream body;
    if (!UnpackLzma2Block(patch, &body))
        return C_STREAM_ERROR;
    // A body that is no stream set leaves every stream empty; the parameters then fail.
    SourceStreamSet patchSet;
    if (!patchSet.Init(body.Buffer(), body.Length()))
        patchSet = SourceStreamSet();

    status = application.ReadElementPatchers(patchSet.stream(kParameters));
    if (status != C_OK)
        return status;
    SinkStreamSet predicted;
    status = application.PredictTransformParameters(&predicted);
    if (status != C_OK)
        return status;
    SourceStreamSet corrected;
    status = application.SubpatchTransformParameters(&predicted, patchSet.stream(kParameterCorrection), &corrected);
    if (status != C_OK)
        return status;
    SinkStreamSet transformed;
    status = application.TransformElements(&corrected, &transformed);
    if (status != C_OK)
        return status;
    SourceStreamSet edited;
    status = application.SubpatchTransformedElements(&transformed, patchSet.stream(kElementCorrection), &edited);
    if (status != C_OK)
        return status;
    SinkStream reformed;
    status = application.ReformElements(&edited, &reformed);
    if (status != C_OK)
        return status;
    SourceStream reformedSource;
    reformedSource.Init(reformed);
    return application.SubpatchFinalOutput(&reformedSource, patchSet.stream(kFinalDiff), output);
}

int ApplyEnsemblePatchFiles(const voxlane::strings::oschar* oldFileName, const voxlane::strings::oschar* patchFileName,
                            const voxlane::strings::oschar* newFileName)
{
    MemoryMappedView patchFile(patchFileName, 0, MemoryMappedView::NORMAL);
    if (!patchFile.IsValid())
        return C_READ_OPEN_ERROR;
    SourceStream patch;
    patch.Init(patchFile.data(), static_cast<std::size_t>(patchFile.length()));
    {
        // Refuses a foreign file before the old file is touched.
        SourceStream header = patch;
        EnsemblePatchApplication early;
        const int status = early.ReadHeader(&header);
        if (status != C_OK)
            return status;
    }
    MemoryMappedView oldFile(oldFileName, 0, MemoryMappedView::NORMAL);
    if (!oldFile.IsValid())
        return C_READ_ERROR;
    SourceStream old;
    old.Init(oldFile.data(), static_cast<std::size_t>(oldFile.length()));
    SinkStream output;
    const int status = ApplyEnsemblePatchStreams(&old, &patch, &output);
    if (status != C_OK)
        return status;
    if (!ReplaceWholeFile(newFileName, output.Buffer(), output.Length()))
        return C_READ_ERROR;
    return C_OK;
}

} // namespace vlpatch
