#pragma once

#include <QLocale>

namespace quorvel {

// Shows Quorvel in the first of `locale`'s languages that it has a translation for (for the
// system locale: LANGUAGE, then LC_ALL, LC_MESSAGES, LANG), and in English when it has none.
// The translations are built into the program (":/translations/quorvel_<language>.qm").
// Returns whether one was installed; call once, after the application object is made.
bool installTranslation(const QLocale& locale = QLocale::system());

} // namespace quorvel
