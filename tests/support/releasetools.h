// A release as the maker's tooling publishes it on the file server, made at test time.
#pragma once

#include <QByteArray>
#include <QString>

// "digest::size" of a file as a product ini lists it, the digest made by sha512sum.
QString digestAndSize(const QString& file);
// Publishes the product ini `name` with `content` into `releaseFolder` (the version's folder on
// the file server): packed by the container writer as name + "._lzma2_" and signed with the
// development key over the plain text as name + ".sig". The plain text is kept in `workFolder`.
bool publishProductIni(const QString& releaseFolder, const QString& workFolder, const QString& name,
                       const QByteArray& content);
