#include "posture/movenet/SquareShrink.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core/hal/intrin.hpp>
#include <stdexcept>

namespace quorvel::movenet {

// One edge of `side` pixels shrunk to `size`, weighed as OpenCV weighs INTER_AREA, for the
// source pixels that lie in the frame: `length` of them from `offset` on.
SquareShrink::Edge SquareShrink::edge(int side, int size, int offset, int length) {
    const double scale = static_cast<double>(side) / size;
    struct Tap {
        int from;
        float weight;
    };
    std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(size));
    const auto add = [&](int to, int from, double weight) {
        if (from >= offset && from < offset + length) {
            taps[static_cast<std::size_t>(to)].push_back({from - offset, float(weight)});
        }
    };
    Edge e;
    for (int to = 0; to < size; ++to) {
        const double start = to * scale;
        const double end = start + scale;
        const double cell = std::min(scale, side - start);
        int first = static_cast<int>(std::ceil(start));
        const int last = std::min(static_cast<int>(std::floor(end)), side - 1);
        first = std::min(first, last);
        if (first - start > 1e-3) {
            add(to, first - 1, (first - start) / cell);
        }
        for (int from = first; from < last; ++from) {
            add(to, from, 1.0 / cell);
        }
        if (end - last > 1e-3) {
            add(to, last, std::min(std::min(end - last, 1.0), cell) / cell);
        }
        e.span = std::max(e.span, static_cast<int>(taps[static_cast<std::size_t>(to)].size()));
    }
    e.first.assign(static_cast<std::size_t>(size), 0);
    e.weights.assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(e.span), 0.0f);
    for (std::size_t to = 0; to < taps.size(); ++to) {
        if (!taps[to].empty()) {
            e.first[to] = taps[to].front().from;
        }
        for (const Tap& t : taps[to]) { // consecutive source pixels
            e.weights[to * static_cast<std::size_t>(e.span) +
                      static_cast<std::size_t>(t.from - e.first[to])] = t.weight;
        }
    }
    return e;
}

namespace {

// line[i] += weight * row[i] for `width` values.
void addWeighted(float* line, const uchar* row, float weight, int width) {
    int i = 0;
#if CV_SIMD
    // 8-bit values widened in registers, a vector at a time (never loaded as wider integers
    // from a byte address).
    constexpr int lanes = cv::v_float32::nlanes;
    const cv::v_float32 w = cv::vx_setall_f32(weight);
    for (; i + 4 * lanes <= width; i += 4 * lanes) {
        cv::v_uint16 low, high;
        cv::v_expand(cv::vx_load(row + i), low, high);
        cv::v_uint32 quarters[4];
        cv::v_expand(low, quarters[0], quarters[1]);
        cv::v_expand(high, quarters[2], quarters[3]);
        for (int q = 0; q < 4; ++q) {
            float* to = line + i + q * lanes;
            const cv::v_float32 v = cv::v_cvt_f32(cv::v_reinterpret_as_s32(quarters[q]));
            cv::v_store(to, cv::v_fma(v, w, cv::vx_load(to)));
        }
    }
#endif
    for (; i < width; ++i) {
        line[i] += weight * static_cast<float>(row[i]);
    }
}

} // namespace

void SquareShrink::operator()(const cv::Mat& frame, int size, cv::Mat& out) {
    const int side = std::max(frame.cols, frame.rows);
    if (frame.type() != CV_8UC3 || side < size) {
        throw std::invalid_argument(
            "SquareShrink takes 8-bit BGR frames no smaller than its output");
    }
    if (m_frame != frame.size() || m_size != size) {
        m_rows = edge(side, size, (side - frame.rows) / 2, frame.rows);
        m_columns = edge(side, size, (side - frame.cols) / 2, frame.cols);
        // the last pixel's load reads one float past its three
        m_line.assign(static_cast<std::size_t>(frame.cols + m_columns.span) * 3 + 1, 0.0f);
        m_pixels.assign(static_cast<std::size_t>(size) * 3 + 1, 0.0f);
        m_frame = frame.size();
        m_size = size;
    }
    out.create(size, size, CV_8UC3);
    const int width = frame.cols * 3;
    const auto rowSpan = static_cast<std::size_t>(m_rows.span);
    const auto columnSpan = static_cast<std::size_t>(m_columns.span);
    for (int y = 0; y < size; ++y) {
        // The output row's source rows, summed with their weights...
        std::fill_n(m_line.begin(), width, 0.0f);
        const float* rowWeights = &m_rows.weights[static_cast<std::size_t>(y) * rowSpan];
        const int firstRow = m_rows.first[static_cast<std::size_t>(y)];
        for (std::size_t t = 0; t < rowSpan; ++t) {
            if (rowWeights[t] != 0.0f) {
                addWeighted(m_line.data(), frame.ptr<uchar>(firstRow + static_cast<int>(t)),
                            rowWeights[t], width);
            }
        }
        // ...then each output pixel's columns, its three channels side by side...
        float* pixel = m_pixels.data();
        for (std::size_t x = 0; x < static_cast<std::size_t>(size); ++x, pixel += 3) {
            const float* w = &m_columns.weights[x * columnSpan];
            const float* from = &m_line[static_cast<std::size_t>(m_columns.first[x]) * 3];
#if CV_SIMD128
            cv::v_float32x4 sum = cv::v_setzero_f32();
            for (std::size_t t = 0; t < columnSpan; ++t, from += 3) {
                sum = cv::v_fma(cv::v_load(from), cv::v_setall_f32(w[t]), sum);
            }
            cv::v_store(pixel, sum); // the fourth lane is overwritten by the next pixel
#else
            std::fill_n(pixel, 3, 0.0f);
            for (std::size_t t = 0; t < columnSpan; ++t, from += 3) {
                for (int c = 0; c < 3; ++c) {
                    pixel[c] += w[t] * from[c];
                }
            }
#endif
        }
        // ...and rounded to 8 bits, as OpenCV rounds.
        cv::Mat(1, size * 3, CV_32F, m_pixels.data())
            .convertTo(cv::Mat(1, size * 3, CV_8U, out.ptr<uchar>(y)), CV_8U);
    }
}

} // namespace quorvel::movenet
