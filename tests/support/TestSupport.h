#pragma once

#include "common/Clock.h"

#include <QDateTime>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace quorvel::test {

// A wall clock and a monotonic clock that only move when the test moves them: advance()
// moves both, as time passing does; set() and step() move the wall clock alone, as setting
// the clock (by hand, or NTP) does.
class FakeClock {
public:
    explicit FakeClock(QDateTime start = utcDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)))
        : m_now(std::make_shared<Now>(Now{std::move(start), {}})) {}

    QDateTime now() const { return m_now->wall; }
    void set(const QDateTime& t) { m_now->wall = t; }
    void step(double seconds) { m_now->wall = m_now->wall.addMSecs(qRound64(seconds * 1000.0)); }
    void advance(double seconds) {
        step(seconds);
        m_now->monotonic += std::chrono::milliseconds(qRound64(seconds * 1000.0));
    }
    Clock clock() const {
        return [now = m_now] {
            return now->wall;
        };
    }
    MonotonicClock monotonic() const {
        return [now = m_now] {
            return now->monotonic;
        };
    }

private:
    struct Now {
        QDateTime wall;
        std::chrono::milliseconds monotonic;
    };
    std::shared_ptr<Now> m_now;
};

// A fresh folder per test; `path(name)` gives a file inside it.
class TempFolder {
public:
    TempFolder();
    QString path() const { return m_dir.path(); }
    QString path(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// Reads a whole file as text ("" when it does not exist).
QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& contents);

// While it lives, no file of this process grows past `bytes`: a write past it fails (EFBIG)
// as one on a full disk does (ENOSPC), without a disk to fill.
class FileSizeLimit {
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long long m_savedSoft = 0;
    void (*m_savedHandler)(int) = nullptr;
};

// Where the committed test data lives (images, videos).
QString testDataPath(const QString& name);

} // namespace quorvel::test
