#pragma once

#include "camera/VideoDeviceCalls.h"

#include <QString>
#include <memory>
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
    // Offers no format Quorvel reads but raw sensor ones, or is a node of a media-controller
    // pipeline (V4L2_CAP_IO_MC) offering none it reads: a laptop camera libcamera drives.
    bool needsLibcamera = false;

    // Where the camera sits, as sysfs and the driver tell.
    enum class Attachment {
        unknown,
        builtIn,   // part of the machine: a USB port its firmware calls fixed, or on PCI
        removable, // plugged into a port that takes removable devices
        software,  // no hardware behind it (v4l2loopback, vivid)
    };
    Attachment attachment = Attachment::unknown;
};

// The video nodes "video<N>" of `deviceDirectory`, by number, each with the name from
// `sysfsDirectory`/video<N>/name (else the driver's card name), its attachment from the device
// that `sysfsDirectory`/video<N>/device leads to, and its capabilities as far as the node can
// be opened and asked, through `calls` as the capture asks it (so libv4l2's plugins, such as
// the one that serves multi-planar devices, answer here too).
std::vector<CameraDevice>
listCameraDevices(const QString& deviceDirectory = QStringLiteral("/dev"),
                  const QString& sysfsDirectory = QStringLiteral("/sys/class/video4linux"),
                  const std::shared_ptr<VideoDeviceCalls>& calls = systemVideoDeviceCalls());

// Whether a device name says the camera is built into the machine.
bool nameSaysBuiltIn(const QString& name);
// Whether a device name says the camera is an infrared one.
bool nameSaysInfrared(const QString& name);

// The camera to watch through: a colour capture camera built into the machine (as sysfs says,
// else as its name says when sysfs does not tell), else another colour capture camera, else
// an infrared one, else one made of software, else one that needs libcamera (opening it will
// say so), else the first node that could not be asked (opening it will report why). Nothing
// when there is no such device. Keeps the order of `devices` among equals.
std::optional<CameraDevice> chooseCameraDevice(const std::vector<CameraDevice>& devices);

} // namespace quorvel
