#include "updates/UpdateChecker.h"

#include "updates/UpdatesLogging.h"

#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace quorvel {

namespace {

bool isWebURL(const QUrl& url) {
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
}

bool isSameOrigin(const QUrl& a, const QUrl& b) {
    const int defaultPort = a.scheme() == QLatin1String("https") ? 443 : 80;
    return a.scheme() == b.scheme() && a.host() == b.host() &&
           a.port(defaultPort) == b.port(defaultPort);
}

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A network error by its name ("TimeoutError"): the reply's own text would name the URL.
QString errorName(QNetworkReply::NetworkError error) {
    return QString::fromLatin1(
        QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error));
}

} // namespace

QString UpdateCheckerEnvironment::currentAppVersion() {
#ifdef QUORVEL_VERSION
    const QString version = QStringLiteral(QUORVEL_VERSION);
#else
    const QString version;
#endif
    return version.isEmpty() ? QStringLiteral("0.0.0") : version;
}

UpdateChecker::UpdateChecker(SettingsManager& settings, UpdateCheckerEnvironment environment,
                             QObject* parent)
    : QObject(parent), m_settings(settings), m_environment(std::move(environment)) {
    if (m_environment.runningVersion.isEmpty()) {
        m_environment.runningVersion = QStringLiteral("0.0.0");
    }
    if (!m_environment.clock) {
        m_environment.clock = systemClock();
    }
}

UpdateChecker::~UpdateChecker() {
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

bool UpdateChecker::isChecking() const {
    return m_reply != nullptr;
}

bool UpdateChecker::checkIfNeeded() {
    const QDateTime now = m_environment.clock();
    const QDateTime last = m_settings.lastUpdateCheck();
    const double elapsed = static_cast<double>(last.msecsTo(now)) / 1000.0;
    if (elapsed < checkInterval) {
        qCDebug(lcUpdates) << "update check not due: the last one was at" << last;
        return false;
    }
    performCheck();
    return true;
}

void UpdateChecker::performCheck() {
    if (m_reply) {
        return; // one check at a time
    }
    if (m_environment.baseURL.isEmpty()) {
        finish(CheckOutcome::notConfigured, QStringLiteral("this build has no update service"));
        return;
    }
    const QUrl url(m_environment.baseURL + QLatin1String("/api/v1/apps/") +
                       m_environment.appIdentifier + QLatin1String("/version"),
                   QUrl::StrictMode);
    if (!isWebURL(url)) {
        finish(CheckOutcome::invalidURL, QStringLiteral("the service's address is not valid"));
        return;
    }

    qCInfo(lcUpdates) << "checking for an update at" << url.host();
    m_serviceURL = url;
    m_redirects = 0;
    send(url);
}

void UpdateChecker::send(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_environment.transferTimeout.count()));
    // Redirects are followed by hand (followRedirect) so that each hop can be vetted.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // The key is for the service alone: a redirect to another origin goes there without it.
    if (isSameOrigin(url, m_serviceURL)) {
        const QString key = m_environment.apiKey ? m_environment.apiKey() : QString();
        request.setRawHeader("Authorization", QByteArrayLiteral("Bearer ") + key.toUtf8());
    }

    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
    }
    m_body.clear();
    m_abortReason.reset();
    m_reply = m_network->get(request);
    // Keeps Qt from buffering more than we are willing to read.
    m_reply->setReadBufferSize(maxReplyBytes + 1);
    connect(m_reply, &QNetworkReply::readyRead, this, &UpdateChecker::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateChecker::onFinished);
}

bool UpdateChecker::collectBody() {
    // Read at most one byte beyond the limit: enough to know the body is too large.
    const qint64 room = maxReplyBytes + 1 - m_body.size();
    if (room > 0 && m_reply->isReadable()) {
        m_body.append(m_reply->read(room));
    }
    return m_body.size() <= maxReplyBytes;
}

void UpdateChecker::onReadyRead() {
    if (!m_reply || m_abortReason) {
        return;
    }
    if (!collectBody()) {
        m_abortReason = CheckOutcome::bodyTooLarge;
        m_reply->abort();
    }
}

void UpdateChecker::onFinished() {
    QNetworkReply* reply = m_reply;
    if (!reply) {
        return;
    }
    reply->deleteLater();
    const QString tooLarge = QStringLiteral("the reply is over %1 bytes").arg(maxReplyBytes);
    if (m_abortReason) {
        finish(*m_abortReason, tooLarge);
        return;
    }
    if (!collectBody()) { // whatever arrived with the end of the reply
        finish(CheckOutcome::bodyTooLarge, tooLarge);
        return;
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        finish(CheckOutcome::transportError, errorName(reply->error()));
        return;
    }
    if (isRedirectStatus(status.toInt()) && reply->hasRawHeader("Location")) {
        if (!followRedirect(reply)) {
            finish(CheckOutcome::redirectRefused,
                   QStringLiteral("a redirect to anything but https, or too many"));
        }
        return;
    }
    if (status.toInt() != 200) {
        finish(CheckOutcome::badStatus, QStringLiteral("HTTP status %1").arg(status.toInt()));
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        finish(CheckOutcome::transportError, errorName(reply->error())); // e.g. cut short
        return;
    }
    const std::optional<AppVersionResponse> decoded = AppVersionResponse::decode(m_body);
    if (!decoded) {
        finish(CheckOutcome::undecodable, QStringLiteral("the reply is not a version record"));
        return;
    }
    std::optional<UpdateInfo> info = deriveUpdateInfo(*decoded, m_environment.runningVersion);
    const QString found = QStringLiteral("the service offers %1, this is %2%3")
                              .arg(decoded->currentVersion.left(40), m_environment.runningVersion,
                                   info ? QStringLiteral(": an update") : QString());
    if (info) {
        setUpdateInfo(std::move(info));
    }
    m_settings.setLastUpdateCheck(m_environment.clock());
    finish(CheckOutcome::completed, found);
}

bool UpdateChecker::followRedirect(QNetworkReply* reply) {
    const QUrl location = QUrl::fromEncoded(reply->rawHeader("Location"), QUrl::StrictMode);
    const QUrl next = reply->url().resolved(location);
    if (!location.isValid() || ++m_redirects > maxRedirects ||
        next.scheme() != QLatin1String("https") || next.host().isEmpty()) {
        return false;
    }
    qCInfo(lcUpdates) << "update check redirected to" << next.host();
    send(next);
    return true;
}

void UpdateChecker::finish(CheckOutcome outcome, const QString& detail) {
    m_reply = nullptr;
    m_body.clear();
    m_abortReason.reset();
    qCInfo(lcUpdates, "update check %s: %s",
           QMetaEnum::fromType<CheckOutcome>().valueToKey(static_cast<int>(outcome)),
           qUtf8Printable(detail));
    Q_EMIT checkFinished(outcome);
}

void UpdateChecker::setUpdateInfo(std::optional<UpdateInfo> value) {
    Q_EMIT objectWillChange();
    Q_EMIT updateInfoChanged(value);
    m_updateInfo = std::move(value);
}

} // namespace quorvel
