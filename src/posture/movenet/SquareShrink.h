#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace quorvel::movenet {

// Shrinks a camera frame to the network's square input: the frame centred on a black square
// of side max(width, height), and that square averaged down to size x size the way
// cv::resize's INTER_AREA does (each output pixel the mean of the source area it covers,
// rounded to 8 bits). The black border is never drawn: it adds nothing to a mean, so only the
// frame's own pixels are read. OpenCV's area resampling takes its slow general path at the
// ratios cameras give (320 to 192 is 5:3), and the square around a 1280x720 frame is 4.9 MB
// to clear and copy; this reads each source pixel once, a row at a time.
class SquareShrink {
public:
    // `frame`: 8-bit, 3 channels, its longer side at least `size`. `out`: size x size, same
    // type.
    void operator()(const cv::Mat& frame, int size, cv::Mat& out);

private:
    // For each output pixel along one edge: the first source pixel it averages (in the
    // frame) and the weights of `span` pixels from there, zero past its area or the frame.
    struct Edge {
        int span = 0;
        std::vector<int> first;
        std::vector<float> weights; // span per output pixel
    };
    static Edge edge(int side, int size, int offset, int length);

    cv::Size m_frame;
    int m_size = 0;
    Edge m_rows, m_columns;      // for m_frame and m_size
    std::vector<float> m_line;   // one output row's source rows averaged, then `span` zeros
    std::vector<float> m_pixels; // the same row's output pixels, and one float to spare
};

} // namespace quorvel::movenet
