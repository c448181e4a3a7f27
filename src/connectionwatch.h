// Watches this process's TCP connections to one port for one whose reply head never ends, and
// shuts that one down. A healthy connection is read only as fast as its reply is taken: Qt keeps
// no more than a few buffers of it unread. A head without end is read as fast as it comes and
// grows in memory: through a proxy Qt reads it in blocks; straight from a server it reads it byte
// by byte without returning to its thread's event loop, which then neither drops a reply when
// told to nor serves any other. Only a shutdown of the socket from outside ends that loop.
#pragma once

#include <QHash>
#include <QtGlobal>

class ConnectionWatch {
public:
    // Qt opens at most six connections to one server, and a stage downloads at most six files at
    // once.
    static constexpr int kConnectionsPerServer = 6;

    // For replies read through a buffer of `readBufferSize` bytes. Qt holds at most that buffer
    // twice over of a healthy reply before the reader takes it, once in its network thread and
    // once in the reply (measured at full speed, with every CPU busy, and after the process was
    // stopped and continued).
    ConnectionWatch(quint16 port, quint64 readBufferSize);

    // Called once a poll, with the bytes of heads and bodies that reached any reply since the
    // last one. True when the connections received bytes since then.
    bool poll(quint64 deliveredBytes);
    // Whether a connection took in more than a healthy one can hold beyond what reached the
    // replies while it took it in.
    bool caught() const;
    // Shuts the caught connections down, so that Qt's thread meets their end; their number.
    int shutDownCaught();

private:
    struct Connection {
        // Bytes the system received on it, and of those the bytes this process has read.
        quint64 received = 0;
        quint64 taken = 0;
        // Bytes read beyond what reached any reply, over the stretch where that grew most.
        quint64 beyondAll = 0;
        // The same, where the bytes that the other connections read meanwhile are taken to be
        // the ones that reached the replies.
        quint64 beyondOthers = 0;
    };

    // Counting every byte that reached a reply in its favour, a connection is caught beyond twice
    // what one reply holds: a head without end while nothing else comes, as when it holds Qt's
    // network thread. Beside downloads that take their bytes faster than such a head grows,
    // the bytes that the others read count against it, and what they hold in Qt's buffers with
    // them: it is caught beyond what all replies hold at once and twice what one holds. So may a
    // download beside it be, whose bytes look the same from here; it costs that download an
    // attempt. Connections that come and go between two polls are not seen: what they deliver
    // counts in the others' favour.
    bool isCaught(const Connection& connection) const;

    quint16 m_Port;
    // What one healthy reply holds at most in Qt's buffers.
    quint64 m_HeldBytes;
    // By socket inode.
    QHash<quint64, Connection> m_Connections;
};
