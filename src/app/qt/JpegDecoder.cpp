#include "JpegDecoder.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

// libjpeg's default error handler ends the process; ours jumps back to the
// decoder, which gives up on the picture instead.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
};

extern "C" void onJpegError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

// Warnings (a stream that is corrupt but still readable) are not worth a
// message: the picture is used as far as it decodes.
extern "C" void onJpegMessage(j_common_ptr) {}

// The jump target. A jump only ever skips libjpeg's own frames, and every object
// with a destructor belongs to the caller, so no destructor is skipped.
bool decodeInto(jpeg_decompress_struct& info, ErrorManager& errors, std::string_view data,
                QImage& image) {
    if (setjmp(errors.escape) != 0) {
        return false;
    }
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()),
                 static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        return false;
    }
    // QImage::Format_RGB32 holds 0xffRRGGBB words in native byte order; libjpeg
    // writes the alpha byte as 0xff.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    info.out_color_space = JCS_EXT_BGRA;
#else
    info.out_color_space = JCS_EXT_ARGB;
#endif
    // A progressive picture is gathered over all its scans here, before the
    // first row comes out.
    jpeg_start_decompress(&info);
    image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                   QImage::Format_RGB32);
    if (image.isNull()) {
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

} // namespace

QImage decodeJpeg(std::string_view data) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = onJpegError;
    errors.base.output_message = onJpegMessage;
    jpeg_create_decompress(&info);
    QImage image;
    const bool decoded = decodeInto(info, errors, data, image);
    jpeg_destroy_decompress(&info);
    return decoded ? image : QImage();
}
