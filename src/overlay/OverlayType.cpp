#include "overlay/OverlayType.h"

#include "overlay/OverlayGradients.h"

#include <QCoreApplication>

namespace quorvel {

namespace {

// Everything a kind of overlay shows, one row a kind. Texts are English, translated when shown.
struct Looks {
    const char* title;
    const char* subtitle;
    const char* icon;
    quint64 gradientFrom;
    quint64 gradientTo;
    const char* switchTitle;
    const char* intervalTitle; // its picker in the settings; none for the slouch warning
};

const Looks& looks(OverlayType type) {
    static const Looks slouch{
        QT_TRANSLATE_NOOP("OverlayType", "Sit Up Straight!"),
        QT_TRANSLATE_NOOP("OverlayType", "Your posture could use a little love"),
        "figure.stand",
        0x667EEA,
        0x764BA2,
        QT_TRANSLATE_NOOP("OverlayType", "Posture Monitoring"),
        nullptr};
    static const Looks stand{QT_TRANSLATE_NOOP("OverlayType", "Time to Stand!"),
                             QT_TRANSLATE_NOOP("OverlayType", "Take a quick stretch break"),
                             "figure.walk",
                             0xF093FB,
                             0xF5576C,
                             QT_TRANSLATE_NOOP("OverlayType", "Stand Reminders"),
                             QT_TRANSLATE_NOOP("OverlayType", "Stand Interval")};
    static const Looks water{QT_TRANSLATE_NOOP("OverlayType", "Drink Some Water!"),
                             QT_TRANSLATE_NOOP("OverlayType", "Stay hydrated, stay sharp"),
                             "drop.fill",
                             0x4FACFE,
                             0x00F2FE,
                             QT_TRANSLATE_NOOP("OverlayType", "Water Reminders"),
                             QT_TRANSLATE_NOOP("OverlayType", "Water Interval")};
    switch (type) {
    case OverlayType::slouch:
        return slouch;
    case OverlayType::stand:
        return stand;
    case OverlayType::water:
        return water;
    }
    Q_UNREACHABLE();
}

QString translated(const char* text) {
    return QCoreApplication::translate("OverlayType", text);
}

} // namespace

QString title(OverlayType type) {
    return translated(looks(type).title);
}

QString subtitle(OverlayType type) {
    return translated(looks(type).subtitle);
}

QString switchTitle(OverlayType type) {
    return translated(looks(type).switchTitle);
}

QString intervalTitle(OverlayType type) {
    const char* text = looks(type).intervalTitle;
    return text != nullptr ? translated(text) : QString();
}

QString iconName(OverlayType type) {
    return QString::fromLatin1(looks(type).icon);
}

std::array<QColor, 2> gradientColors(OverlayType type) {
    return {colorFromHex(looks(type).gradientFrom), colorFromHex(looks(type).gradientTo)};
}

QString iconResourcePath(const QString& iconName) {
    return QStringLiteral(":/resources/icons/%1.svg").arg(iconName);
}

} // namespace quorvel
