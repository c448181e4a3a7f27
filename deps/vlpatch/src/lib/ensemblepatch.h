// Application of ensemble patches: the executable elements of the old file are disassembled and
// encoded, corrected by a diff, assembled again behind the old file, and a final diff over that
// buffer yields the new file. Every entry point returns a vlpatch::Status as a plain integer.
#pragma once

#include "oschar.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "streamset.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vlpatch {

class TransformationPatcher;

constexpr uint32_t kEnsembleMagic = 7696195;
constexpr uint32_t kEnsembleVersion = 20110216;

// Writes the new file only after the result's CRC matched, and puts it in place only once all of
// it is written.
int ApplyEnsemblePatchFiles(const voxlane::strings::oschar* oldFileName,
                            const voxlane::strings::oschar* patchFileName,
                            const voxlane::strings::oschar* newFileName);
// Appends the new file to the output; the old stream's remaining bytes are the old file.
int ApplyEnsemblePatchStreams(SourceStream* old, SourceStream* patch, SinkStream* output);

// The state of one application; the sets it fills point into its two buffers, which it keeps
// alive until it is destroyed.
class EnsemblePatchApplication {
public:
    struct Region {
        const uint8_t* start = nullptr;
        uint64_t length = 0;
    };

    EnsemblePatchApplication();
    ~EnsemblePatchApplication();
    EnsemblePatchApplication(const EnsemblePatchApplication&) = delete;
    EnsemblePatchApplication& operator=(const EnsemblePatchApplication&) = delete;

    int ReadHeader(SourceStream* header);
    int InitBase(const Region& region);
    int ValidateBase();
    int ReadElementPatchers(SourceStream* parameters);
    int PredictTransformParameters(SinkStreamSet* predicted);
    int SubpatchTransformParameters(SinkStreamSet* predicted, SourceStream* correction, SourceStreamSet* corrected);
    int TransformElements(SourceStreamSet* corrected, SinkStreamSet* transformed);
    int SubpatchTransformedElements(SinkStreamSet* transformed, SourceStream* correction, SourceStreamSet* edited);
    int ReformElements(SourceStreamSet* edited, SinkStream* reformed);
    int SubpatchFinalOutput(SourceStream* reformed, SourceStream* finalDiff, SinkStream* output);

    uint32_t source_crc() const { return m_SourceCrc; }
    uint32_t target_crc() const { return m_TargetCrc; }
    uint32_t final_input_size() const { return m_FinalInputSize; }

private:
    static int SubpatchStreamSets(SinkStreamSet* sets, SourceStream* correction, SourceStreamSet* result,
                                  SinkStream* resultBuffer);

    Region m_Base;
    uint32_t m_SourceCrc = 0;
    uint32_t m_TargetCrc = 0;
    uint32_t m_FinalInputSize = 0;
    std::vector<std::unique_ptr<TransformationPatcher>> m_Patchers;
    SinkStream m_CorrectedParameters;
    SinkStream m_EditedElements;
};

} // namespace vlpatch
