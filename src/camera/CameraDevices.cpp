#include "camera/CameraDevices.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quorvel {

int retryingIoctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

namespace {

bool isGreyFormat(quint32 pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_Y4:
    case V4L2_PIX_FMT_Y6:
    case V4L2_PIX_FMT_Y10:
    case V4L2_PIX_FMT_Y12:
    case V4L2_PIX_FMT_Y16:
    case V4L2_PIX_FMT_Y16_BE:
    case V4L2_PIX_FMT_Y10BPACK:
        return true;
    default:
        return false;
    }
}

// Fills in what the node itself tells about it.
void askDevice(CameraDevice& device) {
    const int fd = ::open(device.path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    v4l2_capability capability{};
    if (retryingIoctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
        device.capabilitiesKnown = true;
        const quint32 caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                 ? capability.device_caps
                                 : capability.capabilities;
        device.canCapture =
            (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;
        if (device.name.isEmpty()) {
            device.name = QString::fromUtf8(
                reinterpret_cast<const char*>(capability.card),
                qstrnlen(reinterpret_cast<const char*>(capability.card), sizeof capability.card));
        }
        if (device.canCapture) {
            bool anyFormat = false;
            bool allGrey = true;
            for (quint32 index = 0; index < 64; ++index) {
                v4l2_fmtdesc format{};
                format.index = index;
                format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                if (retryingIoctl(fd, VIDIOC_ENUM_FMT, &format) == -1) {
                    break;
                }
                anyFormat = true;
                allGrey = allGrey && isGreyFormat(format.pixelformat);
            }
            device.monochromeOnly = anyFormat && allGrey;
        }
    }
    ::close(fd);
}

} // namespace

std::vector<CameraDevice> listCameraDevices(const QString& deviceDirectory,
                                            const QString& sysfsDirectory) {
    static const QRegularExpression nodeName(QStringLiteral("^video(\\d+)$"));
    std::vector<std::pair<int, QString>> nodes;
    const QStringList entries =
        QDir(deviceDirectory).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        const auto match = nodeName.match(entry);
        if (match.hasMatch()) {
            nodes.emplace_back(match.captured(1).toInt(), entry);
        }
    }
    std::sort(nodes.begin(), nodes.end());

    std::vector<CameraDevice> devices;
    for (const auto& [number, entry] : nodes) {
        CameraDevice device;
        device.path = QDir(deviceDirectory).filePath(entry);
        QFile nameFile(QDir(sysfsDirectory).filePath(entry + QStringLiteral("/name")));
        if (nameFile.open(QIODevice::ReadOnly)) {
            device.name = QString::fromUtf8(nameFile.readAll()).trimmed();
        }
        askDevice(device);
        devices.push_back(std::move(device));
    }
    return devices;
}

bool nameSaysBuiltIn(const QString& name) {
    static const QRegularExpression pattern(
        QStringLiteral("integrated|built[\\s_-]?in|internal|front"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(name).hasMatch();
}

bool nameSaysInfrared(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("\\bIR\\b|infra-?red"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern.match(name).hasMatch();
}

std::optional<CameraDevice> chooseCameraDevice(const std::vector<CameraDevice>& devices) {
    // Lower is better; nothing for devices that cannot capture at all.
    const auto rank = [](const CameraDevice& d) -> std::optional<int> {
        if (!d.capabilitiesKnown) {
            return 4;
        }
        if (!d.canCapture) {
            return std::nullopt;
        }
        if (d.monochromeOnly || nameSaysInfrared(d.name)) {
            return 3;
        }
        return nameSaysBuiltIn(d.name) ? 1 : 2;
    };
    std::optional<CameraDevice> best;
    int bestRank = 0;
    for (const CameraDevice& device : devices) {
        const auto r = rank(device);
        if (r && (!best || *r < bestRank)) {
            best = device;
            bestRank = *r;
        }
    }
    return best;
}

} // namespace quorvel
