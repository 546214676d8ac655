#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <time.h>
#include <cstdio>
static double clk(clockid_t c) { timespec t; clock_gettime(c, &t); return t.tv_sec * 1e3 + t.tv_nsec / 1e6; }
int main() {
    cv::Mat sq(1280, 1280, CV_8UC3, cv::Scalar::all(7)), out;
    for (int r = 0; r < 3; ++r) {
    double w = clk(CLOCK_MONOTONIC), p = clk(CLOCK_PROCESS_CPUTIME_ID), t = clk(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < 100; ++i) cv::resize(sq, out, cv::Size(192, 192), 0, 0, cv::INTER_AREA);
    printf("wall %.2f process %.2f thread %.2f\n", (clk(CLOCK_MONOTONIC) - w) / 100, (clk(CLOCK_PROCESS_CPUTIME_ID) - p) / 100, (clk(CLOCK_THREAD_CPUTIME_ID) - t) / 100);
    }
}
