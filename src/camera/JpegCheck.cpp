#include "camera/JpegCheck.h"

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE
#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace quorvel {

namespace {

struct Errors {
    jpeg_error_mgr manager; // first: libjpeg hands back a pointer to it
    std::jmp_buf jump;
    bool damaged = false;
};

[[noreturn]] void stop(j_common_ptr info) {
    std::longjmp(reinterpret_cast<Errors*>(info->err)->jump, 1);
}

void note(j_common_ptr info, int level) {
    // Level -1 is a warning; the others are traces.
    if (level < 0 && info->err->msg_code != JWRN_EXTRANEOUS_DATA) {
        reinterpret_cast<Errors*>(info->err)->damaged = true;
    }
}

} // namespace

bool jpegDecodesWhole(const unsigned char* data, std::size_t size) {
    jpeg_decompress_struct info{};
    Errors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = stop;
    errors.manager.emit_message = note;
    jpeg_create_decompress(&info);
    volatile bool whole = false;
    if (setjmp(errors.jump) == 0) {
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
            jpeg_read_coefficients(&info); // every coded block, to the end of the image
            whole = !errors.damaged;
        }
    }
    jpeg_destroy_decompress(&info);
    return whole;
}

bool decodeWholeJpeg(const unsigned char* data, std::size_t size, cv::Size atLeast,
                     cv::Mat& image) {
    jpeg_decompress_struct info{};
    Errors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = stop;
    errors.manager.emit_message = note;
    jpeg_create_decompress(&info);
    volatile bool whole = false;
    if (setjmp(errors.jump) == 0) {
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
            info.out_color_space = JCS_EXT_BGR;
            info.scale_num = 1;
            info.scale_denom = 1;
            for (unsigned denom = 8; denom > 1; denom /= 2) {
                if (info.image_width / denom >= unsigned(atLeast.width) ||
                    info.image_height / denom >= unsigned(atLeast.height)) {
                    info.scale_denom = denom;
                    break;
                }
            }
            jpeg_start_decompress(&info);
            image.create(int(info.output_height), int(info.output_width), CV_8UC3);
            while (info.output_scanline < info.output_height) {
                JSAMPROW row = image.ptr(int(info.output_scanline));
                jpeg_read_scanlines(&info, &row, 1);
            }
            jpeg_finish_decompress(&info);
            whole = !errors.damaged;
        }
    }
    jpeg_destroy_decompress(&info);
    return whole;
}

} // namespace quorvel
