// Watches this process's TCP connections to one port for one whose reply head never ends, and
// shuts that one down. A head without end is read as fast as it comes and grows in memory that no
// reply receives: through a proxy or over TLS Qt reads it in blocks; straight from a server it
// reads it byte by byte without returning to its thread's event loop, which then neither drops a
// reply when told to nor serves any other. Only a shutdown of the socket from outside ends that.
//
// What a healthy connection reads is told apart by what it does while no reply takes anything:
// Qt fills the reply's buffers and then reads no more of it, whether its bytes come in chunks or
// TLS records of any size down to one byte or 512, and whether or not its reply is wanted at all
// (an error's body). A head goes on, and so does the body of a 401 or 407, which Qt reads whole.
// Such a stretch comes by itself when a head holds Qt's network thread; otherwise the watch makes
// one, a probe, by holding the thread that takes the replies for a moment, once the connections
// took in more than reached the replies or the process grew. A head sent in bursts may pause
// through a probe: once one found nothing while the bytes still go unaccounted, the next waits
// the whole time.
#pragma once

#include <QHash>
#include <QtGlobal>

class QNetworkProxy;
class QUrl;

class ConnectionWatch {
public:
    // For replies read through a buffer of `readBufferSize` bytes.
    ConnectionWatch(quint16 port, quint64 readBufferSize);

    // The port that the connections for `url` go to through `proxy`: an HTTP or SOCKS5 proxy's
    // (the system's when `proxy` is Qt's default), otherwise the URL's own or its scheme's.
    static quint16 portFor(const QUrl& url, const QNetworkProxy& proxy);

    // Called once a poll, on the thread that takes the replies, with the bytes of heads and bodies
    // that reached them since the last one; it may hold that thread for a probe of up to 1.5 s.
    // True when the connections received bytes since the last poll.
    bool poll(quint64 deliveredBytes);
    // Whether a connection went on taking in bytes beyond what a healthy one holds while no reply
    // took anything.
    bool caught() const;
    // Shuts the caught connections down, so that Qt's thread meets their end; their number.
    int shutDownCaught();

private:
    struct Connection {
        // Bytes the system received on it, and of those the bytes this process has read.
        quint64 received = 0;
        quint64 taken = 0;
        // Bytes read since a byte last reached any reply.
        quint64 unreached = 0;
        // The last sample that saw it.
        quint64 sample = 0;
    };

    // Reads every connection's counts; `step` gets each one's new bytes taken. False when no
    // connection is left.
    template <typename Step>
    bool sample(Step step);
    // Holds the calling thread until every connection has either stopped taking bytes or is
    // caught, at most 1.5 s; a patient probe waits until one is caught or the time is up.
    // Bytes a probe found no connection for stay unaccounted until one is shut down.
    void probe(bool patient);
    bool isCaught(const Connection& connection) const;

    quint16 m_Port;
    // Beyond what a healthy connection takes in while its reply takes nothing; what all may take
    // in beyond what reached the replies before a probe.
    quint64 m_CaughtBytes;
    // By socket inode, as the last sample saw them.
    QHash<quint64, Connection> m_Connections;
    quint64 m_Sample = 0;
    // Bytes taken beyond those that reached the replies, over the latest stretch in which that
    // grew, until a connection is caught; of those, the ones a probe found no connection for.
    quint64 m_Unaccounted = 0;
    quint64 m_UnaccountedProbed = 0;
    // Since the last probe, the least anonymous memory the process held.
    quint64 m_LeastMemory;
};
