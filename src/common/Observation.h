#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <utility>

namespace quorvel {

// "The current value now, then every change", both delivered on a later turn of the
// receiver's event loop (never inside the assignment that caused them).
//
//     subscribeQueued(&settings, &SettingsManager::standIntervalChanged,
//                     settings.standInterval(), this, [this](qint64 v) { ... });
//
// The subscription dies with `context`.
template <typename Sender, typename Value, typename Current, typename Func>
QMetaObject::Connection subscribeQueued(Sender* sender, void (Sender::*signal)(Value),
                                        Current&& current, QObject* context, Func func) {
    QMetaObject::invokeMethod(
        context, [func, value = std::forward<Current>(current)]() mutable { func(value); },
        Qt::QueuedConnection);
    return QObject::connect(sender, signal, context, std::move(func), Qt::QueuedConnection);
}

// Only the values assigned after subscribing, delivered synchronously during the assignment.
template <typename Sender, typename Value, typename Func>
QMetaObject::Connection subscribeDirect(Sender* sender, void (Sender::*signal)(Value),
                                        QObject* context, Func func) {
    return QObject::connect(sender, signal, context, std::move(func), Qt::DirectConnection);
}

} // namespace quorvel
