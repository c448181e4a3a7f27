// Keeps one updater per executable and user: the first instance claims the instance name in the
// user's private runtime folder and listens on it; a later start probes it, sends a message and
// gives up.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

class SingleInstanceChecker : public QObject {
    Q_OBJECT

public:
    // Listens under serverPath(); a leftover of a crashed instance is cleared first.
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "VL3ClientUpdate" + CRC-16 of the lower-cased executable path and the home directory.
    static QString serverName();
    // The name inside the user's private runtime folder; empty when there is no such folder.
    static QString serverPath();
    // False when this process is now the one instance: it holds the claim on the name until it
    // ends; also when there is no private place for the name, since then nobody can hold it.
    // True when another instance holds the claim (it was handed `message` if it answered in time).
    static bool isOtherInstanceRunning(const QString& message);

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* m_server;
    QLocalSocket* m_socket;
};
