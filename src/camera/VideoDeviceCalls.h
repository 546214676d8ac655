#pragma once

#include <cstddef>
#include <memory>
#include <poll.h>
#include <sys/types.h>

namespace quorvel {

// The system calls that capture from a V4L2 node needs, one to one. Each answers as the
// system call does: -1 (MAP_FAILED for mmap) with errno set on failure.
//
// The real ones go through libv4l2, which lets vendor plugins stand between the program and
// odd devices; a stand-in camera (a recording played back, a test script) implements them
// without any device.
class VideoDeviceCalls {
public:
    virtual ~VideoDeviceCalls() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
};

// The system's calls, through libv4l2 with its own format conversion switched off (frames
// are converted only when they are passed on, see V4L2FrameSource).
std::shared_ptr<VideoDeviceCalls> systemVideoDeviceCalls();

} // namespace quorvel
