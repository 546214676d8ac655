#include "settings/SettingsManager.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"
#include "updates/APIKeyConfig.h"
#include "updates/UpdateChecker.h"
#include "updates/UpdateModels.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>
#include <array>
#include <climits>
#include <memory>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
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
                 std::chrono::milliseconds timeout = 5s) {
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
        if (finished.isEmpty() && !finished.wait(10000)) {
            qFatal("the check never finished");
        }
        return finished.takeFirst().at(0).value<Outcome>();
    }

    TempFolder dir;
    SettingsManager settings{dir.path(QStringLiteral("Quorvel.conf"))};
    FakeClock clock;
    std::unique_ptr<UpdateChecker> checker;
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

    void compareVersions_data() {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<QString>("local");
        QTest::addColumn<bool>("newer");
        const auto row = [](const char* r, const char* l, bool newer) {
            QTest::addRow("%s vs %s", r, l)
                << QString::fromUtf8(r) << QString::fromUtf8(l) << newer;
        };
        row("1.10", "1.9", true); // numeric, not textual
        row("1.9", "1.10", false);
        row("1.2", "1.2.0", false);
        row("1.2.0", "1.2", false);
        row("1.2.1", "1.2", true);
        row("2.0", "10.0", false);
        row("1.3-beta", "1.2", false); // "3-beta" dropped: 1.0 against 1.2
        row("1.beta.5", "1.4", true);  // "beta" dropped: 1.5
        row("1..2", "1.1", true);
        row("1..2", "1.2", false);
        row(".1.", "0.9", true);
        row("V2.0", "0.0.1", false); // reads as 0
        row("0.0.1", "V2.0", true);
        row("1.4.2", "1.4.2", false);
        row("beta", "beta", false);
        row("", "", false);
        row("+2", "1", true);
        row("-1", "0", false);
        row("0", "-1", true);
        row("1.+", "1", false);
        row("1. 2", "1.1", false);           // " 2" is not a number
        row("1.\xef\xbc\x92", "1.1", false); // full-width digit
        row("-9223372036854775808", "-9223372036854775807", false);
        row("9223372036854775807", "9223372036854775806", true);
        row("9223372036854775808.2", "1.9", true); // overflowing piece dropped: 2 against 1
    }

    void compareVersions() {
        QFETCH(QString, remote);
        QFETCH(QString, local);
        QFETCH(bool, newer);
        QCOMPARE(quorvel::compareVersions(remote, local), newer);
    }

    void decodeReply_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        const auto row = [](const char* name, const QByteArray& body, bool decodes) {
            QTest::newRow(name) << body << decodes;
        };
        row("optionals absent, extra keys", replyBody("1", "\"x\"", ", \"size\": 4"), true);
        row("minimum os null", replyBody("1", "\"x\"", ", \"minimum_os_version\": null"), true);
        row("no download_url", R"({"app_identifier": "a", "current_version": "1"})", false);
        row("required null",
            R"({"app_identifier": null, "current_version": "1", "download_url": "x"})", false);
        row("number for notes", replyBody("1", "\"x\"", ", \"release_notes\": 7"), false);
        row("bool for minimum os", replyBody("1", "\"x\"", ", \"minimum_os_version\": true"),
            false);
        row("array", "[" + replyBody("1") + "]", false);
        row("trailing garbage", replyBody("1") + "x", false);
        row("empty", {}, false);
        row("invalid utf-8", replyBody("1\xff"), false);
    }

    void decodeReply() {
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        const std::optional<AppVersionResponse> reply = AppVersionResponse::decode(body);
        QCOMPARE(reply.has_value(), decodes);
        if (reply) { // encoding leaves absent optionals out and decodes to the same record
            QVERIFY(!reply->encode().contains("null"));
            QCOMPARE(AppVersionResponse::decode(reply->encode()), reply);
        }
    }

    void deriveUpdateInfo_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("published");
        const auto row = [](const char* name, const char* version, const char* url, bool ok) {
            QTest::newRow(name) << QString(version) << QString(url) << ok;
        };
        row("newer, http", "1.3", "http://example.com/q", true);
        row("scheme in capitals", "1.3", "HTTPS://Example.com/q", true);
        row("unparsable", "1.3", "https://exa mple.com/q", false);
        row("empty", "1.3", "", false);
        row("relative", "1.3", "//example.com/q", false);
        row("file", "1.3", "file:///home/user/.bashrc", false);
        row("javascript", "1.3", "javascript:alert(1)", false);
        row("custom scheme", "1.3", "quorvel-install://example.com/q", false);
        row("no host", "1.3", "https:///q.tar.gz", false);
    }

    void deriveUpdateInfo() {
        QFETCH(QString, version);
        QFETCH(QString, url);
        QFETCH(bool, published);
        const AppVersionResponse reply{QStringLiteral("com.quorvel.app"), version, url,
                                       QStringLiteral("notes"), std::nullopt};
        const std::optional<UpdateInfo> info = quorvel::deriveUpdateInfo(reply, "1.2.0");
        QCOMPARE(info.has_value(), published);
        if (info) {
            QCOMPARE(info->downloadURL, QUrl(url));
            QCOMPARE(info->releaseNotes, std::optional<QString>(QStringLiteral("notes")));
        }
    }

    void keyAssembly() {
        const std::array<std::uint8_t, 4> salt{0x13, 0x37, 0xc0, 0xde};
        const std::array<std::uint8_t, 4> obfuscated{'A' ^ 0x13, 'b' ^ 0x37, '3' ^ 0xc0,
                                                     '=' ^ 0xde};
        QCOMPARE(APIKeyConfig::assembleKey(obfuscated, salt), QStringLiteral("Ab3="));
        // The shorter list decides the length; bytes that are not UTF-8 give no key at all.
        QCOMPARE(APIKeyConfig::assembleKey(std::span(obfuscated).first(2), salt), "Ab");
        QCOMPARE(APIKeyConfig::assembleKey(std::array<std::uint8_t, 2>{0xff, 0x41},
                                           std::array<std::uint8_t, 2>{0, 0}),
                 QString());
        const QString base = APIKeyConfig::baseURL();
        QVERIFY(base.isEmpty() || base.startsWith(QLatin1String("https://")));
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
        row("newer", json(replyBody("1.3.0")), Outcome::completed, "1.3.0");
        row("no running version", json(replyBody("0.0.1")), Outcome::completed, "0.0.1", "");
        row("equal", json(replyBody("1.2.0")), Outcome::completed);
        row("older", json(replyBody("1.1.9")), Outcome::completed);
        row("notes null", json(replyBody("2", "\"https://a.b/q\"", ", \"release_notes\": null")),
            Outcome::completed, "2");
        row("unsafe download URL", json(replyBody("9.0", "\"javascript:alert(1)\"")),
            Outcome::completed);
        for (int status : {204, 304, 401, 404, 500}) {
            QTest::addRow("status %d", status) << HttpResponse::withStatus(status, replyBody("9.0"))
                                               << "1.2.0" << Outcome::badStatus << "";
        }
        row("201 with a reply", HttpResponse::json(replyBody("9.0"), 201), Outcome::badStatus);
        row("malformed JSON", json("{\"app_identifier\": \"com.quorvel.app\","),
            Outcome::undecodable);
        row("no app_identifier",
            json("{\"current_version\": \"9.0\", \"download_url\": \"https://a.example/q\"}"),
            Outcome::undecodable);
        row("number for a string",
            json("{\"app_identifier\": \"a\", \"current_version\": 9, \"download_url\": "
                 "\"https://a.b/\"}"),
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
        Rig rig(server.baseURL(), running, 300ms);
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

        // From a plain base, an https redirect is followed.
        plain.setResponse(to(mirror));
        Rig fromPlain(plain.baseURL());
        QCOMPARE(fromPlain.check(), Outcome::completed);
        QCOMPARE(mirror.requests().size(), 2);
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

        if (APIKeyConfig::baseURL().isEmpty()) { // this build has no service configured
            UpdateChecker defaults(rig.settings);
            QSignalSpy finished(&defaults, &UpdateChecker::checkFinished);
            QVERIFY(defaults.checkIfNeeded());
            QCOMPARE(finished.value(0).value(0).value<Outcome>(), Outcome::notConfigured);
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
        QTest::newRow("a week") << 7 * 86400LL << true;
        QTest::newRow("just now") << 0LL << false;
        QTest::newRow("an hour ahead") << -3600LL << false;
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
