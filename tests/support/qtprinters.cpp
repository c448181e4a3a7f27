#include "qtprinters.h"

#include <QByteArray>
#include <QString>
#include <cstdio>
#include <ostream>

namespace {

// Beyond this, an array of bytes is shown by its start and its size.
const int kShownBytes = 512;

void printQuoted(const QByteArray& bytes, bool keepNonAscii, std::ostream* out)
{
    *out << '"';
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            *out << "\\\"";
            break;
        case '\\':
            *out << "\\\\";
            break;
        case '\n':
            *out << "\\n";
            break;
        case '\t':
            *out << "\\t";
            break;
        case '\r':
            *out << "\\r";
            break;
        default:
            if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && !keepNonAscii)) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                *out << escaped;
            } else {
                *out << c;
            }
        }
    }
    *out << '"';
}

} // namespace

void PrintTo(const QString& text, std::ostream* out)
{
    printQuoted(text.toUtf8(), true, out);
}

void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    if (bytes.size() <= kShownBytes) {
        printQuoted(bytes, false, out);
        return;
    }
    printQuoted(bytes.left(kShownBytes), false, out);
    *out << "... (" << bytes.size() << " bytes)";
}
