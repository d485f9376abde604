#include "SimMachine.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace sim {

namespace {

std::string realProgramPath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || path.empty()) {
        return "C:\\Station\\evaluator-station.exe";
    }
    return path.string();
}

std::string directoryOf(std::string_view path) {
    auto cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut));
}

std::string fileNameOf(std::string_view path) {
    auto cut = path.find_last_of("\\/");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::uint64_t realMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Module handles are made-up addresses, as distinct as real ones.
constexpr std::uintptr_t kFirstModule = 0x10000000;
constexpr std::uintptr_t kModuleStride = 0x10000;

} // namespace

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

Machine& Machine::instance() {
    static Machine machine;
    return machine;
}

Machine::Machine() {
    reset();
}

void Machine::reset() {
    handles_.clear();
    pending_.clear();
    scheduled_.clear();
    devices_.clear();
    interfaces.clear();
    nodes.clear();
    extras.clear();
    calls_.clear();
    faults_.clear();
    alwaysFail_.clear();
    violations_.clear();
    pollers_.clear();
    beforeCancel_ = nullptr;
    images_.clear();
    loaded_.clear();
    nextHandle_ = 0x100;
    clock_ = 0;
    realTime_ = false;
    errorMode_ = 0;
    lastError_ = 0;
    moduleFileName_ = realProgramPath();
    setVersion(VER_PLATFORM_WIN32_NT, 6, 1);
    placeModule({systemDirectory() + "\\setupapi.dll", setupApiExports()});
    placeModule({systemDirectory() + "\\hid.dll", hidExports()});
}

// --- clock ---

std::uint64_t Machine::now() const {
    if (realTime_) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(realMs()) + realOffset_);
    }
    return clock_;
}

void Machine::setTickCount(DWORD ticks) {
    clock_ = ticks;
    if (realTime_) {
        realOffset_ = static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(realMs());
    }
}

void Machine::advance(std::uint64_t ms) {
    advanceTo(now() + ms);
}

void Machine::advanceTo(std::uint64_t when) {
    if (realTime_) {
        // Real time: sleep in short steps so scheduled actions and transfers move on.
        while (now() < when) {
            auto step = std::min<std::uint64_t>(when - now(), 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(step));
            poll();
            while (!scheduled_.empty() && scheduled_.begin()->first <= now()) {
                auto action = std::move(scheduled_.begin()->second);
                scheduled_.erase(scheduled_.begin());
                action();
            }
            pump();
        }
        return;
    }
    while (!scheduled_.empty() && scheduled_.begin()->first <= when) {
        clock_ = std::max(clock_, scheduled_.begin()->first);
        auto action = std::move(scheduled_.begin()->second);
        scheduled_.erase(scheduled_.begin());
        action();
        poll();
        pump();
    }
    clock_ = std::max(clock_, when);
    pump();
}

void Machine::schedule(std::uint64_t when, std::function<void()> action) {
    scheduled_.emplace(when, std::move(action));
}

void Machine::waitUntil(std::uint64_t when) {
    if (!realTime_) {
        advanceTo(when);
        return;
    }
    // Real time: one short step, so that a waiting caller looks at its transfer
    // again as soon as bytes from outside (a poller) may have moved it on.
    advanceTo(std::min(when, now() + 2));
}

void Machine::addPoller(std::function<void()> poller) {
    pollers_.push_back(std::move(poller));
}

void Machine::poll() {
    if (polling_ || pollers_.empty()) {
        return; // a poller that calls the seam does not poll again
    }
    polling_ = true;
    for (auto& poller : pollers_) {
        poller();
    }
    polling_ = false;
}

void Machine::setRealTime(bool on) {
    if (on == realTime_) {
        return;
    }
    if (on) {
        realOffset_ = static_cast<std::int64_t>(clock_) - static_cast<std::int64_t>(realMs());
        realTime_ = true;
    } else {
        clock_ = now();
        realTime_ = false;
    }
}

// --- version, program path ---

void Machine::setVersion(DWORD platformId, DWORD major, DWORD minor) {
    version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    version.dwPlatformId = platformId;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = major >= 6 ? 7601 : 2600;
}

void Machine::setModuleFileName(std::string path) {
    moduleFileName_ = std::move(path);
}

// --- libraries ---

void Machine::placeModule(ModuleImage image) {
    std::string key = upper(image.path);
    auto same = [&](const ModuleImage& m) { return upper(m.path) == key; };
    images_.erase(std::remove_if(images_.begin(), images_.end(), same), images_.end());
    images_.push_back(std::move(image));
}

void Machine::removeModule(std::string_view fileName) {
    std::string key = upper(systemDirectory() + "\\" + std::string(fileName));
    auto same = [&](const ModuleImage& m) { return upper(m.path) == key; };
    images_.erase(std::remove_if(images_.begin(), images_.end(), same), images_.end());
}

void Machine::removeExport(std::string_view fileName, std::string_view exportName) {
    std::string key = upper(systemDirectory() + "\\" + std::string(fileName));
    for (auto& image : images_) {
        if (upper(image.path) == key) {
            image.exports.erase(std::string(exportName));
        }
    }
}

void Machine::setExport(std::string_view fileName, std::string_view exportName, FARPROC address) {
    std::string key = upper(systemDirectory() + "\\" + std::string(fileName));
    for (auto& image : images_) {
        if (upper(image.path) == key) {
            image.exports[std::string(exportName)] = address;
        }
    }
}

int Machine::loadCount(std::string_view path) const {
    auto it = loaded_.find(upper(path));
    return it == loaded_.end() ? 0 : it->second;
}

HMODULE Machine::loadModule(std::string_view fileName) {
    std::vector<std::string> candidates;
    if (fileName.find_first_of("\\/") != std::string_view::npos) {
        candidates.emplace_back(fileName);
    } else {
        // The program's own directory comes before the system directory.
        candidates.push_back(directoryOf(moduleFileName_) + "\\" + std::string(fileName));
        candidates.push_back(systemDirectory() + "\\" + std::string(fileName));
    }
    for (const auto& candidate : candidates) {
        // A path in the program's directory may use '/' on the real file system.
        std::string key = upper(candidate);
        for (std::size_t i = 0; i < images_.size(); ++i) {
            std::string imageKey = upper(images_[i].path);
            if (imageKey == key ||
                (upper(directoryOf(images_[i].path)) == upper(directoryOf(candidate)) &&
                 upper(fileNameOf(images_[i].path)) == upper(fileNameOf(candidate)))) {
                ++loaded_[imageKey];
                return reinterpret_cast<HMODULE>(kFirstModule + i * kModuleStride);
            }
        }
    }
    setLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

std::string Machine::loadedPath(HMODULE module) const {
    auto value = reinterpret_cast<std::uintptr_t>(module);
    if (value < kFirstModule || (value - kFirstModule) % kModuleStride != 0) {
        return {};
    }
    std::size_t index = (value - kFirstModule) / kModuleStride;
    if (index >= images_.size() || loadCount(images_[index].path) <= 0) {
        return {};
    }
    return images_[index].path;
}

bool Machine::freeModule(HMODULE module) {
    std::string path = loadedPath(module);
    if (path.empty()) {
        setLastError(ERROR_MOD_NOT_FOUND);
        return false;
    }
    auto it = loaded_.find(upper(path));
    if (--it->second <= 0) {
        loaded_.erase(it);
    }
    return true;
}

FARPROC Machine::procAddress(HMODULE module, std::string_view name) const {
    std::string path = loadedPath(module);
    if (path.empty()) {
        return nullptr;
    }
    auto value = reinterpret_cast<std::uintptr_t>(module);
    const auto& image = images_[(value - kFirstModule) / kModuleStride];
    auto it = image.exports.find(std::string(name));
    return it == image.exports.end() ? nullptr : it->second;
}

// --- calls and faults ---

DWORD Machine::enter(const char* function) {
    poll();
    auto it = calls_.find(std::string_view(function));
    if (it == calls_.end()) {
        it = calls_.emplace(function, 0).first;
    }
    std::uint64_t n = ++it->second;
    if (!faults_.empty()) {
        auto fault = faults_.find({it->first, n});
        if (fault != faults_.end()) {
            return fault->second;
        }
    }
    if (!alwaysFail_.empty()) {
        auto always = alwaysFail_.find(it->first);
        if (always != alwaysFail_.end()) {
            return always->second;
        }
    }
    return 0;
}

std::uint64_t Machine::calls(std::string_view function) const {
    auto it = calls_.find(function);
    return it == calls_.end() ? 0 : it->second;
}

void Machine::failCall(std::string function, std::uint64_t nth, DWORD error) {
    faults_[{std::move(function), nth}] = error;
}

void Machine::failAlways(std::string function, DWORD error) {
    if (error == 0) {
        alwaysFail_.erase(function);
    } else {
        alwaysFail_[std::move(function)] = error;
    }
}

// --- handles ---

HANDLE Machine::add(std::shared_ptr<Object> object) {
    std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> Machine::lookup(HANDLE handle) const {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

bool Machine::close(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) {
        return false;
    }
    std::shared_ptr<Object> object = it->second;
    handles_.erase(it);

    for (auto& p : pending_) {
        if (p.event == handle) {
            violation("an event was closed while a transfer using it was still pending");
            // The call that owned the record, the event and the buffer has ended:
            // end the transfer here, unwritten, instead of completing it later
            // into memory that is gone.
            p.overlapped = nullptr;
            p.event = nullptr;
            p.io->cancelled = true;
            p.io->error = ERROR_OPERATION_ABORTED;
            p.io->complete = true;
        }
    }
    if (auto file = std::dynamic_pointer_cast<File>(object)) {
        // Closing a handle cancels its transfers.
        for (auto& p : pending_) {
            if (p.fileHandle == handle && !p.io->complete) {
                p.io->cancelled = true;
                p.io->error = ERROR_OPERATION_ABORTED;
                p.io->complete = true;
            }
        }
        pump();
        bool stillOpen = false;
        for (const auto& [value, other] : handles_) {
            auto otherFile = std::dynamic_pointer_cast<File>(other);
            if (otherFile && otherFile->device == file->device) {
                stillOpen = true;
            }
        }
        if (!stillOpen && file->device) {
            file->device->closed();
        }
    }
    return true;
}

std::size_t Machine::openHandles(std::string_view kind) const {
    return static_cast<std::size_t>(std::count_if(handles_.begin(), handles_.end(), [&](auto& h) {
        return std::string_view(h.second->kind()) == kind;
    }));
}

// --- devices ---

void Machine::addDevice(std::string path, std::shared_ptr<Device> device) {
    devices_[upper(path)] = std::move(device);
}

void Machine::removeDevice(std::string_view path) {
    std::string key = upper(path);
    for (auto& [value, object] : handles_) {
        auto file = std::dynamic_pointer_cast<File>(object);
        if (file && upper(file->path) == key) {
            file->gone = true;
        }
    }
    devices_.erase(key);
    pump();
}

std::shared_ptr<Device> Machine::device(std::string_view path) const {
    auto it = devices_.find(upper(path));
    return it == devices_.end() ? nullptr : it->second;
}

bool Machine::sharingConflict(const std::shared_ptr<Device>& device, DWORD share) const {
    for (const auto& [value, object] : handles_) {
        auto file = std::dynamic_pointer_cast<File>(object);
        if (file && !file->gone && file->device == device && (file->share == 0 || share == 0)) {
            return true;
        }
    }
    return false;
}

// --- transfers ---

std::shared_ptr<Io> Machine::startIo(HANDLE handle, const std::shared_ptr<File>& file, Io io,
                                     OVERLAPPED* overlapped) {
    auto shared = std::make_shared<Io>(std::move(io));
    shared->started = now();
    if (overlapped != nullptr) {
        if (pendingFor(overlapped)) {
            violation("an OVERLAPPED record was reused while its transfer was still pending");
        }
        overlapped->Internal = kStatusPending;
        overlapped->InternalHigh = 0;
    }
    if (file->gone) {
        shared->error = ERROR_DEVICE_NOT_CONNECTED;
        shared->complete = true;
    } else {
        file->device->progress(*shared, now());
    }
    Pending p{file, handle, overlapped, overlapped ? overlapped->hEvent : nullptr, shared};
    if (shared->complete) {
        finish(p);
    } else if (overlapped != nullptr) {
        pending_.push_back(std::move(p));
    }
    return shared;
}

void Machine::finish(Pending& p) {
    if (p.overlapped != nullptr) {
        p.overlapped->Internal = p.io->error;
        p.overlapped->InternalHigh = p.io->done;
    }
    if (p.event != nullptr) {
        if (auto event = get<Event>(p.event)) {
            event->signalled = true;
        }
    }
}

void Machine::pump() {
    std::uint64_t t = now();
    // Completing a transfer may start nothing new, so one pass suffices.
    for (auto& p : pending_) {
        Io& io = *p.io;
        if (!io.complete) {
            if (p.file->gone) {
                io.error = ERROR_DEVICE_NOT_CONNECTED;
                io.complete = true;
            } else {
                p.file->device->progress(io, t);
                if (!io.complete && io.cancelled) {
                    io.error = ERROR_OPERATION_ABORTED;
                    io.complete = true;
                }
            }
        }
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->io->complete) {
            Pending done = std::move(*it);
            it = pending_.erase(it);
            finish(done);
        } else {
            ++it;
        }
    }
}

std::uint64_t Machine::nextWake() const {
    std::uint64_t t = scheduled_.empty() ? kNever : scheduled_.begin()->first;
    std::uint64_t current = now();
    for (const auto& p : pending_) {
        if (p.file->gone || p.io->cancelled) {
            return current;
        }
        t = std::min(t, p.file->device->wakeTime(*p.io, current));
    }
    return t;
}

bool Machine::waitEvent(const std::shared_ptr<Event>& event, std::uint64_t deadline) {
    for (;;) {
        pump();
        if (event->signalled) {
            if (!event->manualReset) {
                event->signalled = false;
            }
            return true;
        }
        std::uint64_t current = now();
        if (current >= deadline) {
            return false;
        }
        std::uint64_t t = std::min(nextWake(), deadline);
        if (t == kNever) {
            violation("a wait without time-out on an event that can never be signalled");
            return false;
        }
        waitUntil(std::max(t, current + 1));
    }
}

void Machine::runToCompletion(const std::shared_ptr<File>& file, Io& io) {
    io.started = now();
    for (;;) {
        if (file->gone) {
            io.error = ERROR_DEVICE_NOT_CONNECTED;
            io.complete = true;
        } else {
            file->device->progress(io, now());
        }
        if (io.complete) {
            return;
        }
        std::uint64_t current = now();
        std::uint64_t t = std::min(file->device->wakeTime(io, current), nextWake());
        if (t == kNever) {
            violation("a blocking transfer that can never finish");
            io.error = ERROR_GEN_FAILURE;
            io.complete = true;
            return;
        }
        waitUntil(std::max(t, current + 1));
    }
}

void Machine::cancelIo(HANDLE file) {
    if (auto action = std::exchange(beforeCancel_, nullptr)) {
        action();
        pump(); // what that let finish completes normally
    }
    // Windows only asks for cancellation here: the transfer finishes later, and
    // until it has, its record, event and buffer must stay alive.
    for (auto& p : pending_) {
        if (p.fileHandle == file) {
            p.io->cancelled = true;
        }
    }
}

std::shared_ptr<Io> Machine::pendingFor(const OVERLAPPED* overlapped) const {
    for (const auto& p : pending_) {
        if (p.overlapped == overlapped) {
            return p.io;
        }
    }
    return nullptr;
}

bool Machine::completeWaiting(const OVERLAPPED* overlapped) {
    for (;;) {
        pump();
        auto io = pendingFor(overlapped);
        if (!io) {
            return true;
        }
        std::uint64_t current = now();
        std::uint64_t t = nextWake();
        if (t == kNever) {
            violation("GetOverlappedResult waits for a transfer that can never finish");
            return false;
        }
        waitUntil(std::max(t, current + 1));
    }
}

void Machine::violation(std::string what) {
    violations_.push_back(std::move(what));
}

} // namespace sim
