// Replies are taken as the server sends them. Left alone, Qt's network access asks for gzip and
// deflate and inflates the body before any bound on its size could count a byte.
#pragma once

#include <QByteArray>
#include <QNetworkRequest>

class QNetworkReply;
class QUrl;

// A GET request for `url` that asks for the identity encoding: Qt then inflates nothing.
QNetworkRequest identityRequest(const QUrl& url);

// The reply's Content-Encoding when it is another than identity, so that the body is not the file
// itself; empty otherwise.
QByteArray foreignContentEncoding(const QNetworkReply& reply);
