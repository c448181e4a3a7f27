// What the maker's release tooling does to the files of a release, for tests that serve one:
// packed files, signed product inis and the digests that product inis give.
#pragma once

#include <QString>

// Packs `plain` as a ._lzma2_ container into `packed`, creating its folder.
bool packFile(const QString& plain, const QString& packed);
// Publishes the plain product ini `plain` in a release's version folder: packed as its name +
// "._lzma2_" and signed with the development key into its name + ".sig".
bool publishProductIni(const QString& plain, const QString& versionFolder);
// "digest::size" of a file as product inis give it, the digest made by sha512sum.
QString digestAndSize(const QString& file);
