#include "updates/UpdateModels.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <limits>

namespace quorvel {

namespace {

const QString keyAppIdentifier = QStringLiteral("app_identifier");
const QString keyCurrentVersion = QStringLiteral("current_version");
const QString keyDownloadUrl = QStringLiteral("download_url");
const QString keyReleaseNotes = QStringLiteral("release_notes");
const QString keyMinimumOsVersion = QStringLiteral("minimum_os_version");

// A required string: present, not null, a string.
bool readRequired(const QJsonObject& object, const QString& key, QString& out) {
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        return false;
    }
    out = value.toString();
    return true;
}

// An optional string: absent or null mean none; anything else must be a string.
bool readOptional(const QJsonObject& object, const QString& key, std::optional<QString>& out) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        out.reset();
        return true;
    }
    if (!value.isString()) {
        return false;
    }
    out = value.toString();
    return true;
}

// "+12", "-3", "7" -> the number; anything else, or a value beyond 64 bits, -> nothing.
std::optional<qint64> parseVersionPiece(QStringView piece) {
    qsizetype i = 0;
    bool negative = false;
    if (!piece.isEmpty() && (piece[0] == u'+' || piece[0] == u'-')) {
        negative = piece[0] == u'-';
        i = 1;
    }
    if (i == piece.size()) {
        return std::nullopt;
    }
    // Accumulate towards the sign's side so that the most negative value fits too.
    qint64 value = 0;
    constexpr qint64 maxValue = std::numeric_limits<qint64>::max();
    constexpr qint64 minValue = std::numeric_limits<qint64>::min();
    for (; i < piece.size(); ++i) {
        const char16_t c = piece[i].unicode();
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        const int digit = c - u'0';
        if (negative) {
            if (value < (minValue + digit) / 10) {
                return std::nullopt;
            }
            value = value * 10 - digit;
        } else {
            if (value > (maxValue - digit) / 10) {
                return std::nullopt;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

QList<qint64> versionNumbers(const QString& version) {
    QList<qint64> numbers;
    for (QStringView piece : QStringView(version).split(u'.', Qt::SkipEmptyParts)) {
        if (const auto number = parseVersionPiece(piece)) {
            numbers.append(*number);
        }
    }
    return numbers;
}

} // namespace

std::optional<AppVersionResponse> AppVersionResponse::decode(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    AppVersionResponse reply;
    if (!readRequired(object, keyAppIdentifier, reply.appIdentifier) ||
        !readRequired(object, keyCurrentVersion, reply.currentVersion) ||
        !readRequired(object, keyDownloadUrl, reply.downloadUrl) ||
        !readOptional(object, keyReleaseNotes, reply.releaseNotes) ||
        !readOptional(object, keyMinimumOsVersion, reply.minimumOsVersion)) {
        return std::nullopt;
    }
    return reply;
}

QByteArray AppVersionResponse::encode() const {
    QJsonObject object{{keyAppIdentifier, appIdentifier},
                       {keyCurrentVersion, currentVersion},
                       {keyDownloadUrl, downloadUrl}};
    if (releaseNotes) {
        object.insert(keyReleaseNotes, *releaseNotes);
    }
    if (minimumOsVersion) {
        object.insert(keyMinimumOsVersion, *minimumOsVersion);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool compareVersions(const QString& remote, const QString& local) {
    const QList<qint64> r = versionNumbers(remote);
    const QList<qint64> l = versionNumbers(local);
    const qsizetype length = std::max(r.size(), l.size());
    for (qsizetype i = 0; i < length; ++i) {
        const qint64 a = i < r.size() ? r[i] : 0;
        const qint64 b = i < l.size() ? l[i] : 0;
        if (a != b) {
            return a > b;
        }
    }
    return false;
}

std::optional<QUrl> parseDownloadURL(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative()) {
        return std::nullopt;
    }
    const QString scheme = url.scheme(); // QUrl keeps schemes in lower case
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http")) {
        return std::nullopt;
    }
    if (url.host().isEmpty()) {
        return std::nullopt;
    }
    return url;
}

std::optional<UpdateInfo> deriveUpdateInfo(const AppVersionResponse& reply,
                                           const QString& runningVersion) {
    if (!compareVersions(reply.currentVersion, runningVersion)) {
        return std::nullopt;
    }
    const std::optional<QUrl> url = parseDownloadURL(reply.downloadUrl);
    if (!url) {
        return std::nullopt;
    }
    return UpdateInfo(reply.currentVersion, *url, reply.releaseNotes, true);
}

} // namespace quorvel
