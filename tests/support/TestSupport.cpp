#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>
#include <stdexcept>
#include <sys/resource.h>

namespace quorvel::test {

FileSizeLimit::FileSizeLimit(qint64 bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    m_savedSoft = limit.rlim_cur;
    // Past the limit the kernel also sends SIGXFSZ, which would end the process.
    m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(m_savedSoft);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, m_savedHandler);
}

TempFolder::TempFolder() {
    if (!m_dir.isValid()) {
        throw std::runtime_error("cannot create a temporary folder");
    }
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(contents) != contents.size()) {
        throw std::runtime_error("cannot write " + path.toStdString());
    }
}

QString testDataPath(const QString& name) {
    return QStringLiteral(QUORVEL_TEST_DATA_DIR "/") + name;
}

} // namespace quorvel::test
