#include "app/Observation.h"
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
#include <memory>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;
using Outcome = UpdateChecker::CheckOutcome;

Q_DECLARE_METATYPE(quorvel::test::HttpResponse)

namespace {

const QByteArray servicePath = "/api/v1/apps/com.quorvel.app/version";
const QString testKey = QStringLiteral("k3y-0123456789abcdefABCDEF_+/=");

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
        QTest::addColumn<QString>("notes"); // "<none>" for no notes
        QTest::newRow("full") << replyBody("1.4.2") << true << "Faster start";
        QTest::newRow("notes null")
            << replyBody("1", "\"https://a.b/c\"", ", \"release_notes\": null") << true << "<none>";
        QTest::newRow("optionals absent, extra keys")
            << replyBody("1", "\"x\"", ", \"size\": 4") << true << "<none>";
        QTest::newRow("minimum os null")
            << replyBody("1", "\"x\"", ", \"minimum_os_version\": null") << true << "<none>";
        QTest::newRow("no app_identifier")
            << QByteArray(R"({"current_version": "1", "download_url": "x"})") << false << "";
        QTest::newRow("no download_url")
            << QByteArray(R"({"app_identifier": "a", "current_version": "1"})") << false << "";
        QTest::newRow("required null")
            << QByteArray(
                   R"({"app_identifier": null, "current_version": "1", "download_url": "x"})")
            << false << "";
        QTest::newRow("number for version")
            << QByteArray(R"({"app_identifier": "a", "current_version": 2, "download_url": "x"})")
            << false << "";
        QTest::newRow("number for notes")
            << replyBody("1", "\"x\"", ", \"release_notes\": 7") << false << "";
        QTest::newRow("bool for minimum os")
            << replyBody("1", "\"x\"", ", \"minimum_os_version\": true") << false << "";
        QTest::newRow("malformed") << QByteArray(R"({"app_identifier": "a", )") << false << "";
        QTest::newRow("array") << QByteArray("[" + replyBody("1") + "]") << false << "";
        QTest::newRow("trailing garbage") << QByteArray(replyBody("1") + "x") << false << "";
        QTest::newRow("empty") << QByteArray() << false << "";
        QTest::newRow("invalid utf-8") << replyBody("1\xff") << false << "";
    }

    void decodeReply() {
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        QFETCH(QString, notes);
        const std::optional<AppVersionResponse> reply = AppVersionResponse::decode(body);
        QCOMPARE(reply.has_value(), decodes);
        if (reply) {
            QCOMPARE(reply->releaseNotes.value_or(QStringLiteral("<none>")), notes);
            // Encoding leaves absent optionals out and decodes to the same record.
            const QByteArray encoded = reply->encode();
            QVERIFY(!encoded.contains("null"));
            QCOMPARE(AppVersionResponse::decode(encoded), reply);
        }
    }

    void deriveUpdateInfo_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("published");
        QTest::newRow("newer, https") << "1.3"
                                      << "https://example.com/q.tar.gz" << true;
        QTest::newRow("newer, http") << "1.3"
                                     << "http://example.com/q" << true;
        QTest::newRow("scheme in capitals") << "1.3"
                                            << "HTTPS://Example.com/q" << true;
        QTest::newRow("same version") << "1.2.0"
                                      << "https://example.com/q" << false;
        QTest::newRow("unparsable") << "1.3"
                                    << "https://exa mple.com/q" << false;
        QTest::newRow("empty") << "1.3"
                               << "" << false;
        QTest::newRow("relative") << "1.3"
                                  << "//example.com/q" << false;
        QTest::newRow("file") << "1.3"
                              << "file:///home/user/.bashrc" << false;
        QTest::newRow("javascript") << "1.3"
                                    << "javascript:alert(1)" << false;
        QTest::newRow("custom scheme") << "1.3"
                                       << "quorvel-install://example.com/q" << false;
        QTest::newRow("no host") << "1.3"
                                 << "https:///q.tar.gz" << false;
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
            QCOMPARE(info->newVersion, version);
            QCOMPARE(info->downloadURL, QUrl(url));
            QCOMPARE(info->releaseNotes, std::optional<QString>(QStringLiteral("notes")));
            QVERIFY(info->isUpdateAvailable);
        }
    }

    void keyAssembly() {
        const std::array<std::uint8_t, 4> salt{0x13, 0x37, 0xc0, 0xde};
        std::array<std::uint8_t, 4> obfuscated{};
        const QByteArray key = "Ab3=";
        for (std::size_t i = 0; i < salt.size(); ++i) {
            obfuscated[i] = static_cast<std::uint8_t>(key[static_cast<qsizetype>(i)]) ^ salt[i];
        }
        QCOMPARE(APIKeyConfig::assembleKey(obfuscated, salt), QStringLiteral("Ab3="));
        // The shorter list decides the length.
        QCOMPARE(APIKeyConfig::assembleKey(std::span(obfuscated).first(2), salt), "Ab");
        // Bytes that are not UTF-8 give no key at all.
        const std::array<std::uint8_t, 2> bad{0xff, 0x41};
        const std::array<std::uint8_t, 2> zero{0, 0};
        QCOMPARE(APIKeyConfig::assembleKey(bad, zero), QString());
        QCOMPARE(APIKeyConfig::appIdentifier(), "com.quorvel.app");
        const QString base = APIKeyConfig::baseURL();
        QVERIFY(base.isEmpty() || base.startsWith(QLatin1String("https://")));
        QVERIFY(!UpdateCheckerEnvironment::currentAppVersion().isEmpty());
    }

    void serviceReplies_data() {
        QTest::addColumn<HttpResponse>("response");
        QTest::addColumn<QString>("running");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("published"); // the new version, or "" for none

        const auto json = [](const QByteArray& body) {
            return HttpResponse::json(body);
        };
        QTest::newRow("newer") << json(replyBody("1.3.0")) << "1.2.0" << Outcome::completed
                               << "1.3.0";
        QTest::newRow("1.10 over 1.9")
            << json(replyBody("1.10")) << "1.9" << Outcome::completed << "1.10";
        QTest::newRow("no running version")
            << json(replyBody("0.0.1")) << "" << Outcome::completed << "0.0.1";
        QTest::newRow("equal") << json(replyBody("1.2.0")) << "1.2.0" << Outcome::completed << "";
        QTest::newRow("older") << json(replyBody("1.1.9")) << "1.2.0" << Outcome::completed << "";
        QTest::newRow("notes null")
            << json(replyBody("2", "\"https://a.example/q\"", ", \"release_notes\": null"))
            << "1.2.0" << Outcome::completed << "2";
        for (const QByteArray unsafe : {"\"file:///etc/passwd\"", "\"javascript:alert(1)\"",
                                        "\"quorvel-install://a.example/q\""}) {
            QTest::addRow("unsafe download URL %s", unsafe.constData())
                << json(replyBody("9.0", unsafe)) << "1.2.0" << Outcome::completed << "";
        }
        for (int status : {204, 304, 401, 404, 500}) {
            QTest::addRow("status %d", status) << HttpResponse::withStatus(status, replyBody("9.0"))
                                               << "1.2.0" << Outcome::badStatus << "";
        }
        QTest::newRow("201 with a reply")
            << HttpResponse::json(replyBody("9.0"), 201) << "1.2.0" << Outcome::badStatus << "";
        QTest::newRow("malformed JSON") << json("{\"app_identifier\": \"com.quorvel.app\",")
                                        << "1.2.0" << Outcome::undecodable << "";
        QTest::newRow("no app_identifier")
            << json("{\"current_version\": \"9.0\", \"download_url\": \"https://a.example/q\"}")
            << "1.2.0" << Outcome::undecodable << "";
        QTest::newRow("number for a string")
            << json("{\"app_identifier\": \"a\", \"current_version\": 9, \"download_url\": "
                    "\"https://a.b/\"}")
            << "1.2.0" << Outcome::undecodable << "";

        // A valid reply padded to exactly the limit is read; one byte more is refused.
        const auto padded = [](qint64 size) {
            QByteArray body = replyBody("9.0", "\"https://a.example/q\"", ", \"pad\": \"\"");
            body.insert(body.size() - 2, QByteArray(size - body.size(), 'x'));
            return body;
        };
        QTest::newRow("body at the limit")
            << json(padded(UpdateChecker::maxReplyBytes)) << "1.2.0" << Outcome::completed << "9.0";
        QTest::newRow("body over the limit") << json(padded(UpdateChecker::maxReplyBytes + 1))
                                             << "1.2.0" << Outcome::bodyTooLarge << "";
        QTest::newRow("endless body")
            << HttpResponse::endless() << "1.2.0" << Outcome::bodyTooLarge << "";
        QTest::newRow("never answers")
            << HttpResponse::silent() << "1.2.0" << Outcome::transportError << "";
        QTest::newRow("redirect to http")
            << HttpResponse::redirect("/elsewhere") << "1.2.0" << Outcome::redirectRefused << "";
    }

    // Each reply of the service: what gets published, and lastUpdateCheck is recorded exactly
    // when the reply was a well-formed answer.
    void serviceReplies() {
        QFETCH(HttpResponse, response);
        QFETCH(QString, running);
        QFETCH(Outcome, outcome);
        QFETCH(QString, published);

        LocalHttpServer server;
        server.setResponse(servicePath, response);
        server.setResponse("/elsewhere", HttpResponse::json(replyBody("9.0")));
        Rig rig(server.baseURL(), running, 300ms);
        QSignalSpy changed(rig.checker.get(), &UpdateChecker::updateInfoChanged);

        QCOMPARE(rig.check(), outcome);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(rig.checker->updateInfo().has_value(), !published.isEmpty());
        QCOMPARE(changed.size(), published.isEmpty() ? 0 : 1);
        if (!published.isEmpty()) {
            QCOMPARE(rig.checker->updateInfo()->newVersion, published);
            QVERIFY(rig.checker->updateInfo()->isUpdateAvailable);
        }
        QCOMPARE(rig.settings.lastUpdateCheck(),
                 outcome == Outcome::completed ? rig.clock.now() : SettingsManager::distantPast());
        QVERIFY(!rig.checker->isChecking());
    }

    void requestCarriesTheKeyExactly() {
        LocalHttpServer server;
        server.setResponse(HttpResponse::json(replyBody("1.0")));
        Rig rig(server.baseURL());
        QCOMPARE(rig.check(), Outcome::completed);
        const HttpRequest request = server.requests().value(0);
        QCOMPARE(request.method, "GET");
        QCOMPARE(request.target, servicePath);
        QCOMPARE(request.headerCount("Authorization"), 1);
        QCOMPARE(request.header("Authorization"), "Bearer " + testKey.toUtf8());
    }

    // Redirects are followed to https only, and the key goes to the service's own origin alone.
    void httpsServiceAndRedirects() {
        LocalHttpServer service(LocalHttpServer::Transport::tls);
        LocalHttpServer mirror(LocalHttpServer::Transport::tls);
        LocalHttpServer plain;
        service.setResponse(servicePath, HttpResponse::redirect("/moved"));
        service.setResponse("/moved", HttpResponse::redirect((mirror.baseURL() + "/v").toUtf8()));
        service.setResponse("/loop", HttpResponse::redirect("/loop"));
        service.setResponse("/to-http", HttpResponse::redirect((plain.baseURL() + "/v").toUtf8()));
        mirror.setResponse(HttpResponse::json(replyBody("7.0")));

        Rig rig(service.baseURL());
        QCOMPARE(rig.check(), Outcome::completed);
        QCOMPARE(rig.checker->updateInfo()->newVersion, "7.0");
        QCOMPARE(service.requests().size(), 2);
        for (const HttpRequest& request : service.requests()) {
            QCOMPARE(request.header("Authorization"), "Bearer " + testKey.toUtf8());
        }
        QCOMPARE(mirror.requests().size(), 1);
        QCOMPARE(mirror.requests()[0].headerCount("Authorization"), 0);

        service.setResponse(servicePath, HttpResponse::redirect("/loop"));
        QCOMPARE(rig.check(), Outcome::redirectRefused);
        QCOMPARE(service.requests().size(), 2 + 1 + UpdateChecker::maxRedirects);

        service.setResponse(servicePath, HttpResponse::redirect("/to-http"));
        QCOMPARE(rig.check(), Outcome::redirectRefused);
        QCOMPARE(plain.connectionCount(), 0);
        // The published update stays through later failures.
        QCOMPARE(rig.checker->updateInfo()->newVersion, "7.0");

        // From a plain base, an https redirect is followed.
        plain.setResponse(HttpResponse::redirect((mirror.baseURL() + "/v").toUtf8()));
        Rig fromPlain(plain.baseURL());
        QCOMPARE(fromPlain.check(), Outcome::completed);
        QCOMPARE(mirror.requests().size(), 2);
    }

    void nothingIsSentWithoutService() {
        LocalHttpServer server;
        Rig rig{QString()};
        QCOMPARE(rig.check(), Outcome::notConfigured);
        QVERIFY(rig.checker->findChild<QNetworkAccessManager*>() == nullptr);

        Rig broken(QStringLiteral("http://127.0.0.1:%1 /x").arg(server.port()));
        QCOMPARE(broken.check(), Outcome::invalidURL);
        Rig otherScheme(QStringLiteral("ftp://127.0.0.1:%1").arg(server.port()));
        QCOMPARE(otherScheme.check(), Outcome::invalidURL);

        QCOMPARE(server.connectionCount(), 0);
        QCOMPARE(rig.settings.lastUpdateCheck(), SettingsManager::distantPast());

        if (APIKeyConfig::baseURL().isEmpty()) { // this build has no service configured
            TempFolder dir;
            SettingsManager settings(dir.path(QStringLiteral("Quorvel.conf")));
            UpdateChecker defaults(settings);
            QSignalSpy finished(&defaults, &UpdateChecker::checkFinished);
            QVERIFY(defaults.checkIfNeeded());
            QCOMPARE(finished.value(0).value(0).value<Outcome>(), Outcome::notConfigured);
            QVERIFY(defaults.findChild<QNetworkAccessManager*>() == nullptr);
        }
    }

    void checkIfNeeded_data() {
        QTest::addColumn<qint64>("lastAgo"); // seconds before now; -1 for "never"
        QTest::addColumn<bool>("checks");
        QTest::newRow("never checked") << -1LL << true;
        QTest::newRow("a second short of 24 h") << 86399LL << false;
        QTest::newRow("exactly 24 h") << 86400LL << true;
        QTest::newRow("a week") << 7 * 86400LL << true;
        QTest::newRow("just now") << 0LL << false;
    }

    void checkIfNeeded() {
        QFETCH(qint64, lastAgo);
        QFETCH(bool, checks);
        LocalHttpServer server; // answers 404: lastUpdateCheck stays as set
        Rig rig(server.baseURL());
        if (lastAgo >= 0) {
            rig.settings.setLastUpdateCheck(rig.clock.now().addSecs(-lastAgo));
        }
        QSignalSpy finished(rig.checker.get(), &UpdateChecker::checkFinished);
        QCOMPARE(rig.checker->checkIfNeeded(), checks);
        QCOMPARE(rig.checker->isChecking(), checks);
        if (checks) {
            QVERIFY(finished.wait(10000));
            QCOMPARE(server.requests().size(), 1);
        }
    }

    // A lastUpdateCheck in the future (the clock was set back) holds the check off until the
    // clock has passed it by 24 hours.
    void futureLastCheck() {
        LocalHttpServer server;
        Rig rig(server.baseURL());
        const QDateTime last = rig.clock.now().addSecs(3600);
        rig.settings.setLastUpdateCheck(last);
        QVERIFY(!rig.checker->checkIfNeeded());
        rig.clock.set(last.addSecs(86399));
        QVERIFY(!rig.checker->checkIfNeeded());
        rig.clock.set(last.addSecs(86400));
        QVERIFY(rig.checker->checkIfNeeded());
    }

    // Observers hear objectWillChange, then the new value, while the old one is still stored;
    // queued subscribers get the current value and then the new one.
    void publishingNotifiesBeforeStoring() {
        LocalHttpServer server;
        server.setResponse(HttpResponse::json(replyBody("3.0")));
        Rig rig(server.baseURL());
        QStringList seen;
        UpdateChecker* checker = rig.checker.get();
        connect(checker, &UpdateChecker::objectWillChange, this, [&] { seen << "will change"; });
        connect(checker, &UpdateChecker::updateInfoChanged, this,
                [&](const std::optional<UpdateInfo>& value) {
                    seen << QStringLiteral("changed to %1 while %2")
                                .arg(value->newVersion, checker->updateInfo()
                                                            ? QStringLiteral("set")
                                                            : QStringLiteral("empty"));
                });
        QObject subscriber;
        QList<std::optional<UpdateInfo>> delivered;
        subscribeQueued(checker, &UpdateChecker::updateInfoChanged, checker->updateInfo(),
                        &subscriber,
                        [&](const std::optional<UpdateInfo>& value) { delivered << value; });
        QCOMPARE(rig.check(), Outcome::completed);
        QCOMPARE(seen, QStringList({"will change", "changed to 3.0 while empty"}));
        QTRY_COMPARE(delivered.size(), 2);
        QVERIFY(!delivered[0]);
        QCOMPARE(delivered[1]->newVersion, "3.0");
    }
};

QTEST_GUILESS_MAIN(TestUpdates)
#include "tst_updates.moc"
