#include "menubar/MenuBarView.h"
#include "menubar/SettingsSection.h"
#include "menubar/ToggleRow.h"
#include "support/AppRig.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

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
QByteArray updateReply(const QByteArray& notes) {
    return QByteArray(
               R"({"app_identifier": "com.quorvel.app", "current_version": "9.9.9",)"
               R"( "download_url": "https://example.com/quorvel.tar.gz", "release_notes": )") +
           notes + "}";
}

} // namespace

class TestMenuBar : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsSectionBindsBothWays() {
        TempFolder dir;
        writeFile(dir.path("q.conf"), "[General]\nstandInterval=100\n");
        SettingsManager settings(dir.path("q.conf"));
        SettingsSection section(settings);

        // A stored value that matches no choice shows no choice and is not corrected.
        QCOMPARE(section.standIntervalPicker()->currentIndex(), -1);
        QCOMPARE(settings.standInterval(), 100);

        // Choosing "Never" stores 0.
        Q_EMIT section.autoDismissPicker()->activated(
            section.autoDismissPicker()->findText("Never"));
        QCOMPARE(settings.autoDismissTimeout(), 0);

        // Changes made elsewhere show up after the store's notification.
        settings.setStandInterval(1200);
        QTRY_COMPARE(section.standIntervalPicker()->currentText(), "20 min");
    }

    void rowsFollowTheState() {
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
        QCOMPARE(rows(), (QList<bool>{true, false, false}));
        view.calibrateButton()->click();
        QCOMPARE(status(), "Calibrating figure.stand");
        for (int i = 0; i < PostureAnalyzer::calibrationFrameCount; ++i) {
            rig.frame(upright());
        }
        QCOMPARE(status(), "Good figure.stand");
        QCOMPARE(rows(), (QList<bool>{false, true, false}));
        rig.frame(slouched());
        QCOMPARE(status(), "Slouching figure.fall");

        // A camera error shows while monitoring, and goes with it.
        view.monitoringToggle()->click();
        rig.cameras->setRefuseOpen(true);
        view.monitoringToggle()->click();
        rig.answer(true);
        QTRY_VERIFY(panel.shows(view.cameraErrorRow()));
        view.monitoringToggle()->click();
        panel.settle();
        QCOMPARE(rows(), (QList<bool>{false, false, false}));

        // A countdown line for each enabled reminder only.
        view.waterToggle()->click();
        panel.settle();
        QVERIFY(!panel.shows(view.standCountdown()) && panel.shows(view.waterCountdown()));
        rig.timers.advance(61s);
        view.refresh();
        QCOMPARE(view.waterCountdown()->text(), "Next: 43:59");
    }

    void updateBlockShowsTwoPlainLinesOfNotes() {
        LocalHttpServer server;
        server.setResponse(HttpResponse::json(updateReply("null")));
        AppRig rig({}, false);
        rig.launch([&](AppStateEnvironment& env) {
            env.updates.baseURL = server.baseURL();
            env.updates.runningVersion = QStringLiteral("1.0.0");
        });
        Panel panel{rig};
        MenuBarView& view = panel.view;
        QLabel* notes = view.releaseNotes();
        QSignalSpy checks(&rig.state->updateChecker(), &UpdateChecker::checkFinished);
        QVERIFY(!panel.shows(view.updateSection()));
        auto check = [&](qsizetype count) {
            QTRY_COMPARE_WITH_TIMEOUT(checks.size(), count, 30000);
            panel.settle();
        };
        check(1);
        QCOMPARE(view.updateTitle()->text(), "Update Available: v9.9.9");
        QVERIFY(panel.shows(view.downloadButton()) && !panel.shows(notes));
        QCOMPARE(view.releaseNotesLayouts(), 1);

        // Notes from the network, far more than two lines: markup shows as typed, the two
        // lines keep the words apart and fit the panel. They are laid out once per change.
        QStringList words{"<b>Bold</b>", "&amp;"};
        for (int i = 0; words.size() < 60; ++i) {
            words.append(QString::number(i * 7919));
        }
        const QList<int> layouts{2, 2, 3}; // the second answer repeats the first
        for (int round = 0; round < 3; ++round) {
            if (round == 2) {
                for (qsizetype size = 0; size < 48 * 1024; size += words.last().size() + 1) {
                    words.append(QString::number(words.size()));
                }
            }
            server.setResponse(
                HttpResponse::json(updateReply('"' + words.join(' ').toUtf8() + '"')));
            rig.state->updateChecker().performCheck();
            check(round + 2);
            view.refresh();
            QCOMPARE(view.releaseNotesLayouts(), layouts[round]);
            QVERIFY(notes->textFormat() == Qt::PlainText &&
                    view.updateTitle()->textFormat() == Qt::PlainText);
            QVERIFY(notes->heightForWidth(notes->width()) <=
                    2 * notes->fontMetrics().lineSpacing());
            QStringList shown = notes->text().split(QRegularExpression("\\s"));
            QVERIFY(shown.size() > 4 && shown.takeLast().endsWith(QChar(0x2026)));
            QCOMPARE(shown, words.mid(0, shown.size()));
        }
    }

    void everyColourFollowsAThemeChange() {
        AppRig rig;
        Panel panel{rig};
        panel.view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel.view));
        auto* chart = panel.view.findChild<QWidget*>(QStringLiteral("chart"));
        const QPalette original = QApplication::palette();
        for (const QColor window : {QColor(0xffffff), QColor(0x1e1e1e)}) {
            QApplication::setPalette(QPalette(window, window));
            panel.settle();
            // How far a colour painted over the window stands out from it (0 to 255).
            auto contrast = [&](const QColor& paint) {
                return qAbs(qGray(paint.rgb()) - qGray(window.rgb())) * paint.alphaF();
            };
            for (const QLabel* label : panel.view.findChildren<QLabel*>()) {
                QVERIFY2(label->text().isEmpty() ||
                             contrast(label->palette().color(QPalette::WindowText)) > 80,
                         qPrintable(label->text()));
            }
            // The chart's day labels, on its bottom line.
            const QImage image = chart->grab().toImage();
            float best = 0;
            for (int at = 0; at < image.width() * 12; ++at) {
                best = std::max(
                    best, contrast(image.pixelColor(at % image.width(),
                                                    image.height() - 1 - at / image.width())));
            }
            QVERIFY(best > 80);
            // Unselected segments of the switches have the window's colour.
            for (QToolButton* segment : panel.view.findChildren<QToolButton*>()) {
                const QImage face = segment->grab().toImage();
                QVERIFY(segment->isChecked() ||
                        contrast(face.pixelColor(face.width() / 2, 2)) < 40);
            }
        }
        QApplication::setPalette(original);
    }
};

QTEST_MAIN(TestMenuBar)
#include "tst_menubar.moc"
