#include "transformationpatcher.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "encodedprogram.h"
#include "status.h"

namespace vlpatch {

PatcherX86_32::PatcherX86_32(const uint8_t* ensembleStart, uint64_t ensembleLength)
    : m_EnsembleStart(ensembleStart), m_EnsembleLength(ensembleLength)
{
}

int PatcherX86_32::Init(SourceStream* parameters)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!parameters->ReadVarint32(&offset) || !parameters->ReadVarint32(&length))
        return C_BAD_TRANSFORM;
    if (offset > m_EnsembleLength || length > m_EnsembleLength - offset)
        return C_BAD_TRANSFORM;
    m_BaseOffset = offset;
    m_BaseLength = length;
    return C_OK;
}

int PatcherX86_32::PredictTransformParameters(SinkStreamSet*)
{
    return C_OK;
}

int PatcherX86_32::Transform(SourceStreamSet* correctedParameters, SinkStreamSet* transformedElement)
{
    if (!correctedParameters->Empty())
        return C_GENERAL_ERROR;

    AssemblyProgram* program = nullptr;
    const int parsed = ParseDetectedExecutable(m_EnsembleStart + m_BaseOffset, m_BaseLength, &program);
    if (parsed != C_OK)
        return parsed;
    if (TrimLabels(program) != C_OK) {
        DeleteAssemblyProgram(program);
        return C_TRIM_FAILED;
    }
    EncodedProgram* encoded = nullptr;
    const int encodedStatus = EncodeProgram(program, &encoded);
    DeleteAssemblyProgram(program);
    if (encodedStatus != C_OK)
        return C_GENERAL_ERROR;
    const int written = WriteEncodedProgram(encoded, transformedElement);
    DeleteEncodedProgram(encoded);
    return written;
}

int PatcherX86_32::Reform(SourceStreamSet* editedElement, SinkStream* output)
{
    EncodedProgram* encoded = nullptr;
    const int read = ReadEncodedProgram(editedElement, &encoded);
    if (read != C_OK)
        return read;
    const int assembled = Assemble(encoded, output);
    DeleteEncodedProgram(encoded);
    return assembled;
}

} // namespace vlpatch
