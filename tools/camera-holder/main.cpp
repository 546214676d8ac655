// quorvel-camera-holder: another program that wants the camera, as a video call does.
//
//   quorvel-camera-holder NODE [--seconds N] [--list-first] [--stream]
//
// Opens NODE (a /dev/video node, or the recording that QUORVEL_CAMERA_SOURCE plays, which
// stands in for one), holds it N seconds (default 5) and closes it. With --list-first it first
// opens and closes the node once and waits a second, as browsers list a camera's formats
// before they stream. With --stream it also takes the right to stream, as a program that sets
// the format does: on a device by setting its current format again (EBUSY while another
// program streams), on a recording by an exclusive lock of the file (what the recorded camera
// answers EBUSY for); it waits up to 5 seconds for that right.
//
// Prints one line per step, each with the time (seconds since the epoch, as `date +%s.%N`):
// "listed T", "opened T", "streaming T", "closed T". Exits 1 when NODE cannot be opened or the
// right to stream does not come.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

void say(const char* what) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::printf("%s %lld.%09ld\n", what, static_cast<long long>(now.tv_sec), now.tv_nsec);
    std::fflush(stdout);
}

int openNode(const char* path, bool device) {
    return ::open(path, (device ? O_RDWR : O_RDONLY) | O_CLOEXEC);
}

// The right to stream: what a second program is refused while another one streams.
bool claimStream(int fd, bool device) {
    if (!device) {
        return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return ::ioctl(fd, VIDIOC_G_FMT, &format) == 0 && ::ioctl(fd, VIDIOC_S_FMT, &format) == 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: quorvel-camera-holder NODE [--seconds N] [--list-first] [--stream]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const char* node = nullptr;
    double seconds = 5;
    bool listFirst = false;
    bool stream = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            char* end = nullptr;
            seconds = std::strtod(argv[++i], &end);
            if (*end != '\0' || seconds < 0) {
                return usage();
            }
        } else if (arg == "--list-first") {
            listFirst = true;
        } else if (arg == "--stream") {
            stream = true;
        } else if (node == nullptr && arg.rfind("--", 0) != 0) {
            node = argv[i];
        } else {
            return usage();
        }
    }
    if (node == nullptr) {
        return usage();
    }
    struct stat info {};
    const bool device = ::stat(node, &info) == 0 && S_ISCHR(info.st_mode);

    if (listFirst) {
        const int fd = openNode(node, device);
        if (fd < 0) {
            std::fprintf(stderr, "quorvel-camera-holder: %s: %s\n", node, std::strerror(errno));
            return 1;
        }
        v4l2_fmtdesc format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        while (device && ::ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0) {
            ++format.index;
        }
        ::close(fd);
        say("listed");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }

    const int fd = openNode(node, device);
    if (fd < 0) {
        std::fprintf(stderr, "quorvel-camera-holder: %s: %s\n", node, std::strerror(errno));
        return 1;
    }
    say("opened");
    if (stream) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!claimStream(fd, device)) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "quorvel-camera-holder: %s stays busy: %s\n", node,
                             std::strerror(errno));
                ::close(fd);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        say("streaming");
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    ::close(fd);
    say("closed");
    return 0;
}
