#include "menubar/MenuBarView.h"
#include "menubar/SettingsSection.h"
#include "menubar/StatusIndicator.h"
#include "menubar/ToggleRow.h"
#include "support/AppRig.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

// A panel on an AppRig's state; settle() lets it redraw after the state's notifications.
struct Panel {
    AppRig& rig;
    MenuBarView view{*rig.state};
    bool shows(const QWidget* part) const { return part->isVisibleTo(&view); }
    void settle() { AppRig::turn(); }
};

// The update service's answer announcing 9.9.9, with or without release notes.
QByteArray updateReply(const char* notes) {
    return QByteArray(
               R"({"app_identifier": "com.quorvel.app", "current_version": "9.9.9",)"
               R"( "download_url": "https://example.com/quorvel.tar.gz", "release_notes": )") +
           notes + "}";
}

} // namespace

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
    }

    void postureRowsAndStatusFollowMonitoring() {
        AppRig rig;
        Panel panel{rig};
        MenuBarView& view = panel.view;
        auto rows = [&] {
            return QList<bool>{panel.shows(view.calibrateButton()),
                               panel.shows(view.calibratedRow()),
                               panel.shows(view.cameraErrorRow())};
        };
        auto status = [&] {
            panel.settle();
            return view.statusTextLabel()->text() + " " + view.statusIconName();
        };
        QCOMPARE(status(), "Not monitoring figure.stand");
        QCOMPARE(rows(), (QList<bool>{false, false, false}));

        // Refused: the message is held, but monitoring is off, so no row shows it.
        view.monitoringToggle()->click();
        rig.answer(false);
        panel.settle();
        QVERIFY(rig.state->cameraError() && !view.monitoringToggle()->isChecked());
        QCOMPARE(rows(), (QList<bool>{false, false, false}));

        // Granted, no baseline: "Calibrate Posture"; once calibrated: "Calibrated".
        view.monitoringToggle()->click();
        rig.answer(true);
        panel.settle();
        QVERIFY(view.monitoringToggle()->isChecked());
        QCOMPARE(rows(), (QList<bool>{true, false, false}));
        view.calibrateButton()->click();
        QCOMPARE(status(), "Calibrating figure.stand");
        for (int i = 0; i < PostureAnalyzer::calibrationFrameCount; ++i) {
            rig.frame(upright());
        }
        QCOMPARE(status(), "Good figure.stand");
        QCOMPARE(rows(), (QList<bool>{false, true, false}));
        rig.frame(nobody());
        QCOMPARE(status(), "No person detected figure.stand");
        rig.frame(slouched());
        QCOMPARE(status(), "Slouching figure.fall");

        // A camera error shows while monitoring, and goes with it.
        view.monitoringToggle()->click();
        QCOMPARE(status(), "Not monitoring figure.stand");
        rig.cameras->setRefuseOpen(true);
        view.monitoringToggle()->click();
        rig.answer(true);
        QTRY_VERIFY(panel.shows(view.cameraErrorRow()));
        QCOMPARE(view.cameraErrorLabel()->text(), "Camera input error: Device or resource busy");
        view.monitoringToggle()->click();
        panel.settle();
        QCOMPARE(rows(), (QList<bool>{false, false, false}));
    }

    void countdownLinesForEnabledRemindersOnly() {
        AppRig rig;
        Panel panel{rig};
        MenuBarView& view = panel.view;
        QVERIFY(!panel.shows(view.standCountdown()) && !panel.shows(view.waterCountdown()));
        view.waterToggle()->click();
        panel.settle();
        QVERIFY(!panel.shows(view.standCountdown()) && panel.shows(view.waterCountdown()));
        QCOMPARE(view.waterCountdown()->text(), "Next: 45:00");
        rig.timers.advance(61s);
        view.refresh();
        QCOMPARE(view.waterCountdown()->text(), "Next: 43:59");
        view.standToggle()->click();
        panel.settle();
        QCOMPARE(view.standCountdown()->text(), "Next: 30:00");
        view.waterToggle()->click();
        panel.settle();
        QVERIFY(panel.shows(view.standCountdown()) && !panel.shows(view.waterCountdown()));
    }

    void updateBlockWithAndWithoutNotes() {
        LocalHttpServer server;
        for (const char* notes : {"\"Faster start-up.\"", "null"}) {
            server.setResponse(HttpResponse::json(updateReply(notes)));
            AppRig rig({}, false);
            rig.launch([&](AppStateEnvironment& env) {
                env.updates.baseURL = server.baseURL();
                env.updates.runningVersion = QStringLiteral("1.0.0");
            });
            Panel panel{rig};
            QVERIFY(!panel.shows(panel.view.updateSection()));
            QTRY_VERIFY(panel.shows(panel.view.updateSection()));
            QCOMPARE(panel.view.updateTitle()->text(), "Update Available: v9.9.9");
            QVERIFY(panel.shows(panel.view.downloadButton()));
            const bool withNotes = QByteArray(notes) != "null";
            QCOMPARE(panel.shows(panel.view.releaseNotes()), withNotes);
            if (withNotes) {
                QCOMPARE(panel.view.releaseNotes()->text(), "Faster start-up.");
            }
        }
        QCOMPARE(server.requests().size(), 2);
    }
};

QTEST_MAIN(TestMenuBar)
#include "tst_menubar.moc"
