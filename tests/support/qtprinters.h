// Failed comparisons show Qt's strings and byte arrays as quoted text instead of dumps of their
// object bytes. Every translation unit of a Qt test binary is compiled with this header
// (tests/support/CMakeLists.txt), so all of them print these types alike.
#pragma once

#include <iosfwd>

class QByteArray;
class QString;

void PrintTo(const QString& text, std::ostream* out);
// Bytes outside printable ASCII are escaped; long arrays are cut short.
void PrintTo(const QByteArray& bytes, std::ostream* out);
