#include "updates/UpdateChecker.h"

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
        Q_EMIT checkFinished(CheckOutcome::notConfigured);
        return;
    }
    const QUrl url(m_environment.baseURL + QLatin1String("/api/v1/apps/") +
                       m_environment.appIdentifier + QLatin1String("/version"),
                   QUrl::StrictMode);
    if (!isWebURL(url)) {
        Q_EMIT checkFinished(CheckOutcome::invalidURL);
        return;
    }

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
    if (m_abortReason) {
        finish(*m_abortReason);
        return;
    }
    if (!collectBody()) { // whatever arrived with the end of the reply
        finish(CheckOutcome::bodyTooLarge);
        return;
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        finish(CheckOutcome::transportError);
        return;
    }
    if (isRedirectStatus(status.toInt()) && reply->hasRawHeader("Location")) {
        if (!followRedirect(reply)) {
            finish(CheckOutcome::redirectRefused);
        }
        return;
    }
    if (status.toInt() != 200) {
        finish(CheckOutcome::badStatus);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        finish(CheckOutcome::transportError); // e.g. the body was cut short
        return;
    }
    const std::optional<AppVersionResponse> decoded = AppVersionResponse::decode(m_body);
    if (!decoded) {
        finish(CheckOutcome::undecodable);
        return;
    }
    if (std::optional<UpdateInfo> info = deriveUpdateInfo(*decoded, m_environment.runningVersion)) {
        setUpdateInfo(std::move(info));
    }
    m_settings.setLastUpdateCheck(m_environment.clock());
    finish(CheckOutcome::completed);
}

bool UpdateChecker::followRedirect(QNetworkReply* reply) {
    const QUrl location = QUrl::fromEncoded(reply->rawHeader("Location"), QUrl::StrictMode);
    const QUrl next = reply->url().resolved(location);
    if (!location.isValid() || ++m_redirects > maxRedirects ||
        next.scheme() != QLatin1String("https") || next.host().isEmpty()) {
        return false;
    }
    send(next);
    return true;
}

void UpdateChecker::finish(CheckOutcome outcome) {
    m_reply = nullptr;
    m_body.clear();
    m_abortReason.reset();
    Q_EMIT checkFinished(outcome);
}

void UpdateChecker::setUpdateInfo(std::optional<UpdateInfo> value) {
    Q_EMIT objectWillChange();
    Q_EMIT updateInfoChanged(value);
    m_updateInfo = std::move(value);
}

} // namespace quorvel
