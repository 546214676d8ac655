#pragma once

#include <opencv2/core/mat.hpp>

namespace quorvel {

class CameraManager;

// Receives the frames a CameraManager passes on (one in CameraManager::processEveryNthFrame).
class CameraFrameDelegate {
public:
    virtual ~CameraFrameDelegate() = default;

    // Called on the camera thread, synchronously: while it runs no further frame is grabbed.
    // `frame` is 8-bit BGR and the delegate's to keep. It must not wait for the main thread
    // (the main thread may be waiting for this call to end when it releases the manager).
    virtual void cameraManager(CameraManager& manager, const cv::Mat& frame) = 0;
};

} // namespace quorvel
