#pragma once

#include "common/Clock.h"
#include "settings/SettingsManager.h"
#include "updates/APIKeyConfig.h"
#include "updates/UpdateModels.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace quorvel {

// Everything the checker takes from its surroundings. The defaults are those of the real
// program; tests replace the service and shorten the timeout.
struct UpdateCheckerEnvironment {
    Clock clock = systemClock();
    // Empty: no update service; a check then ends before touching the network.
    QString baseURL = APIKeyConfig::baseURL();
    QString appIdentifier = APIKeyConfig::appIdentifier();
    // Read once per request, so the key is not kept whole longer than the request needs.
    std::function<QString()> apiKey = &APIKeyConfig::apiKey;
    // The longest silence allowed while connecting or receiving.
    std::chrono::milliseconds transferTimeout = std::chrono::seconds(10);
    // The version that is running; empty means "0.0.0".
    QString runningVersion = currentAppVersion();

    // The project version this program was built as, "0.0.0" if none was set.
    static QString currentAppVersion();
};

// Asks the update service, at most once per 24 hours, whether a newer Quorvel exists, and
// publishes it in `updateInfo` for the panel.
//
// The 24 hours run from the last check that got a well-formed answer (the settings'
// lastUpdateCheck). Every failure ends the check quietly and leaves lastUpdateCheck alone,
// so the next start checks again. All work happens on the thread the checker lives in.
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    // How a check ended.
    enum class CheckOutcome {
        completed,       // a well-formed answer; lastUpdateCheck recorded
        notConfigured,   // no base URL: nothing sent
        invalidURL,      // the request URL did not parse: nothing sent
        transportError,  // no connection, time-out, TLS failure, body cut short
        redirectRefused, // a redirect to anything but https, or too many redirects
        badStatus,       // anything but 200 (after redirects)
        bodyTooLarge,    // the body exceeded maxReplyBytes
        undecodable,     // the body was not a valid reply
    };
    Q_ENUM(CheckOutcome)

    static constexpr double checkInterval = 86400.0;   // seconds
    static constexpr qint64 maxReplyBytes = 64 * 1024; // larger replies are refused
    // Redirects are followed to https targets only, and the key is sent to the service's own
    // origin only, never to another host a redirect names.
    static constexpr int maxRedirects = 10;

    explicit UpdateChecker(SettingsManager& settings = SettingsManager::shared(),
                           UpdateCheckerEnvironment environment = {}, QObject* parent = nullptr);
    ~UpdateChecker() override;

    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;

    // Set once a check finds a newer version; never cleared afterwards.
    std::optional<UpdateInfo> updateInfo() const { return m_updateInfo; }

    // Starts a check when 24 hours have passed since lastUpdateCheck (a lastUpdateCheck in
    // the future counts as recent). Returns at once; true when a check was started.
    bool checkIfNeeded();

    // Starts a check now, regardless of lastUpdateCheck. Does nothing while one is running.
    void performCheck();

    // True while a request is on its way.
    bool isChecking() const;

Q_SIGNALS:
    void objectWillChange();
    // Emitted before the new value is stored: updateInfo() still reads the old one.
    void updateInfoChanged(std::optional<quorvel::UpdateInfo> value);
    // Each started check ends with exactly one of these, after any publication and after
    // lastUpdateCheck was recorded. A check that sends nothing (notConfigured, invalidURL)
    // ends before performCheck() returns.
    void checkFinished(quorvel::UpdateChecker::CheckOutcome outcome);

private:
    void setUpdateInfo(std::optional<UpdateInfo> value);
    bool collectBody();
    void onReadyRead();
    void send(const QUrl& url);
    bool followRedirect(QNetworkReply* reply);
    void onFinished();
    // Ends the check; `detail` says why in the log (never the key or the reply's body).
    void finish(CheckOutcome outcome, const QString& detail);

    SettingsManager& m_settings;
    UpdateCheckerEnvironment m_environment;
    std::optional<UpdateInfo> m_updateInfo;
    QNetworkAccessManager* m_network = nullptr; // created on the first request
    QPointer<QNetworkReply> m_reply;
    QUrl m_serviceURL;
    int m_redirects = 0;
    QByteArray m_body;
    std::optional<CheckOutcome> m_abortReason;
};

} // namespace quorvel
