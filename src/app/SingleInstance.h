#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLockFile;

namespace quorvel {

// One Quorvel per user: two would fight over the camera and the log. The first launch
// takes a lock file beside the socket and holds it for its whole run, then listens on the
// socket; a later launch finds the lock held and hands over to it ("show", with the
// activation token its launcher gave it, if any) and exits. A socket file is removed only
// by the lock's holder, when it is left behind by a copy that is gone.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // `name`: the socket; the lock is `name` + ".lock".
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultName();

    // Takes the lock unless a live process holds it; false then (hand over and exit).
    bool acquire();
    // True when another instance answered and was asked to show itself, activating its
    // window with `activationToken` (see launchActivationToken). Tries for `timeoutMs`: a
    // copy that has just taken the lock may not be listening yet.
    bool handOverToRunningInstance(const QByteArray& activationToken = {}, int timeoutMs = 3000);
    // Starts listening, once acquire() succeeded; false when the name cannot be taken.
    bool listen();

Q_SIGNALS:
    // Another launch asked this instance to show itself; the token is empty or usable.
    void showRequested(const QByteArray& activationToken);

private:
    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace quorvel
