#pragma once

#include <QString>
#include <optional>
#include <vector>

namespace quorvel {

// One V4L2 video node as the system describes it.
struct CameraDevice {
    QString path; // "/dev/video0"
    QString name; // the driver's name for it ("Integrated Camera: Integrated C")
    // False when the node could not be asked (no rights, not a V4L2 node); the other fields
    // below then say nothing.
    bool capabilitiesKnown = false;
    // Video capture with streaming I/O: what V4L2FrameSource needs. Metadata and output
    // nodes say false.
    bool canCapture = false;
    // Offers only grey formats: typically the infrared camera used for face login.
    bool monochromeOnly = false;
};

// The video nodes "video<N>" of `deviceDirectory`, by number, each with the name from
// `sysfsDirectory`/video<N>/name (else the driver's card name) and its capabilities as far
// as the node can be opened and asked.
std::vector<CameraDevice>
listCameraDevices(const QString& deviceDirectory = QStringLiteral("/dev"),
                  const QString& sysfsDirectory = QStringLiteral("/sys/class/video4linux"));

// Whether a device name says the camera is built into the machine.
bool nameSaysBuiltIn(const QString& name);
// Whether a device name says the camera is an infrared one.
bool nameSaysInfrared(const QString& name);

// The camera to watch through: a colour capture device whose name says it is built in, else
// the first colour capture device, else the first capture device at all (an infrared one),
// else the first node that could not be asked (opening it will report why). Nothing when
// there is no such device. Keeps the order of `devices` among equals.
std::optional<CameraDevice> chooseCameraDevice(const std::vector<CameraDevice>& devices);

// ioctl(2), tried again when a signal interrupts it.
int retryingIoctl(int fd, unsigned long request, void* argument);

} // namespace quorvel
