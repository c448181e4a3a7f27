// Refuses a reply head far beyond any real server's before Qt takes its fields in. Qt 5 hands a
// reply's header fields over in one call that costs time with the square of their count, on the
// thread of the reply: 200,000 of them (2.4 MB) hold that thread for minutes.
#pragma once

#include <QObject>
#include <QString>

class QNetworkReply;

class ReplyHeadGuard : public QObject {
    Q_OBJECT

public:
    // Real servers send well under 2 KiB in a dozen fields.
    static constexpr int kMaxFields = 100;
    static constexpr int kMaxBytes = 64 * 1024;

    // Watches `reply` and lives as its child; `refused` comes instead of the head's fields. Under
    // a Qt other than the one built against, it lets every head through.
    static ReplyHeadGuard* watch(QNetworkReply* reply);
    // About the bytes of the head that `reply` came with: its status line and fields.
    static qint64 headBytes(const QNetworkReply& reply);

signals:
    // The head's fields did not reach the reply, which is left to the receiver to give up.
    void refused(const QString& reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit ReplyHeadGuard(QNetworkReply* reply);
};
