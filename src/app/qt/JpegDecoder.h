// Decoding of the window's photograph, a progressive JPEG, by libjpeg itself.
#pragma once

#include <QImage>

#include <string_view>

// The decoded picture as a 32-bit RGB image, or a null image when libjpeg
// cannot decode the data. A stream cut short decodes, its missing rows grey.
QImage decodeJpeg(std::string_view data);
