#include "camera/CameraDevices.h"

#include "camera/DeviceUse.h"
#include "camera/V4L2FrameSource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <fcntl.h>
#include <linux/videodev2.h>

namespace quorvel {

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

QString fixedText(const __u8* text, std::size_t size) {
    const auto* chars = reinterpret_cast<const char*>(text);
    return QString::fromUtf8(chars, qsizetype(qstrnlen(chars, uint(size))));
}

// Fills in what the node itself tells about it.
void askDevice(CameraDevice& device, VideoDeviceCalls& calls) {
    OwnDeviceUse::willOpen(device.path);
    const int fd = calls.open(device.path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
    OwnDeviceUse::done(device.path);
    if (fd < 0) {
        OwnDeviceUse::openFailed(device.path);
        return;
    }
    v4l2_capability capability{};
    if (calls.ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
        device.capabilitiesKnown = true;
        const quint32 caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                 ? capability.device_caps
                                 : capability.capabilities;
        device.canCapture =
            (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;
        if (device.name.isEmpty()) {
            device.name = fixedText(capability.card, sizeof capability.card);
        }
        const QString driver = fixedText(capability.driver, sizeof capability.driver);
        if (driver == QLatin1String("v4l2 loopback") || driver == QLatin1String("vivid")) {
            device.attachment = CameraDevice::Attachment::software;
        }
        if (device.canCapture) {
            bool anyFormat = false;
            bool allGrey = true;
            bool anyReadable = false;
            bool rawSensor = false;
            for (quint32 index = 0; index < 64; ++index) {
                v4l2_fmtdesc format{};
                format.index = index;
                format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                if (calls.ioctl(fd, VIDIOC_ENUM_FMT, &format) == -1) {
                    break;
                }
                anyFormat = true;
                allGrey = allGrey && isGreyFormat(format.pixelformat);
                anyReadable = anyReadable || V4L2FrameSource::isReadableFormat(format.pixelformat);
                rawSensor = rawSensor || V4L2FrameSource::isRawSensorFormat(format);
            }
            device.monochromeOnly = anyFormat && allGrey;
            device.needsLibcamera = !anyReadable && (rawSensor || (caps & V4L2_CAP_IO_MC) != 0);
        }
    }
    OwnDeviceUse::willClose(device.path);
    calls.close(fd);
    OwnDeviceUse::done(device.path);
}

// Where the device behind a video node sits: the first `removable` attribute up its sysfs
// path (USB devices carry one, from the firmware's description of their port), else by bus.
CameraDevice::Attachment attachmentOf(const QString& sysfsNode) {
    using Attachment = CameraDevice::Attachment;
    QString path = QFileInfo(sysfsNode + QStringLiteral("/device")).canonicalFilePath();
    if (path.isEmpty()) {
        return Attachment::unknown;
    }
    if (path.contains(QLatin1String("/virtual/"))) {
        return Attachment::software;
    }
    const bool usb = path.contains(QLatin1String("/usb"));
    for (QDir dir(path); dir.dirName() != QLatin1String("devices") && !dir.isRoot(); dir.cdUp()) {
        QFile removable(dir.filePath(QStringLiteral("removable")));
        if (removable.open(QIODevice::ReadOnly)) {
            const QByteArray value = removable.readAll().trimmed();
            if (value == "fixed") {
                return Attachment::builtIn;
            }
            if (value == "removable") {
                return Attachment::removable;
            }
            return Attachment::unknown;
        }
    }
    return usb ? Attachment::unknown : Attachment::builtIn; // PCI or the SoC: part of the machine
}

} // namespace

std::vector<CameraDevice> listCameraDevices(const QString& deviceDirectory,
                                            const QString& sysfsDirectory,
                                            const std::shared_ptr<VideoDeviceCalls>& calls) {
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
        const QString sysfsNode = QDir(sysfsDirectory).filePath(entry);
        QFile nameFile(sysfsNode + QStringLiteral("/name"));
        if (nameFile.open(QIODevice::ReadOnly)) {
            device.name = QString::fromUtf8(nameFile.readAll()).trimmed();
        }
        device.attachment = attachmentOf(sysfsNode);
        askDevice(device, *calls); // the driver may know better: a loopback device
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
    using Attachment = CameraDevice::Attachment;
    const auto rank = [](const CameraDevice& d) -> std::optional<int> {
        if (!d.capabilitiesKnown) {
            return 7;
        }
        if (!d.canCapture) {
            return std::nullopt;
        }
        if (d.needsLibcamera) {
            return 6;
        }
        if (d.attachment == Attachment::software) {
            return 5;
        }
        if (d.monochromeOnly || nameSaysInfrared(d.name)) {
            return 4;
        }
        if (d.attachment == Attachment::builtIn) {
            return 1;
        }
        return d.attachment == Attachment::unknown && nameSaysBuiltIn(d.name) ? 2 : 3;
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
