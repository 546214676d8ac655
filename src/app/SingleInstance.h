#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;

namespace quorvel {

// One Quorvel per user: two would fight over the camera and the log. The first launch
// listens on a local socket; a later launch hands over to it ("show", with the activation
// token its launcher gave it, if any) and exits.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

    static QString defaultName();

    // True when another instance answered and was asked to show itself, activating its
    // window with `activationToken` (see launchActivationToken).
    bool handOverToRunningInstance(const QByteArray& activationToken = {}, int timeoutMs = 1000);
    // Starts listening; false when the name cannot be taken.
    bool listen();

Q_SIGNALS:
    // Another launch asked this instance to show itself; the token is empty or usable.
    void showRequested(const QByteArray& activationToken);

private:
    QString m_name;
    QLocalServer* m_server = nullptr;
};

} // namespace quorvel
