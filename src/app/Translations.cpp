#include "app/Translations.h"

#include "app/AppLogging.h"

#include <QCoreApplication>
#include <QTranslator>

namespace quorvel {

bool installTranslation(const QLocale& locale) {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(locale, QStringLiteral("quorvel"), QStringLiteral("_"),
                          QStringLiteral(":/translations"))) {
        qCInfo(lcApp) << "no translation for" << locale.uiLanguages() << "- English it is";
        delete translator;
        return false;
    }
    qCInfo(lcApp) << "translation" << translator->language() << "for" << locale.uiLanguages();
    QCoreApplication::installTranslator(translator);
    return true;
}

} // namespace quorvel
