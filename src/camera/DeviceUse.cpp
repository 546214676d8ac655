#include "camera/DeviceUse.h"

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quorvel {

namespace {

// Every live watch, so that an announcement reaches each watch on the node.
QMutex registryMutex;
std::vector<DeviceUseWatch*>& registry() {
    static std::vector<DeviceUseWatch*> watches;
    return watches;
}

bool identify(const QString& path, unsigned long long& device, unsigned long long& inode) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return false;
    }
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

} // namespace

void OwnDeviceUse::announce(const QString& path, int opens, int closes) {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!identify(path, device, inode)) {
        return;
    }
    QMutexLocker lock(&registryMutex);
    for (DeviceUseWatch* watch : registry()) {
        if (watch->m_device == device && watch->m_inode == inode) {
            watch->takeEvents(); // another program's, kept apart from ours
            watch->m_ownOpens = std::max(0, watch->m_ownOpens + opens);
            watch->m_ownCloses += closes;
        }
    }
}

void OwnDeviceUse::done(const QString& path) {
    announce(path, 0, 0);
}

void OwnDeviceUse::willOpen(const QString& path) {
    announce(path, 1, 0);
}

void OwnDeviceUse::openFailed(const QString& path) {
    announce(path, -1, 0);
}

void OwnDeviceUse::willClose(const QString& path) {
    announce(path, 0, 1);
}

DeviceUseWatch::DeviceUseWatch(QString path) : m_path(std::move(path)) {
    if (!identify(m_path, m_device, m_inode)) {
        return;
    }
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        return;
    }
    // Registered before the watch is added: an own open announced in between is counted
    // without an event to match (at worst another program's next open passes unseen), where
    // the other order would take that own open for another program's.
    {
        QMutexLocker lock(&registryMutex);
        registry().push_back(this);
    }
    if (inotify_add_watch(m_fd, QFile::encodeName(m_path).constData(),
                          IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

DeviceUseWatch::~DeviceUseWatch() {
    {
        QMutexLocker lock(&registryMutex);
        auto& watches = registry();
        watches.erase(std::remove(watches.begin(), watches.end(), this), watches.end());
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void DeviceUseWatch::takeEvents() {
    if (m_fd < 0) {
        return;
    }
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length <= 0) {
            break; // EAGAIN: nothing more waits
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            m_opens += (event->mask & IN_OPEN) != 0 ? 1 : 0;
            m_closes += (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0 ? 1 : 0;
            m_gone = m_gone || (event->mask & IN_IGNORED) != 0;
            at += ssize_t(sizeof(inotify_event)) + ssize_t(event->len);
        }
    }
}

DeviceUseWatch::Seen DeviceUseWatch::read() {
    QMutexLocker lock(&registryMutex);
    takeEvents();
    // This process's announced uses come first off the count; their order among the others'
    // does not matter.
    const int ownOpens = std::min(m_opens, m_ownOpens);
    const int ownCloses = std::min(m_closes, m_ownCloses);
    m_ownOpens -= ownOpens;
    m_ownCloses -= ownCloses;
    Seen seen{m_opens - ownOpens, m_closes - ownCloses, m_gone};
    m_opens = 0;
    m_closes = 0;
    return seen;
}

namespace {

// Calls `holder` with each process seen holding `path`, those in `skip` not looked into,
// until it returns false.
template <typename Holder>
void forEachHolder(const QString& path, const QString& procDirectory,
                   const std::vector<qint64>& skip, Holder holder) {
    struct stat node {};
    const QByteArray nodePath = QFile::encodeName(path);
    if (::stat(nodePath.constData(), &node) != 0) {
        return;
    }
    char resolved[PATH_MAX];
    const QByteArray canonical =
        ::realpath(nodePath.constData(), resolved) != nullptr ? QByteArray(resolved) : nodePath;
    const QByteArray name = canonical.mid(canonical.lastIndexOf('/') + 1);
    const auto sameNode = [&](const struct stat& other) {
        return S_ISCHR(node.st_mode) ? S_ISCHR(other.st_mode) && other.st_rdev == node.st_rdev
                                     : other.st_dev == node.st_dev && other.st_ino == node.st_ino;
    };

    DIR* proc = ::opendir(QFile::encodeName(procDirectory).constData());
    if (proc == nullptr) {
        return;
    }
    bool more = true;
    while (more) {
        const dirent* process = ::readdir(proc);
        if (process == nullptr) {
            break;
        }
        const qint64 id = QByteArray(process->d_name).toLongLong();
        if (process->d_name[0] < '0' || process->d_name[0] > '9' ||
            std::find(skip.begin(), skip.end(), id) != skip.end()) {
            continue;
        }
        const int fdDirectory =
            ::openat(dirfd(proc), (QByteArray(process->d_name) + "/fd").constData(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDirectory < 0) {
            continue; // gone, or another user's
        }
        DIR* descriptors = ::fdopendir(fdDirectory);
        if (descriptors == nullptr) {
            ::close(fdDirectory);
            continue;
        }
        bool found = false;
        while (const dirent* entry = ::readdir(descriptors)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlinkat(fdDirectory, entry->d_name, target, sizeof target);
            if (length <= 0 || target[0] != '/') {
                continue; // ".", "..", sockets, pipes
            }
            const QByteArray link(target, qsizetype(length));
            if (link == canonical) {
                found = true;
                break;
            }
            // The same node under another name (another mount namespace): only then is the
            // file itself looked at.
            struct stat other {};
            if (link.endsWith('/' + name) &&
                ::fstatat(fdDirectory, entry->d_name, &other, 0) == 0 && sameNode(other)) {
                found = true;
                break;
            }
        }
        ::closedir(descriptors);
        if (found) {
            more = holder(id);
        }
    }
    ::closedir(proc);
}

} // namespace

std::vector<qint64> processesHoldingDevice(const QString& path, const QString& procDirectory) {
    std::vector<qint64> holders;
    forEachHolder(path, procDirectory, {}, [&](qint64 process) {
        holders.push_back(process);
        return true;
    });
    return holders;
}

bool deviceOpenInAnyProcess(const QString& path, const QString& procDirectory,
                            const std::vector<qint64>& exceptProcesses) {
    bool found = false;
    forEachHolder(path, procDirectory, exceptProcesses, [&](qint64) {
        found = true;
        return false;
    });
    return found;
}

} // namespace quorvel
