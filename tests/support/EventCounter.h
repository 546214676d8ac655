#pragma once

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace quorvel::test {

// Counts the events of one type that `root` and the widgets inside it receive.
struct EventCounter : QObject {
    QWidget* root;
    QEvent::Type type;
    int count = 0;
    EventCounter(QWidget* watched, QEvent::Type counted) : root(watched), type(counted) {
        qApp->installEventFilter(this);
    }
    ~EventCounter() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(object);
        if (event->type() == type && widget && (widget == root || root->isAncestorOf(widget))) {
            ++count;
        }
        return false;
    }
};

} // namespace quorvel::test
