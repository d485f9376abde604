#include "Pictures.h"

#include <objbase.h>
#include <wincodec.h>

#include <utility>

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

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height); // top-down, as WIC copies rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    BitmapHandle bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits) {
        return nullptr;
    }
    const UINT stride = width * 4;
    if (FAILED(converter->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(bits)))) {
        return nullptr;
    }
    auto picture = std::make_unique<Picture>();
    picture->bitmap = std::move(bitmap);
    picture->width = static_cast<int>(width);
    picture->height = static_cast<int>(height);
    return picture;
}

} // namespace

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
