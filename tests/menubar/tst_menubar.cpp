#include "common/Accessibility.h"
#include "menubar/MenuBarView.h"
#include "menubar/SettingsSection.h"
#include "menubar/ToggleRow.h"
#include "overlay/OverlayType.h"
#include "reminders/ReminderManager.h"
#include "support/AppRig.h"
#include "support/Contrast.h"
#include "support/EventCounter.h"
#include "support/LocalHttpServer.h"
#include "support/TestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <functional>

using namespace quorvel;
using namespace quorvel::test;
using namespace std::chrono_literals;

namespace {

// A panel on an AppRig's state; settle() lets it redraw after the state's notifications.
struct Panel {
    AppRig& rig;
    MenuBarView view{*rig.state, rig.stores()};
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

// Every accessible object under `iface`, depth first.
void walk(QAccessibleInterface* iface, const std::function<void(QAccessibleInterface*)>& visit) {
    visit(iface);
    for (int i = 0; i < iface->childCount(); ++i) {
        walk(iface->child(i), visit);
    }
}

// What a screen reader says of a control: role, name, value or state, description.
QString spoken(QAccessibleInterface* iface) {
    QString text = QString::number(iface->role(), 16) + " " + iface->text(QAccessible::Name);
    if (!iface->text(QAccessible::Value).isEmpty()) {
        text += " = " + iface->text(QAccessible::Value);
    }
    if (iface->state().checkable) {
        text += iface->state().checked ? " on" : " off";
    }
    if (!iface->text(QAccessible::Description).isEmpty()) {
        text += " (" + iface->text(QAccessible::Description) + ")";
    }
    return text;
}

} // namespace

class TestMenuBar : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsSectionBindsBothWays() {
        TempFolder dir;
        writeFile(dir.path("q.conf"), "[General]\nstandInterval=100\n");
        SettingsManager settings(dir.path("q.conf"));
        SettingsSection section(settings, {{OverlayType::stand, &SettingsManager::standInterval,
                                            &SettingsManager::setStandInterval}});

        // A stored value that matches no choice is shown as it is, as a choice of its own at
        // the end, and is not corrected; it goes once another is stored.
        QComboBox* stand = section.intervalPicker(OverlayType::stand);
        QCOMPARE(stand->currentText(), "100 s");
        QCOMPARE(stand->count(), int(allReminderIntervals.size()) + 1);
        QCOMPARE(settings.standInterval(), 100);

        // Choosing "Never" stores 0.
        Q_EMIT section.autoDismissPicker()->activated(
            section.autoDismissPicker()->findText("Never"));
        QCOMPARE(settings.autoDismissTimeout(), 0);

        // Changes made elsewhere show up after the store's notification.
        settings.setStandInterval(1200);
        QTRY_COMPARE(stand->currentText(), "20 min");
        QCOMPARE(stand->count(), int(allReminderIntervals.size()));
        settings.setStandInterval(5400);
        QTRY_COMPARE(stand->currentText(), "90 min");
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

    // The countdown lines move on the reminders' own tick while the panel is on screen, and
    // catch up when it comes back: the panel wakes the app no more often than they do.
    void countdownsMoveWithTheReminders() {
        AppRig rig("[General]\nstandReminderEnabled=true\nwaterReminderEnabled=true\n");
        MenuBarView view(*rig.state, rig.stores());
        view.show();
        const auto lines = [&] {
            return view.standCountdown()->text() + " " + view.waterCountdown()->text();
        };
        const auto second = [&] {
            rig.timers.advance(1s);
            AppRig::turn();
        };
        QCOMPARE(lines(), "Next: 30:00 Next: 45:00");
        AppRig::turn();
        // A tick repaints the two lines and lays out nothing; a hidden panel it leaves alone.
        EventCounter layouts(&view, QEvent::LayoutRequest), paints(&view, QEvent::Paint);
        second();
        QCOMPARE(lines(), "Next: 29:59 Next: 44:59");
        QCOMPARE(layouts.count, 0);
        QVERIFY(paints.count > 0);
        view.hide();
        AppRig::turn();
        paints.count = layouts.count = 0;
        second();
        QCOMPARE(lines(), "Next: 29:59 Next: 44:59");
        QCOMPARE(paints.count + layouts.count, 0);
        view.show();
        QCOMPARE(lines(), "Next: 29:58 Next: 44:58");
    }

    // Every break kind of the reminders' list has its own switch, countdown and looks in the
    // panel, and its switch stores its choice and runs its countdown.
    void everyBreakKindHasItsRow() {
        AppRig rig;
        MenuBarView view(*rig.state, rig.stores());
        view.show();
        QSet<QString> texts;
        for (const ReminderKind* kind : breakReminderKinds()) {
            const OverlayType type = kind->overlay;
            QVERIFY(view.reminderToggle(type) && view.reminderCountdown(type));
            QVERIFY(!view.reminderCountdown(type)->isVisible());
            texts << switchTitle(type) << title(type) << subtitle(type) << intervalTitle(type);
            QVERIFY(QFile::exists(iconResourcePath(iconName(type))));
            view.reminderToggle(type)->click();
            AppRig::turn();
            QVERIFY((rig.settings.get()->*kind->enabled)());
            QVERIFY(rig.reminders->reminder(*kind).isRunning());
            QVERIFY(view.reminderCountdown(type)->isVisible());
            QVERIFY(view.reminderCountdown(type)->text().endsWith(
                rig.reminders->reminder(*kind).formattedTimeRemaining()));
            // Its interval's picker, titled for it, sets the kind's own setting.
            QComboBox* picker = view.intervalPicker(type);
            QVERIFY(picker && picker->accessibleName() == intervalTitle(type));
            const int last = picker->count() - 1;
            Q_EMIT picker->activated(last);
            QCOMPARE((rig.settings.get()->*kind->interval)(), picker->itemData(last).toLongLong());
        }
        QCOMPARE(texts.size(), 4 * int(breakReminderKinds().size())); // each its own
        QCOMPARE(rig.state->breakKinds().size(), int(breakReminderKinds().size()));
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
        QSignalSpy checks(rig.updates, &UpdateChecker::checkFinished);
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
            rig.updates->performCheck();
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

    void screenReadersHearEveryControl() {
        AppRig rig;
        Panel panel{rig};
        MenuBarView& view = panel.view;
        view.standToggle()->click();
        panel.settle();
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        // Every control a user can reach has a name and a role, and says its value or state.
        QStringList controls;
        walk(QAccessible::queryAccessibleInterface(&view), [&](QAccessibleInterface* iface) {
            const QAccessible::State state = iface->state();
            // (The choices of a closed picker are its list's items.)
            if (state.focusable && !state.invisible && iface->role() != QAccessible::ListItem) {
                QVERIFY2(!iface->text(QAccessible::Name).isEmpty(), qPrintable(spoken(iface)));
                controls << spoken(iface);
            }
        });
        const QString checkBox = QString::number(QAccessible::CheckBox, 16);
        const QString radio = QString::number(QAccessible::RadioButton, 16);
        const QString combo = QString::number(QAccessible::ComboBox, 16);
        const QString button = QString::number(QAccessible::Button, 16);
        QCOMPARE(controls, (QStringList{
                               checkBox + " Posture Monitoring off",
                               checkBox + " Stand Reminders on (Next: 30:00)",
                               checkBox + " Water Reminders off",
                               radio + " Week on",
                               radio + " Month off",
                               radio + " Low off",
                               radio + " Medium on",
                               radio + " High off",
                               combo + " Stand Interval = 30 min",
                               combo + " Water Interval = 45 min",
                               combo + " Auto-dismiss = 30s",
                               button + " Test Overlay",
                               button + " Quit",
                           }));
        // A picker answers as text too, with its choice (what Orca reads on Tab).
        for (QComboBox* box : view.findChild<SettingsSection*>()->findChildren<QComboBox*>()) {
            QAccessibleTextInterface* asText =
                QAccessible::queryAccessibleInterface(box)->textInterface();
            QVERIFY(asText);
            QCOMPARE(asText->text(0, asText->characterCount()), box->currentText());
        }
        // The segments sit in named groups.
        auto* sensitivity =
            QAccessible::queryAccessibleInterface(
                view.findChild<SettingsSection*>()->sensitivityGroup()->buttons().first())
                ->parent();
        QCOMPARE(sensitivity->role(), QAccessible::Grouping);
        QCOMPARE(sensitivity->text(QAccessible::Name), "Sensitivity");

        // The countdown is read when asked: screen readers hear of a new minute only.
        QList<QPair<QObject*, QAccessible::Event>> told;
        a11y::setObserver([&](QObject* o, QAccessible::Event e) { told.append({o, e}); });
        for (int second = 0; second < 60; ++second) {
            rig.timers.advance(1s);
            view.refresh();
        }
        QCOMPARE(view.standCountdown()->text(), "Next: 29:00");
        a11y::setObserver({});
        QCOMPARE(told.count({view.standCountdown(), QAccessible::NameChanged}), 1);
        QCOMPARE(
            QAccessible::queryAccessibleInterface(view.standCountdown())->text(QAccessible::Name),
            "Next: 29:00");

        // A camera that cannot be opened is told with the switch.
        rig.cameras->setRefuseOpen(true);
        view.monitoringToggle()->click();
        rig.answer(true);
        QTRY_VERIFY(panel.shows(view.cameraErrorRow()));
        QCOMPARE(QAccessible::queryAccessibleInterface(view.monitoringToggle()->toggle())
                     ->text(QAccessible::Description),
                 view.cameraErrorLabel()->text());
        // ...and read out as it appears: a notification that became visible.
        QAccessibleInterface* problem =
            QAccessible::queryAccessibleInterface(view.cameraErrorRow());
        QCOMPARE(problem->role(), QAccessible::Notification);
        // Its message once, as a label inside it (braille shows labels that do not repeat
        // the notification's name).
        QStringList inside;
        for (int i = 0; i < problem->childCount(); ++i) {
            inside << problem->child(i)->text(QAccessible::Name);
        }
        QCOMPARE(inside.count(view.cameraErrorLabel()->text()), 1);
        QVERIFY(!problem->text(QAccessible::Name).contains(view.cameraErrorLabel()->text()));
        // The dividers are separators, not frames.
        for (QFrame* frame : view.findChildren<QFrame*>()) {
            if (frame->frameShape() == QFrame::HLine) {
                QCOMPARE(QAccessible::queryAccessibleInterface(frame)->role(),
                         QAccessible::Separator);
            }
        }
    }

    void keyboardUsersSeeAndMoveTheFocus() {
        AppRig rig;
        Panel panel{rig};
        MenuBarView& view = panel.view;
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));

        // Enter presses buttons and switches, as Space does.
        QSignalSpy quit(&view, &MenuBarView::quitRequested);
        view.quitButton()->setFocus();
        QTest::keyClick(view.quitButton(), Qt::Key_Return);
        QCOMPARE(quit.count(), 1);
        view.waterToggle()->toggle()->setFocus();
        QTest::keyClick(view.waterToggle()->toggle(), Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(rig.settings->waterReminderEnabled());

        // A segment group is one Tab stop, at the chosen segment; arrows choose.
        QButtonGroup* group = view.findChild<SettingsSection*>()->sensitivityGroup();
        auto tabStops = [&] {
            QStringList stops;
            for (QAbstractButton* b : group->buttons()) {
                if (b->focusPolicy() & Qt::TabFocus) {
                    stops << b->text();
                }
            }
            return stops;
        };
        QCOMPARE(tabStops(), QStringList{"Medium"});
        group->button(1)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(group->button(1), Qt::Key_Right);
        panel.settle();
        QCOMPARE(rig.settings->sensitivity(), SlouchSensitivity::high);
        QVERIFY(group->button(2)->hasFocus());
        QCOMPARE(tabStops(), QStringList{"High"});
        QTest::keyClick(group->button(2), Qt::Key_Home);
        QCOMPARE(rig.settings->sensitivity(), SlouchSensitivity::low);
    }

    // In light and dark themes every text and the chart's day labels stand out from the
    // window, unselected segments have the window's colour, and the focus shows on segments
    // and on a switch that is on, as a ring that stands out from the switch's blue track.
    void everyColourFollowsAThemeChange() {
        AppRig rig;
        Panel panel{rig};
        MenuBarView& view = panel.view;
        view.waterToggle()->click();
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        auto* chart = view.findChild<QWidget*>(QStringLiteral("chart"));
        QButtonGroup* group = view.findChild<SettingsSection*>()->sensitivityGroup();
        QAbstractButton* on = view.waterToggle()->toggle();
        const QPalette original = QApplication::palette();
        for (const auto& [window, blue] : {std::pair{QColor(0xffffff), QColor(0x308cc6)},
                                           std::pair{QColor(0x1e1e1e), QColor(0x2a82da)}}) {
            QPalette palette(window, window);
            palette.setColor(QPalette::Highlight, blue);
            QApplication::setPalette(palette);
            panel.settle();
            // How far a colour painted over the window stands out from it (0 to 255).
            auto contrast = [&](const QColor& paint) {
                return qAbs(qGray(paint.rgb()) - qGray(window.rgb())) * paint.alphaF();
            };
            for (const QLabel* label : view.findChildren<QLabel*>()) {
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
            for (QToolButton* segment : view.findChildren<QToolButton*>()) {
                const QImage face = segment->grab().toImage();
                QVERIFY(segment->isChecked() ||
                        contrast(face.pixelColor(face.width() / 2, 2)) < 40);
            }
            for (QAbstractButton* control : {group->button(0), group->button(1), on}) {
                control->clearFocus();
                const QImage before = control->grab().toImage();
                control->setFocus();
                const QImage after = control->grab().toImage();
                QVERIFY2(before != after, qPrintable(control->text()));
            }
            const QImage ring = on->grab().toImage();
            const QColor top = ring.pixelColor(ring.width() / 2, 1);
            QVERIFY2(contrastRatio(top, on->palette().color(QPalette::Highlight)) >= 3.0 &&
                         contrastRatio(top, window) >= 3.0,
                     qPrintable(top.name()));
            on->clearFocus();
        }
        QApplication::setPalette(original);
    }
};

QTEST_MAIN(TestMenuBar)
#include "tst_menubar.moc"
