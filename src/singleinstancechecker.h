// Keeps one updater per executable and user: the first instance listens on a local socket,
// a later start probes it, sends a message and gives up.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

class SingleInstanceChecker : public QObject {
    Q_OBJECT

public:
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "VL3ClientUpdate" + CRC-16 of the lower-cased executable path and the home directory.
    static QString serverName();
    // True when a running instance took `message` within the time limits.
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
