#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace quorvel {

// One Quorvel per user: two would fight over the camera and the log. The first launch
// listens on a local socket; a later launch hands over to it ("show") and exits.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

    static QString defaultName();

    // True when another instance answered and was asked to show itself.
    bool handOverToRunningInstance(int timeoutMs = 1000);
    // Starts listening; false when the name cannot be taken.
    bool listen();

Q_SIGNALS:
    // Another launch asked this instance to show itself.
    void showRequested();

private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};

} // namespace quorvel
