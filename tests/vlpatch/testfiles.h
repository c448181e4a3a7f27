// Real executables of this machine for the container and ensemble patch tests; each fails the
// calling test loudly when its package is missing.
#pragma once

#include "scratchdir.h"

#include <string>

// The file's bytes; an empty result has already failed the test.
ByteVector installedFile(const std::string& path);
// A mingw runtime DLL without its debug sections, as shipped DLLs are.
ByteVector strippedDll(const ScratchDir& dir, const std::string& path);
// A Mach-O executable from Go's debug/macho test data ("gcc-386-darwin-exec", ...).
ByteVector goMachO(const std::string& name);

extern const char* const kElf64Old;
extern const char* const kElf64New;
extern const char* const kElf64Large;
extern const char* const kElf32Old;
extern const char* const kElf32New;
extern const char* const kElfArm;
extern const char* const kPe32Old;
extern const char* const kPe32New;
extern const char* const kPe64Old;
extern const char* const kPe64New;
