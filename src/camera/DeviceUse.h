#pragma once

#include <QString>
#include <vector>

namespace quorvel {

// Who else uses a camera's device node.
//
// A V4L2 camera streams to one program at a time, and nothing tells the program that holds it
// that another one wants it. These are the signs there are: inotify reports every open and
// close of the node, by any program of any user; /proc lists the descriptors that the user's
// own programs hold. Quorvel announces its own opens and closes of a node just before it makes
// them (OwnDeviceUse), so that a watch counts them as its own and not as another program's, and
// says when it has made them.
//
// inotify merges an event into the one before it when the two are alike and the first is not
// yet read: our close and another program's close of the same node, one after the other, would
// arrive as one close, counted as ours, and the other program would seem to hold the camera
// for ever. So every watch on the node takes the events that wait just before and just after
// each of our own opens and closes.
class OwnDeviceUse {
public:
    OwnDeviceUse() = delete;
    // Before opening `path`; openFailed() when the open then fails (a failed open makes no event).
    static void willOpen(const QString& path);
    static void openFailed(const QString& path);
    // Before closing a descriptor of `path`.
    static void willClose(const QString& path);
    // Just after the open or close of `path` announced last (whether or not it succeeded).
    static void done(const QString& path);

private:
    static void announce(const QString& path, int opens, int closes);
};

// Watches one device node (inotify) for the opens and closes of other programs.
class DeviceUseWatch {
public:
    explicit DeviceUseWatch(QString path);
    ~DeviceUseWatch();

    DeviceUseWatch(const DeviceUseWatch&) = delete;
    DeviceUseWatch& operator=(const DeviceUseWatch&) = delete;

    QString path() const { return m_path; }
    // False when the node cannot be watched (gone, or no inotify); read() then sees nothing.
    bool isValid() const { return m_fd >= 0; }
    // Readable while events wait: what the camera thread polls beside the device.
    int descriptor() const { return m_fd; }

    struct Seen {
        int opens = 0;     // by other programs
        int closes = 0;    // by other programs
        bool gone = false; // the node was removed; the watch sees nothing more
    };
    // Takes the events that wait; never blocks.
    Seen read();

private:
    friend class OwnDeviceUse;

    QString m_path;
    int m_fd = -1;
    // The node's identity, and this process's announced opens and closes not yet seen;
    // guarded by the registry's lock.
    unsigned long long m_device = 0;
    unsigned long long m_inode = 0;
    int m_ownOpens = 0;
    int m_ownCloses = 0;
    // Events taken from the watch and not yet handed out by read(); guarded by the same lock.
    int m_opens = 0;
    int m_closes = 0;
    bool m_gone = false;

    void takeEvents();
};

// Whether a process holds `path` open, as far as /proc shows the descriptors (the user's own
// processes, this one included unless it is among `exceptProcesses`; all of them for root).
bool deviceOpenInAnyProcess(const QString& path,
                            const QString& procDirectory = QStringLiteral("/proc"),
                            const std::vector<qint64>& exceptProcesses = {});
// The processes that hold `path` open, as far as /proc shows them.
std::vector<qint64> processesHoldingDevice(const QString& path,
                                           const QString& procDirectory = QStringLiteral("/proc"));

} // namespace quorvel
