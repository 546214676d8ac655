#include "settings/SettingsManager.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"
#include "updates/APIKeyConfig.h"
#include "updates/UpdateChecker.h"
#include "updates/UpdateModels.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <climits>
#include <memory>
#include <tuple>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using Outcome = UpdateChecker::CheckOutcome;

Q_DECLARE_METATYPE(quorvel::test::HttpResponse)

namespace {

const QByteArray servicePath = "/api/v1/apps/com.quorvel.app/version";
const QString testKey = QStringLiteral("k3y-0123456789abcdefABCDEF_+/=");
const QByteArray bearer = "Bearer " + testKey.toUtf8();

QByteArray replyBody(const QByteArray& version,
                     const QByteArray& url = "\"https://downloads.example.com/Quorvel.tar.gz\"",
                     const QByteArray& extra = ", \"release_notes\": \"Faster start\"") {
    return "{\"app_identifier\": \"com.quorvel.app\", \"current_version\": \"" + version +
           "\", \"download_url\": " + url + extra + "}";
}

// A checker with a private settings file and clock, talking to `baseURL`.
struct Rig {
    explicit Rig(const QString& baseURL, const QString& runningVersion = QStringLiteral("1.2.0"),
                 std::chrono::milliseconds timeout = 60s) {
        UpdateCheckerEnvironment environment;
        environment.clock = clock.clock();
        environment.baseURL = baseURL;
        environment.apiKey = [] {
            return testKey;
        };
        environment.transferTimeout = timeout;
        environment.runningVersion = runningVersion;
        checker = std::make_unique<UpdateChecker>(settings, environment);
    }

    // Runs one check to its end.
    Outcome check() {
        QSignalSpy finished(checker.get(), &UpdateChecker::checkFinished);
        checker->performCheck();
        if (finished.isEmpty() && !finished.wait(120000)) {
            qFatal("the check never finished");
        }
        return finished.takeFirst().at(0).value<Outcome>();
    }

    TempFolder dir;
    SettingsManager settings{dir.path(QStringLiteral("Quorvel.conf"))};
    FakeClock clock;
    std::unique_ptr<UpdateChecker> checker;
};

// Every message of Quorvel's categories, all levels on, while it lives.
struct LogCapture {
    static inline QMutex mutex;
    static inline QStringList messages;
    QtMessageHandler previous;

    LogCapture() {
        QLoggingCategory::setFilterRules(QStringLiteral("quorvel.*=true"));
        previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext& context, const QString& message) {
                QMutexLocker lock(&mutex);
                messages << QString::fromLatin1(context.category) + ": " + message;
            });
    }
    ~LogCapture() {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
    }
    QString text() const {
        QMutexLocker lock(&mutex);
        return messages.join('\n');
    }
};

} // namespace

class TestUpdates : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QNetworkProxyFactory::setUseSystemConfiguration(false);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        LocalHttpServer::trustTestCertificate();
    }

    void serviceReplies_data() {
        QTest::addColumn<HttpResponse>("response");
        QTest::addColumn<QString>("running");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("published"); // the new version, or "" for none
        const auto row = [](const char* name, const HttpResponse& response, Outcome outcome,
                            const char* published = "", const char* running = "1.2.0") {
            QTest::newRow(name) << response << QString(running) << outcome << QString(published);
        };
        const auto json = [](const QByteArray& body) {
            return HttpResponse::json(body);
        };
        // Versions compare piece by piece as numbers; a piece that is not a number counts as 0
        // (text after its digits dropped; a full-width digit is no digit), and so does one
        // beyond 64 bits. The fuzz target checks the order's laws and that only web links
        // with a host are published.
        const std::tuple<const char*, const char*, bool> versions[] = {
            {"1.10", "1.9", true},
            {"1.3-beta", "1.2", false},
            {"1.\xef\xbc\x92", "1.1", false},
            {"9223372036854775808.2", "1.9", true}};
        for (const auto& [remote, local, newer] : versions) {
            QTest::addRow("%s vs %s", remote, local)
                << json(replyBody(remote)) << QString(local) << Outcome::completed
                << (newer ? QString(remote) : QString());
        }
        row("notes null", json(replyBody("2", "\"https://a.b/q\"", ", \"release_notes\": null")),
            Outcome::completed, "2");
        row("javascript link", json(replyBody("9.0", "\"javascript:alert(1)\"")),
            Outcome::completed);
        for (int status : {204, 401, 500}) {
            QTest::addRow("status %d", status) << HttpResponse::withStatus(status, replyBody("9.0"))
                                               << "1.2.0" << Outcome::badStatus << "";
        }
        row("malformed JSON", json("{\"app_identifier\": \"com.quorvel.app\","),
            Outcome::undecodable);
        // A valid reply padded to exactly the limit is read; one byte more is refused.
        const auto padded = [](qint64 size) {
            QByteArray body = replyBody("9.0", "\"https://a.example/q\"", ", \"pad\": \"\"");
            return body.insert(body.size() - 2, QByteArray(size - body.size(), 'x'));
        };
        row("body at the limit", json(padded(UpdateChecker::maxReplyBytes)), Outcome::completed,
            "9.0");
        row("body over the limit", json(padded(UpdateChecker::maxReplyBytes + 1)),
            Outcome::bodyTooLarge);
        row("endless body", HttpResponse::endless(), Outcome::bodyTooLarge);
        row("never answers", HttpResponse::silent(), Outcome::transportError);
        row("redirect to http", HttpResponse::redirect("/elsewhere"), Outcome::redirectRefused);
    }

    // Each reply of the service: what gets published, and lastUpdateCheck is recorded exactly
    // when the reply was a well-formed answer. The request carries the key exactly once.
    void serviceReplies() {
        QFETCH(HttpResponse, response);
        QFETCH(QString, running);
        QFETCH(Outcome, outcome);
        QFETCH(QString, published);

        LocalHttpServer server;
        server.setResponse(servicePath, response);
        server.setResponse("/elsewhere", HttpResponse::json(replyBody("9.0")));
        // Only the silent server is meant to run into the timeout; the others get room.
        Rig rig(server.baseURL(), running,
                QTest::currentDataTag() == "never answers"sv ? 300ms : 60s);
        // Observers hear objectWillChange, then the new value while the old one is still stored.
        QStringList heard;
        UpdateChecker* checker = rig.checker.get();
        connect(checker, &UpdateChecker::objectWillChange, this, [&] { heard << "will change"; });
        connect(checker, &UpdateChecker::updateInfoChanged, this, [&](const auto& info) {
            heard << info->newVersion + (checker->updateInfo() ? "!" : "");
        });

        QCOMPARE(rig.check(), outcome);
        QCOMPARE(server.requests().size(), 1);
        const HttpRequest request = server.requests()[0];
        QCOMPARE(request.method + ' ' + request.target, "GET " + servicePath);
        QCOMPARE(request.header("Authorization"), QList<QByteArray>{bearer});
        const auto info = rig.checker->updateInfo();
        QCOMPARE(info ? info->newVersion : QString(), published);
        QCOMPARE(heard,
                 published.isEmpty() ? QStringList() : QStringList({"will change", published}));
        QCOMPARE(rig.settings.lastUpdateCheck(),
                 outcome == Outcome::completed ? rig.clock.now() : SettingsManager::distantPast());
        QVERIFY(!rig.checker->isChecking());
    }

    // Redirects are followed to https only, and the key goes to the service's own origin alone.
    void httpsServiceAndRedirects() {
        LocalHttpServer service(LocalHttpServer::Transport::tls);
        LocalHttpServer mirror(LocalHttpServer::Transport::tls);
        LocalHttpServer plain;
        const auto to = [](const LocalHttpServer& server) {
            return HttpResponse::redirect((server.baseURL() + "/v").toUtf8());
        };
        service.setResponse(servicePath, HttpResponse::redirect("/moved"));
        service.setResponse("/moved", to(mirror));
        service.setResponse("/loop", HttpResponse::redirect("/loop"));
        service.setResponse("/to-http", to(plain));
        mirror.setResponse(HttpResponse::json(replyBody("7.0")));

        Rig rig(service.baseURL());
        const LogCapture log;
        QCOMPARE(rig.check(), Outcome::completed);
        QCOMPARE(rig.checker->updateInfo()->newVersion, "7.0");
        QCOMPARE(service.requests().size(), 2);
        for (const HttpRequest& request : service.requests()) {
            QCOMPARE(request.header("Authorization"), QList<QByteArray>{bearer});
        }
        QCOMPARE(mirror.requests().size(), 1);
        QVERIFY(mirror.requests()[0].header("Authorization").isEmpty());

        service.setResponse(servicePath, HttpResponse::redirect("/loop"));
        QCOMPARE(rig.check(), Outcome::redirectRefused);
        QCOMPARE(service.requests().size(), 2 + 1 + UpdateChecker::maxRedirects);

        service.setResponse(servicePath, HttpResponse::redirect("/to-http"));
        QCOMPARE(rig.check(), Outcome::redirectRefused);
        QCOMPARE(plain.connectionCount(), 0);
        // The published update stays through later failures.
        QCOMPARE(rig.checker->updateInfo()->newVersion, "7.0");
        // The log tells each check's end, and holds neither the key nor the reply's body.
        QVERIFY(log.text().contains("quorvel.updates: update check completed"));
        QVERIFY(log.text().contains("quorvel.updates: update check redirectRefused"));
        QVERIFY(!log.text().contains(testKey) && !log.text().contains("Faster start"));
    }

    void nothingIsSentWithoutService() {
        LocalHttpServer server;
        Rig rig{QString()};
        QCOMPARE(rig.check(), Outcome::notConfigured);
        QVERIFY(rig.checker->findChild<QNetworkAccessManager*>() == nullptr);
        QCOMPARE(Rig(server.baseURL() + " /x").check(), Outcome::invalidURL);
        QCOMPARE(Rig(QString(server.baseURL()).replace("http:", "ftp:")).check(),
                 Outcome::invalidURL);
        QCOMPARE(server.connectionCount(), 0);
        QCOMPARE(rig.settings.lastUpdateCheck(), SettingsManager::distantPast());
        if (APIKeyConfig::baseURL().isEmpty()) { // this build has no service: no network at all
            UpdateChecker defaults(rig.settings);
            QVERIFY(defaults.checkIfNeeded());
            QVERIFY(defaults.findChild<QNetworkAccessManager*>() == nullptr);
        }
    }

    // Due 24 hours after the last check; a last check in the future (the clock was set back)
    // holds it off until the clock has passed that by 24 hours. Only a due check is made and
    // recorded.
    void checkIfNeeded_data() {
        QTest::addColumn<qint64>("lastAgo"); // seconds before now; LLONG_MIN for "never"
        QTest::addColumn<bool>("checks");
        QTest::newRow("never checked") << LLONG_MIN << true;
        QTest::newRow("a second short of 24 h") << 86399LL << false;
        QTest::newRow("exactly 24 h") << 86400LL << true;
        QTest::newRow("just now") << 0LL << false;
        QTest::newRow("a day ahead") << -86400LL << false;
    }

    void checkIfNeeded() {
        QFETCH(qint64, lastAgo);
        QFETCH(bool, checks);
        LocalHttpServer server;
        server.setResponse(HttpResponse::json(replyBody("1.0")));
        Rig rig(server.baseURL());
        const QDateTime last = lastAgo == LLONG_MIN ? SettingsManager::distantPast()
                                                    : rig.clock.now().addSecs(-lastAgo);
        rig.settings.setLastUpdateCheck(last);
        QCOMPARE(rig.checker->checkIfNeeded(), checks);
        QCOMPARE(rig.checker->isChecking(), checks);
        QTRY_VERIFY(!rig.checker->isChecking());
        QCOMPARE(server.requests().size(), checks ? 1 : 0);
        QCOMPARE(rig.settings.lastUpdateCheck(), checks ? rig.clock.now() : last);
    }
};

QTEST_GUILESS_MAIN(TestUpdates)
#include "tst_updates.moc"
