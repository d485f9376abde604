#include "Pictures.h"

#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// Releases a COM interface when it goes out of scope.
template <class T> class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (p_) {
            p_->Release();
        }
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T** put() { return &p_; }
    T* operator->() const { return p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

// A picture of that size with a bitmap of its own, all pixels transparent.
std::unique_ptr<Picture> blankPicture(int width, int height) {
    if (width <= 0 || height <= 0) {
        return nullptr;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down, as WIC copies rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    BitmapHandle bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits) {
        return nullptr;
    }
    auto picture = std::make_unique<Picture>();
    picture->bitmap = std::move(bitmap);
    picture->bits = static_cast<std::uint32_t*>(bits);
    picture->width = width;
    picture->height = height;
    return picture;
}

std::wstring wide(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length);
    return result;
}

// The resource's bytes; they live as long as the module.
bool resourceBytes(HMODULE module, const std::string& name, const BYTE*& data, DWORD& size) {
    HRSRC info = FindResourceW(module, wide(name).c_str(), MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (!info) {
        return false;
    }
    HGLOBAL loaded = LoadResource(module, info);
    size = SizeofResource(module, info);
    data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    return data != nullptr && size > 0;
}

std::unique_ptr<Picture> decode(IWICImagingFactory* factory, const BYTE* data, DWORD size) {
    ComRef<IWICStream> stream;
    if (FAILED(factory->CreateStream(stream.put())) ||
        FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(data), size))) {
        return nullptr;
    }
    ComRef<IWICBitmapDecoder> decoder;
    if (FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr,
                                                WICDecodeMetadataCacheOnDemand, decoder.put()))) {
        return nullptr;
    }
    ComRef<IWICBitmapFrameDecode> frame;
    if (FAILED(decoder->GetFrame(0, frame.put()))) {
        return nullptr;
    }
    ComRef<IWICFormatConverter> converter;
    if (FAILED(factory->CreateFormatConverter(converter.put())) ||
        FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA,
                                     WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom))) {
        return nullptr;
    }
    UINT width = 0;
    UINT height = 0;
    if (FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0) {
        return nullptr;
    }

    auto picture = blankPicture(static_cast<int>(width), static_cast<int>(height));
    const UINT stride = width * 4;
    if (!picture || FAILED(converter->CopyPixels(nullptr, stride, stride * height,
                                                 reinterpret_cast<BYTE*>(picture->bits)))) {
        return nullptr;
    }
    return picture;
}

// For each pixel along one axis of the target, the source pixels it blends
// (clamped to the edge) and their weights, which add up to 1.
std::vector<std::vector<std::pair<int, float>>> axisTaps(int from, int to) {
    const double ratio = static_cast<double>(from) / to; // source pixels per target pixel
    const double radius = std::max(1.0, ratio);
    std::vector<std::vector<std::pair<int, float>>> taps(static_cast<std::size_t>(to));
    for (int t = 0; t < to; ++t) {
        const double centre = (t + 0.5) * ratio - 0.5;
        double total = 0.0;
        auto& row = taps[static_cast<std::size_t>(t)];
        const int last = static_cast<int>(std::ceil(centre + radius)) - 1;
        for (int s = static_cast<int>(std::floor(centre - radius)) + 1; s <= last; ++s) {
            const double weight = 1.0 - std::abs(s - centre) / radius;
            if (weight > 0.0) {
                row.emplace_back(std::clamp(s, 0, from - 1), static_cast<float>(weight));
                total += weight;
            }
        }
        for (auto& tap : row) {
            tap.second = static_cast<float>(tap.second / total);
        }
    }
    return taps;
}

} // namespace

std::unique_ptr<Picture> resampledPicture(const Picture& source, int width, int height) {
    auto picture = blankPicture(width, height);
    if (!picture || !source.bits) {
        return nullptr;
    }
    const auto across = axisTaps(source.width, width);
    const auto down = axisTaps(source.height, height);
    // Rows first, into four floats a pixel (premultiplied, so that a transparent
    // pixel's colour never bleeds into its neighbours), then columns.
    std::vector<float> rows(static_cast<std::size_t>(source.height) * width * 4);
    for (int y = 0; y < source.height; ++y) {
        const std::uint32_t* in = source.bits + static_cast<std::size_t>(y) * source.width;
        float* out = &rows[static_cast<std::size_t>(y) * width * 4];
        for (int x = 0; x < width; ++x, out += 4) {
            for (const auto& [from, weight] : across[static_cast<std::size_t>(x)]) {
                for (int c = 0; c < 4; ++c) {
                    out[c] += weight * static_cast<float>(in[from] >> (8 * c) & 0xFF);
                }
            }
        }
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float sum[4] = {};
            for (const auto& [from, weight] : down[static_cast<std::size_t>(y)]) {
                const float* in = &rows[(static_cast<std::size_t>(from) * width + x) * 4];
                for (int c = 0; c < 4; ++c) {
                    sum[c] += weight * in[c];
                }
            }
            const auto channel = [&](int c, int most) {
                return static_cast<std::uint32_t>(std::clamp(std::lround(sum[c]), 0L, long{most}));
            };
            // A colour above its alpha is no premultiplied pixel: AlphaBlend would overflow it.
            const std::uint32_t alpha = channel(3, 255);
            const int most = static_cast<int>(alpha);
            picture->bits[static_cast<std::size_t>(y) * width + x] =
                alpha << 24 | channel(2, most) << 16 | channel(1, most) << 8 | channel(0, most);
        }
    }
    return picture;
}

PictureSet::PictureSet(HMODULE module) : module_(module) {
    // WIC needs COM on this thread; the window's thread is apartment-threaded.
    comReady_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

PictureSet::~PictureSet() {
    pictures_.clear();
    if (comReady_) {
        CoUninitialize();
    }
}

const Picture* PictureSet::find(const std::string& name) {
    if (name.empty()) {
        return nullptr;
    }
    auto known = pictures_.find(name);
    if (known != pictures_.end()) {
        return known->second.get(); // null too for one that did not decode: tried once
    }
    std::unique_ptr<Picture> picture;
    const BYTE* data = nullptr;
    DWORD size = 0;
    if (resourceBytes(module_, name, data, size)) {
        ComRef<IWICImagingFactory> factory;
        if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IWICImagingFactory,
                                       reinterpret_cast<void**>(factory.put())))) {
            picture = decode(factory.get(), data, size);
        }
    }
    const Picture* result = picture.get();
    pictures_.emplace(name, std::move(picture));
    return result;
}

const Picture* PictureSet::find(const std::string& name, int width, int height) {
    const Picture* picture = find(name);
    if (!picture || (picture->width == width && picture->height == height)) {
        return picture;
    }
    auto key = std::make_tuple(name, width, height);
    auto known = resized_.find(key);
    if (known == resized_.end()) {
        known = resized_.emplace(std::move(key), resampledPicture(*picture, width, height)).first;
    }
    return known->second.get();
}
