#include "app/Translations.h"
#include "menubar/MenuBarView.h"
#include "overlay/OverlayView.h"
#include "support/AppRig.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>
#include <functional>

using namespace quorvel;
using namespace quorvel::test;

namespace {

// A language in which every translated text is visibly changed: a text shown without its
// marks was never marked for translation.
class PseudoTranslator : public QTranslator {
public:
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* source, const char*, int) const override {
        return QStringLiteral("⟦%1⟧").arg(QString::fromUtf8(source));
    }
};

// Every text `root` shows or gives a screen reader, hidden parts included.
QStringList textsOf(QWidget* root) {
    QStringList texts;
    const std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* iface) {
        for (auto kind : {QAccessible::Name, QAccessible::Description, QAccessible::Value}) {
            texts << iface->text(kind);
        }
        for (int i = 0; i < iface->childCount(); ++i) {
            walk(iface->child(i));
        }
    };
    walk(QAccessible::queryAccessibleInterface(root));
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets << root;
    for (QWidget* w : widgets) {
        texts << w->accessibleName() << w->accessibleDescription() << w->toolTip();
        if (auto* label = qobject_cast<QLabel*>(w)) {
            texts << label->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            texts << button->text();
        } else if (auto* box = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < box->count(); ++i) {
                texts << box->itemText(i);
            }
        }
    }
    texts.removeAll(QString());
    texts.removeDuplicates();
    return texts;
}

void removeTranslators() {
    for (QTranslator* t : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
}

} // namespace

class TestTranslations : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { removeTranslators(); }

    // Under a pseudo-language, every text of the panel (in each of its states) and of each
    // overlay comes out of a translation; only the product's name stays as it is.
    void everyShownTextIsMarkedForTranslation() {
        PseudoTranslator pseudo;
        QCoreApplication::installTranslator(&pseudo);
        QStringList shown;
        {
            AppRig rig("[General]\nstandReminderEnabled=true\nwaterReminderEnabled=true\n"
                       "waterInterval=90\n");
            MenuBarView view(*rig.state, rig.stores());
            AppRig::turn();
            shown << textsOf(&view);
            rig.state->togglePostureMonitoring(true); // not calibrated yet
            AppRig::turn();
            shown << textsOf(&view);
            rig.answer(false); // the camera refused
            shown << textsOf(&view);
        }
        {
            AppRig rig("[General]\nisCalibrated=true\nbaselineShoulderWidth=0.5\n");
            MenuBarView view(*rig.state, rig.stores());
            rig.startMonitoring();
            shown << textsOf(&view);
        }
        for (OverlayType type : allOverlayTypes) {
            OverlayView overlay(type, [] {});
            shown << textsOf(&overlay) << title(type) << subtitle(type)
                  << OverlayView::dismissHint();
        }
        QCoreApplication::removeTranslator(&pseudo);

        QStringList unmarked;
        for (const QString& text : std::as_const(shown)) {
            if (!text.contains(u'⟦') && text != QLatin1String("Quorvel")) {
                unmarked << text;
            }
        }
        QVERIFY2(unmarked.isEmpty(), qPrintable("not translated: " + unmarked.join(" | ")));
        // The pickers' choices, a countdown, the camera's refusal and each overlay's message
        // were among them.
        for (const char* sample : {"⟦%1 min⟧", "⟦Next: %1⟧", "⟦Camera access denied",
                                   "⟦Calibrated⟧", "⟦Time to Stand!⟧", "⟦%1. Click anywhere"}) {
            QVERIFY2(!shown.filter(QString::fromUtf8(sample).section(u'%', 0, 0)).isEmpty(),
                     sample);
        }
    }

    // Each translation in the repository has every text the code marks, none left unfinished
    // and none the code no longer has (lupdate on the sources, into a copy, changes nothing);
    // and it is what the user's language brings up.
    void translationsAreCompleteAndLoad() {
        const QDir repository(QStringLiteral(QUORVEL_SOURCE_DIR));
        const QDir translations(repository.filePath(QStringLiteral("resources/translations")));
        const QStringList ts = translations.entryList({QStringLiteral("*.ts")}, QDir::Files);
        QVERIFY(ts.contains(QStringLiteral("quorvel_de.ts")));
        TempFolder dir;
        for (const QString& name : ts) {
            const QString copy = dir.path(name);
            QVERIFY(QFile::copy(translations.filePath(name), copy));
            QProcess lupdate;
            lupdate.setWorkingDirectory(repository.path());
            lupdate.start(QStringLiteral(QUORVEL_LUPDATE),
                          {"-silent", "-locations", "none", "src", "-ts", copy});
            QVERIFY(lupdate.waitForFinished(120000));
            QCOMPARE(lupdate.exitCode(), 0);
            QStringList problems;
            QXmlStreamReader xml(readFile(copy));
            QString source;
            while (!xml.atEnd()) {
                xml.readNext();
                if (xml.isStartElement() && xml.name() == u"source") {
                    source = xml.readElementText();
                } else if (xml.isStartElement() && xml.name() == u"translation") {
                    const QString type = xml.attributes().value(QStringLiteral("type")).toString();
                    const QString text =
                        xml.readElementText(QXmlStreamReader::IncludeChildElements);
                    if (!type.isEmpty() || text.trimmed().isEmpty()) {
                        problems << QStringLiteral("%1 (%2)").arg(source,
                                                                  type.isEmpty() ? "empty" : type);
                    }
                }
            }
            QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
            QVERIFY2(problems.isEmpty(), qPrintable(name + ": " + problems.join(" | ")));
        }

        QVERIFY(!installTranslation(QLocale(QLocale::French, QLocale::France)));
        QCOMPARE(title(OverlayType::slouch), QStringLiteral("Sit Up Straight!"));
        QVERIFY(installTranslation(QLocale(QLocale::German, QLocale::Austria)));
        QCOMPARE(title(OverlayType::slouch), QStringLiteral("Setz dich gerade hin!"));
        AppRig rig;
        MenuBarView view(*rig.state, rig.stores());
        AppRig::turn();
        QVERIFY(textsOf(&view).contains(QStringLiteral("Haltungsüberwachung")));
        QVERIFY(textsOf(&view).contains(QStringLiteral("Heute: 0 Haltungsfehler, 0 s")));
    }
};

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
