// Move-only owners for the handles the station opens. Each closes through the
// seam (or the binding's slot), so the simulated machine sees every close.
#pragma once

#include "SetupApi.h"
#include "Win.h"

#include <utility>

namespace win {

// Traits: the value that means "nothing held" and how to release a held one.
struct FileHandleTraits { // files and devices: INVALID_HANDLE_VALUE is empty
    using Type = HANDLE;
    static Type empty() { return INVALID_HANDLE_VALUE; }
    static bool isEmpty(Type h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void release(Type h) { CloseHandle(h); }
};
struct EventHandleTraits { // events: null is empty
    using Type = HANDLE;
    static Type empty() { return nullptr; }
    static bool isEmpty(Type h) { return h == nullptr; }
    static void release(Type h) { CloseHandle(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type empty() { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
    static bool isEmpty(Type h) { return h == empty() || h == nullptr; }
    static void release(Type h) { win::RegCloseKey(h); }
};
struct DevInfoTraits { // device-information sets, released through the binding
    using Type = HDEVINFO;
    static Type empty() { return INVALID_HANDLE_VALUE; }
    static bool isEmpty(Type h) { return h == INVALID_HANDLE_VALUE || h == nullptr; }
    static void release(Type h) {
        if (SetupApi::SetupDiDestroyDeviceInfoList != nullptr) {
            SetupApi::SetupDiDestroyDeviceInfoList(h);
        }
    }
};

template <class Traits> class Unique {
public:
    using Type = typename Traits::Type;
    Unique() = default;
    explicit Unique(Type h) : h_(h) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : h_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Unique() { reset(); }

    Type get() const { return h_; }
    explicit operator bool() const { return !Traits::isEmpty(h_); }
    Type release() { return std::exchange(h_, Traits::empty()); }
    void reset(Type h = Traits::empty()) {
        Type old = std::exchange(h_, h);
        if (!Traits::isEmpty(old)) {
            Traits::release(old);
        }
    }

private:
    Type h_ = Traits::empty();
};

using UniqueHandle = Unique<FileHandleTraits>;
using UniqueEvent = Unique<EventHandleTraits>;
using UniqueRegKey = Unique<RegKeyTraits>;
using UniqueDevInfo = Unique<DevInfoTraits>;

} // namespace win
