// Element patchers of the ensemble patch: each turns one executable element of the old file
// into its encoded program and an edited encoded program back into the element's new bytes.
#pragma once

#include "sinkstream.h"
#include "sourcestream.h"
#include "streamset.h"

#include <cstdint>

namespace vlpatch {

class TransformationPatcher {
public:
    TransformationPatcher() = default;
    virtual ~TransformationPatcher() = default;
    TransformationPatcher(const TransformationPatcher&) = delete;
    TransformationPatcher& operator=(const TransformationPatcher&) = delete;

    // Every call returns a vlpatch::Status.
    virtual int Init(SourceStream* parameters) = 0;
    virtual int PredictTransformParameters(SinkStreamSet* prediction) = 0;
    virtual int Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformedElement) = 0;
    virtual int Reform(SourceStreamSet* editedElement, SinkStream* output) = 0;

    // Bytes of the old file that the element covers, once Init has read them.
    virtual uint32_t base_length() const = 0;
};

// Serves every element kind: the executable's real type is found again from its bytes.
class PatcherX86_32 : public TransformationPatcher {
public:
    PatcherX86_32(const uint8_t* ensembleStart, uint64_t ensembleLength);

    int Init(SourceStream* parameters) override;
    int PredictTransformParameters(SinkStreamSet* prediction) override;
    int Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformedElement) override;
    int Reform(SourceStreamSet* editedElement, SinkStream* output) override;

    uint32_t base_offset() const { return m_BaseOffset; }
    uint32_t base_length() const override { return m_BaseLength; }

private:
    const uint8_t* m_EnsembleStart;
    uint64_t m_EnsembleLength;
    uint32_t m_BaseOffset = 0;
    uint32_t m_BaseLength = 0;
};

} // namespace vlpatch
