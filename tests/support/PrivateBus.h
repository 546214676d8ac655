#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMap>
#include <QMutex>
#include <QProcess>
#include <QTest>
#include <QVariantMap>
#include <csignal>
#include <optional>

namespace quorvel::test {

// A private dbus-daemon that lives as long as this object.
struct Bus {
    static constexpr int patience = 60000; // round trips take milliseconds: this catches hangs
    QProcess daemon;
    QString address;
    QStringList arguments;

    explicit Bus(QStringList startedWith = {QStringLiteral("--session")})
        : arguments(std::move(startedWith)) {
        start();
    }
    ~Bus() { stop(); }
    void start() {
        daemon.start(QStringLiteral("dbus-daemon"),
                     arguments + QStringList{"--print-address", "--nofork"});
        if (daemon.waitForReadyRead(patience)) {
            // Without the server's id, as the user's address has it: a bus made again at the
            // same place has a new one.
            address = QString::fromLocal8Bit(daemon.readLine()).trimmed().section(",guid=", 0, 0);
        }
    }
    // The daemon dies at once, telling nobody anything.
    void crash() {
        ::kill(pid_t(daemon.processId()), SIGKILL);
        daemon.waitForFinished(patience);
    }
    void stop() {
        ::kill(pid_t(daemon.processId()), SIGCONT);
        daemon.terminate();
        daemon.waitForFinished(patience);
    }
    // A connection of its own.
    QDBusConnection connect() const {
        static int connections = 0;
        return QDBusConnection::connectToBus(address, QStringLiteral("c%1").arg(++connections));
    }
};

// A stand-in service: owns its real name on a private bus, on a connection of its own,
// answers the methods (and properties, "Get:Name") the test gives answers for, on any path.
struct StandIn final : QDBusVirtualObject {
    const Bus& bus;
    QString name;
    QMutex mutex; // answers are read on Qt's D-Bus thread
    QVariantMap answers{{"Ping", QVariant()}};
    QMap<QString, int> asked;
    std::optional<QDBusConnection> connection;

    StandIn(const Bus& onBus, QString serviceName) : bus(onBus), name(std::move(serviceName)) {}
    ~StandIn() override { vanish(); }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& via) override {
        QMutexLocker lock(&mutex);
        const QString key =
            call.member() == "Get" ? "Get:" + call.arguments().value(1).toString() : call.member();
        ++asked[key];
        via.send(!answers.contains(key)   ? call.createErrorReply(QDBusError::UnknownMethod, key)
                 : answers[key].isValid() ? call.createReply(answers[key])
                                          : call.createReply());
        return true;
    }
    void answer(const QString& key, const QVariant& value) {
        QMutexLocker lock(&mutex);
        answers[key] = value;
    }
    int timesAsked(const QString& key) {
        QMutexLocker lock(&mutex);
        return asked.value(key);
    }
    void appear() {
        connection = bus.connect();
        connection->registerVirtualObject("/", this, QDBusConnection::SubPath);
        QVERIFY(connection->registerService(name));
    }
    void vanish() {
        if (connection) {
            const QString id = connection->name();
            connection.reset();
            QDBusConnection::disconnectFromBus(id);
        }
    }
    void emitSignal(const QString& path, const QString& interface, const QString& member,
                    const QVariantList& arguments = {}) {
        QDBusMessage message = QDBusMessage::createSignal(path, interface, member);
        message.setArguments(arguments);
        connection->send(message);
    }
};

} // namespace quorvel::test
