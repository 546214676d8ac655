#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <optional>

namespace quorvel {

// The update service's answer to "which version is current?", a JSON object:
//
//   { "app_identifier": "com.quorvel.app", "current_version": "1.4.2",
//     "download_url": "https://...", "release_notes": "..." | null,
//     "minimum_os_version": "..." | null }
//
// The first three keys are required strings. The last two may be absent or null; any other
// type makes the reply undecodable, as does a required key that is missing or null. Other
// keys are ignored.
struct AppVersionResponse {
    QString appIdentifier;
    QString currentVersion;
    QString downloadUrl;
    std::optional<QString> releaseNotes;
    std::optional<QString> minimumOsVersion;

    // The record, or nothing when `body` is not a reply of the shape above.
    static std::optional<AppVersionResponse> decode(const QByteArray& body);
    // Compact JSON with the same keys; absent optional members are left out.
    QByteArray encode() const;

    friend bool operator==(const AppVersionResponse&, const AppVersionResponse&) = default;
};

// An available update, as the panel offers it.
struct UpdateInfo {
    UpdateInfo() = default;
    UpdateInfo(QString version, QUrl url, std::optional<QString> notes, bool available)
        : newVersion(std::move(version)), downloadURL(std::move(url)),
          releaseNotes(std::move(notes)), isUpdateAvailable(available) {}

    QString newVersion;
    QUrl downloadURL;
    std::optional<QString> releaseNotes;
    bool isUpdateAvailable = false;

    friend bool operator==(const UpdateInfo&, const UpdateInfo&) = default;
};

// True exactly when `remote` is a newer version than `local`.
//
// Both are split at "."; empty pieces and pieces that are not a signed 64-bit decimal number
// ("beta", "3-beta", " 1", an overflowing number) are dropped, and the rest are compared
// position by position, a missing position counting as 0. So 1.10 > 1.9, 1.2 == 1.2.0, and a
// string without any number reads as 0.
bool compareVersions(const QString& remote, const QString& local);

// A download link Quorvel is willing to hand to the desktop: a valid http or https URL with a
// host. Anything else (file:, javascript:, custom schemes, relative text) is refused, since
// the link is later opened with the user's default handler.
std::optional<QUrl> parseDownloadURL(const QString& text);

// The update a decoded reply announces to a program running `runningVersion`: present when
// the reply's version is newer and its download link is acceptable.
std::optional<UpdateInfo> deriveUpdateInfo(const AppVersionResponse& reply,
                                           const QString& runningVersion);

} // namespace quorvel

Q_DECLARE_METATYPE(quorvel::UpdateInfo)
Q_DECLARE_METATYPE(std::optional<quorvel::UpdateInfo>)
