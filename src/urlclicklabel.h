// A picture label that opens a web address when clicked with any mouse button.
#pragma once

#include <QLabel>
#include <QString>

class UrlClickLabel : public QLabel {
    Q_OBJECT

public:
    explicit UrlClickLabel(QWidget* parent);

    void setUrl(const QString& url);
    QString url() const { return m_Url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_Url;
};
