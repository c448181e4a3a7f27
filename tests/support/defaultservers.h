// The servers the program reaches when nothing else is configured are the build's defaults, a
// port on 127.0.0.1. Every Qt test binary holds that port closed while it runs: bound without
// listening, so no other program on the machine can listen there, and whatever runs with the
// defaults (the program, a Configuration, an UpdateChecker) meets a refused connection.
#pragma once

#include <QList>
#include <QString>

class DefaultServersHeldClosed {
public:
    DefaultServersHeldClosed() = default;
    ~DefaultServersHeldClosed();
    DefaultServersHeldClosed(const DefaultServersHeldClosed&) = delete;
    DefaultServersHeldClosed& operator=(const DefaultServersHeldClosed&) = delete;

    // Empty when the default servers refuse connections for as long as this object lives;
    // otherwise why they might answer a test.
    QString hold();

private:
    QList<int> m_Sockets;
};
