// Watches this process's TCP connections to one port, as the system counts what they receive, for
// one that Qt's network thread is caught in, and shuts that one down. Qt 5 reads a reply's head,
// and a chunk-size line, byte by byte for as long as the socket has data, without returning to its
// thread's event loop: a server that sends one without end as fast as it is read holds that
// thread, which then neither drops a reply when told to nor serves any other, while the line
// grows in memory. Only a shutdown of the socket from outside ends that loop.
#pragma once

#include <QHash>
#include <QtGlobal>

class ConnectionWatch {
public:
    // More than any real head, taken in within one poll.
    static constexpr quint64 kCaughtBytesPerPoll = 64 * 1024;
    // Polls in a row that show it: a reply's bytes may lag a moment behind the connection's.
    static constexpr int kCaughtPolls = 2;

    explicit ConnectionWatch(quint16 port);

    // Called once a poll, with whether a head or body bytes reached any reply since the last one.
    // True when the connections took in bytes since then.
    bool poll(bool progressed);
    // Whether a connection took in more than kCaughtBytesPerPoll in each of the last
    // kCaughtPolls polls while nothing reached a reply.
    bool caught() const;
    // Shuts the caught connections down, so that Qt's thread meets their end; their number.
    int shutDownCaught();

private:
    quint16 m_Port;
    // Bytes received by each connection at the last poll, by socket inode.
    QHash<quint64, quint64> m_Received;
    // Polls in a row in which each connection looked caught.
    QHash<quint64, int> m_CaughtPolls;
};
