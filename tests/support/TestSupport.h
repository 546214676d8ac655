#pragma once

#include "common/Clock.h"

#include <QDateTime>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace quorvel::test {

// A clock that only moves when the test moves it.
class FakeClock {
public:
    explicit FakeClock(QDateTime start = utcDateTime(QDate(2024, 3, 5), QTime(14, 7, 9)))
        : m_now(std::make_shared<QDateTime>(std::move(start))) {}

    QDateTime now() const { return *m_now; }
    void set(const QDateTime& t) { *m_now = t; }
    void advance(double seconds) { *m_now = m_now->addMSecs(qRound64(seconds * 1000.0)); }
    Clock clock() const {
        return [now = m_now] {
            return *now;
        };
    }

private:
    std::shared_ptr<QDateTime> m_now;
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
