#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <list>
#include <memory>

// A PipeWire session of the tests' own, as a desktop session runs one but with nothing of the
// machine's: its own runtime folder and session bus, the daemon, and WirePlumber with its
// device monitors off (a real camera of the machine must not be chosen over the test's).
// Cameras are published by quorvel-camera-node. Everything it starts it ends, by process id.
class AccessDialogStandIn;

class PipeWireSession {
public:
    PipeWireSession();
    ~PipeWireSession();

    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // The bus, the daemon and WirePlumber; back once WirePlumber has joined the daemon.
    bool start(QString* error);
    // Ends the daemon (as a crash does: the cameras and WirePlumber go with it).
    void stopDaemon();
    // The daemon and WirePlumber again, in the same folder.
    bool restartDaemon(QString* error);

    // What a client needs to reach this session.
    QProcessEnvironment environment() const { return m_environment; }
    // The same, for clients in this process.
    void applyToThisProcess() const;

    // A camera node (quorvel-camera-node with `arguments`), once it is in the graph; ended with
    // the session or the daemon.
    QProcess* startCamera(const QStringList& arguments, QString* error);

    // The desktop's camera portal (xdg-desktop-portal with an access dialog of the test's
    // own, answering `dialogAnswer`: 0 allows, 1 is the user's no) on this session's bus and
    // daemon; its permission store starts empty (nobody decided).
    bool startPortal(QString* error);
    void setDialogAnswer(uint answer);
    // How often the portal showed its dialog.
    int dialogsShown() const;
    // The user's decision kept for programs outside a sandbox ("yes", "no"; empty: none).
    void setCameraPermission(const QString& decision);
    QString cameraPermission() const;

    // What the daemons said, for failure messages.
    QString log() const;

private:
    QProcess* spawn(const QString& program, const QStringList& arguments, const QString& name);
    bool startDaemon(QString* error);
    // Whether a client of this session sees `what` in `pw-cli ls` `type`'s output.
    bool daemonLists(const QString& type, const QString& what) const;
    void end(QProcess* process);

    QTemporaryDir m_folder;
    QProcessEnvironment m_environment;
    std::list<std::unique_ptr<QProcess>> m_processes;
    QProcess* m_bus = nullptr;
    QProcess* m_daemon = nullptr;
    QProcess* m_manager = nullptr;
    std::unique_ptr<AccessDialogStandIn> m_dialog;
    std::unique_ptr<QThread> m_dialogThread;
};
