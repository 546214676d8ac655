#include "camera/VideoDeviceCalls.h"

#include <cerrno>
#include <fcntl.h>
#include <libv4l2.h>
#include <unistd.h>

namespace quorvel {

namespace {

class LibV4l2Calls final : public VideoDeviceCalls {
public:
    int open(const char* path, int flags) override {
        const int fd = ::open(path, flags | O_CLOEXEC);
        if (fd < 0) {
            return fd;
        }
        // Without conversion libv4l2 hands the driver's buffers through untouched, also for
        // sensors it would otherwise flip frame by frame.
        if (v4l2_fd_open(fd, V4L2_DISABLE_CONVERSION) < 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        return fd;
    }
    int close(int fd) override { return v4l2_close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        int result = 0;
        do {
            result = v4l2_ioctl(fd, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }
    void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) override {
        return v4l2_mmap(nullptr, length, prot, flags, fd, offset);
    }
    int munmap(void* address, std::size_t length) override { return v4l2_munmap(address, length); }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }
};

} // namespace

std::shared_ptr<VideoDeviceCalls> systemVideoDeviceCalls() {
    static const auto calls = std::make_shared<LibV4l2Calls>();
    return calls;
}

} // namespace quorvel
