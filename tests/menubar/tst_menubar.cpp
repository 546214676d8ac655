#include "menubar/SettingsSection.h"
#include "menubar/StatusIndicator.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QTest>

using namespace quorvel;
using namespace quorvel::test;

class TestMenuBar : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void iconName() {
        QCOMPARE(StatusIndicator::iconName(PostureStatus::slouching, false), "figure.stand");
        QCOMPARE(StatusIndicator::iconName(PostureStatus::slouching, true), "figure.fall");
        QCOMPARE(StatusIndicator::iconName(PostureStatus::noPersonDetected, true), "figure.stand");
    }

    void settingsSectionBindsBothWays() {
        TempFolder dir;
        writeFile(dir.path("q.conf"), "[General]\nstandInterval=100\n");
        SettingsManager settings(dir.path("q.conf"));
        SettingsSection section(settings);

        // A stored value that matches no choice shows no choice and is not corrected.
        QCOMPARE(section.standIntervalPicker()->currentIndex(), -1);
        QCOMPARE(settings.standInterval(), 100);
        QCOMPARE(section.autoDismissPicker()->currentText(), "30s");
        QVERIFY(section.sensitivityGroup()->button(1)->isChecked());

        // Choosing "Never" stores 0; choosing "45 min" stores 2700.
        const int never = section.autoDismissPicker()->findText("Never");
        section.autoDismissPicker()->setCurrentIndex(never);
        Q_EMIT section.autoDismissPicker()->activated(never);
        QCOMPARE(settings.autoDismissTimeout(), 0);
        const int fortyFive = section.waterIntervalPicker()->findText("45 min");
        Q_EMIT section.waterIntervalPicker()->activated(fortyFive);
        QCOMPARE(settings.waterInterval(), 2700);
        section.sensitivityGroup()->button(2)->click();
        QCOMPARE(settings.sensitivity(), SlouchSensitivity::high);

        // Changes made elsewhere show up after the store's notification.
        settings.setStandInterval(1200);
        QTRY_COMPARE(section.standIntervalPicker()->currentText(), "20 min");
        QCOMPARE(section.autoDismissPicker()->count(), 4);
        QCOMPARE(section.autoDismissPicker()->itemText(3), "Never");
    }
};

QTEST_MAIN(TestMenuBar)
#include "tst_menubar.moc"
