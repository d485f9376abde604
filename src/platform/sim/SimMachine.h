// The simulated machine: a model of a Windows PC as the station sees it.
//
// It backs every function of the seam (Win.h) and the exports of the two
// run-time-loaded libraries ("SetupApi.dll", "HID.dll"). Time is virtual:
// GetTickCount, Sleep and every wait advance one clock, so a five-second key
// wait costs no real time. Device models (HID interfaces, USB devices, COM
// ports) plug in through the classes below. Everything runs on one thread.
#pragma once

#include "../Win.h"
#include "../WinConvTypes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

inline constexpr std::uint64_t kNever = UINT64_MAX;

class Machine;

// Anything a handle can stand for.
class Object {
public:
    virtual ~Object() = default;
    // Short name of the kind, for handle counts by kind ("file", "event", ...).
    virtual const char* kind() const = 0;
};

class Event final : public Object {
public:
    Event(bool manualReset, bool signalled) : manualReset(manualReset), signalled(signalled) {}
    const char* kind() const override { return "event"; }
    bool manualReset;
    bool signalled;
};

// One transfer, plain or overlapped, as the device model sees it.
struct Io {
    bool isRead = true;
    std::uint8_t* buffer = nullptr; // read: where the bytes go
    std::string data;               // write: the bytes written
    DWORD count = 0;                // bytes asked for
    DWORD done = 0;                 // bytes moved so far
    DWORD error = 0;                // result once complete (0 = success)
    std::uint64_t started = 0;      // virtual time the transfer began
    bool cancelled = false;         // CancelIo asked for it
    bool complete = false;
};

// A device that CreateFileA can open by path.
class Device {
public:
    virtual ~Device() = default;
    // CreateFileA on this device's path: 0 to grant the open, or a Windows error.
    virtual DWORD open(DWORD access, DWORD flags) {
        (void)access;
        (void)flags;
        return 0;
    }
    // The last handle on the device was closed.
    virtual void closed() {}
    // Moves the transfer on at virtual time now; sets io.complete (with io.error,
    // io.done) when it has finished. A cancelled transfer must complete.
    virtual void progress(Io& io, std::uint64_t now) = 0;
    // The earliest time at or after now at which progress() can complete io
    // without anything else happening first; kNever if it waits on an outside event.
    virtual std::uint64_t wakeTime(const Io& io, std::uint64_t now) const = 0;
};

// What a serial port adds to a device: the comm functions of the seam.
class CommPort : public Device {
public:
    virtual BOOL getState(DCB& dcb) = 0;
    virtual BOOL setState(const DCB& dcb) = 0;
    virtual BOOL getTimeouts(COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL setTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL purge(DWORD flags) = 0;
    virtual BOOL clearError(DWORD* errors, COMSTAT* status) = 0;
};

// An open handle on a device.
class File final : public Object {
public:
    File(std::string path, std::shared_ptr<Device> device, DWORD flags, DWORD share)
        : path(std::move(path)), device(std::move(device)), flags(flags), share(share) {}
    const char* kind() const override { return "file"; }
    std::string path;
    std::shared_ptr<Device> device;
    DWORD flags;
    DWORD share;
    bool gone = false; // the device was unplugged while this handle was open
};

// A registry key opened from a device node.
class RegKey final : public Object {
public:
    const char* kind() const override { return "key"; }
    std::map<std::string, std::string> values; // name (upper case) -> bytes as stored
};

// A device interface as SetupDiEnumDeviceInterfaces reports it.
struct Interface {
    GUID classGuid{};
    std::string path;
    bool enumFails = false;   // SetupDiEnumDeviceInterfaces fails at this index (a gap)
    bool detailFails = false; // SetupDiGetDeviceInterfaceDetailA fails for it
};

// A device node as SetupDiEnumDeviceInfo reports it.
struct DevNode {
    std::string enumerator;                       // "USB", "FTDIBUS", ...
    std::optional<std::string> hardwareIds;       // REG_MULTI_SZ bytes as stored; none: no property
    std::map<std::string, std::string> deviceKey; // hardware key values, name -> bytes as stored
    bool keyOpenFails = false;
};

// A device-information set: a snapshot taken by SetupDiGetClassDevsA.
class DevInfoSet final : public Object {
public:
    const char* kind() const override { return "devinfo"; }
    std::vector<Interface> interfaces;
    std::vector<DevNode> nodes;
};

// A loadable library image on the simulated disk.
struct ModuleImage {
    std::string path; // full path, e.g. C:\Windows\system32\hid.dll
    std::map<std::string, FARPROC> exports;
};

class Machine {
public:
    static Machine& instance();

    // A fresh machine: no devices, no handles, counters and faults cleared, the
    // clock at 0 in virtual mode, Windows NT 6.1, both libraries in the system
    // directory with every export, the program where it really is.
    void reset();

    // --- clock ---
    std::uint64_t now() const;
    void setTickCount(DWORD ticks); // moves the clock (e.g. near the 32-bit wrap)
    void advance(std::uint64_t ms);
    void advanceTo(std::uint64_t when); // fires scheduled actions and moves transfers on
    void schedule(std::uint64_t when, std::function<void()> action);
    void setRealTime(bool on); // the clock follows real time; waits really wait
    bool realTime() const { return realTime_; }
    // Something outside the machine that must be looked at while the station
    // runs (a device model fed from another process): called at the start of
    // every seam call and at every step of a real-time wait, never from inside
    // a transfer's progress, so it may plug and unplug devices.
    void addPoller(std::function<void()> poller);

    // --- version, error mode, program path ---
    void setVersion(DWORD platformId, DWORD major, DWORD minor);
    UINT errorMode() const { return errorMode_; }
    UINT swapErrorMode(UINT mode) { return std::exchange(errorMode_, mode); }
    void setModuleFileName(std::string path);
    const std::string& moduleFileName() const { return moduleFileName_; }
    std::string systemDirectory() const { return "C:\\Windows\\system32"; }

    // --- libraries ---
    // Places a library image at a full path ("C:\Station\HID.dll" plants one beside the program).
    void placeModule(ModuleImage image);
    void removeModule(std::string_view fileName); // from the system directory
    void removeExport(std::string_view fileName, std::string_view exportName);
    void setExport(std::string_view fileName, std::string_view exportName, FARPROC address);
    int loadCount(std::string_view path) const; // references held on the image at that path
    std::string loadedPath(HMODULE module) const;
    // LoadLibraryA's search: a full path as given; a bare name in the program's
    // directory first, then in the system directory.
    HMODULE loadModule(std::string_view fileName);
    bool freeModule(HMODULE module);
    FARPROC procAddress(HMODULE module, std::string_view name) const;

    // --- calls and faults ---
    // Counts the call and returns the error to fail it with, or 0 to run it.
    DWORD enter(const char* function);
    std::uint64_t calls(std::string_view function) const;
    const std::map<std::string, std::uint64_t, std::less<>>& allCalls() const { return calls_; }
    void clearCalls() { calls_.clear(); }
    // Fails the nth call (counted from reset, 1-based) of a function with the error.
    void failCall(std::string function, std::uint64_t nth, DWORD error);
    // Fails every call of a function from now on (error 0 lifts it).
    void failAlways(std::string function, DWORD error);

    // --- handles ---
    HANDLE add(std::shared_ptr<Object> object);
    template <class T> std::shared_ptr<T> get(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(lookup(handle));
    }
    std::shared_ptr<Object> lookup(HANDLE handle) const;
    bool close(HANDLE handle);
    std::size_t openHandles() const { return handles_.size(); }
    std::size_t openHandles(std::string_view kind) const;

    // --- devices ---
    void addDevice(std::string path, std::shared_ptr<Device> device);
    // Unplugs the device: its path no longer opens, transfers on it fail.
    void removeDevice(std::string_view path);
    std::shared_ptr<Device> device(std::string_view path) const;
    // An open on the device with this share mode collides with a handle already open.
    bool sharingConflict(const std::shared_ptr<Device>& device, DWORD share) const;
    std::vector<Interface> interfaces;                     // in enumeration order
    std::vector<DevNode> nodes;                            // in enumeration order
    std::map<std::string, std::shared_ptr<Object>> extras; // models keep their own state here

    // --- overlapped transfers ---
    // Starts a transfer on a file; returns it complete, or pending (registered).
    std::shared_ptr<Io> startIo(HANDLE handle, const std::shared_ptr<File>& file, Io io,
                                OVERLAPPED* overlapped);
    // Runs the machine until the event is signalled or the deadline passes.
    bool waitEvent(const std::shared_ptr<Event>& event, std::uint64_t deadline);
    // Runs a plain (synchronous) transfer to its end.
    void runToCompletion(const std::shared_ptr<File>& file, Io& io);
    void cancelIo(HANDLE file);
    // Runs once at the next CancelIo, before the cancellation reaches any
    // transfer: what happens in the instant between a wait's time-out and the
    // cancel (a key pressed just then, a held write let go). A transfer it lets
    // finish completes after all, as Windows completes a request the driver had
    // already finished when the cancel came.
    void beforeNextCancel(std::function<void()> action) { beforeCancel_ = std::move(action); }
    // A pending transfer of this record, or null.
    std::shared_ptr<Io> pendingFor(const OVERLAPPED* overlapped) const;
    bool completeWaiting(const OVERLAPPED* overlapped); // GetOverlappedResult with waiting
    std::size_t pendingTransfers() const { return pending_.size(); }

    // Broken promises seen by the machine (a record released while its transfer
    // ran on, a wait that could never end, ...). Tests expect none.
    const std::vector<std::string>& violations() const { return violations_; }
    void violation(std::string what);

    DWORD lastError() const { return lastError_; }
    void setLastError(DWORD error) { lastError_ = error; }

    OSVERSIONINFOA version{};

private:
    Machine();
    struct Pending {
        std::shared_ptr<File> file;
        HANDLE fileHandle;
        OVERLAPPED* overlapped;
        HANDLE event; // as the record named it when the transfer began
        std::shared_ptr<Io> io;
    };
    void pump();
    void poll();
    void waitUntil(std::uint64_t when); // a waiting call's step towards when
    std::uint64_t nextWake() const;
    void finish(Pending& p);

    std::uint64_t clock_ = 0;
    bool realTime_ = false;
    std::int64_t realOffset_ = 0;
    UINT errorMode_ = 0;
    DWORD lastError_ = 0;
    std::string moduleFileName_;
    std::vector<ModuleImage> images_;
    std::map<std::string, int> loaded_; // upper-case path -> references
    std::map<std::string, std::uint64_t, std::less<>> calls_;
    std::map<std::pair<std::string, std::uint64_t>, DWORD> faults_;
    std::map<std::string, DWORD> alwaysFail_;
    std::map<std::uintptr_t, std::shared_ptr<Object>> handles_;
    std::uintptr_t nextHandle_ = 0x100;
    std::map<std::string, std::shared_ptr<Device>> devices_; // upper-case path
    std::multimap<std::uint64_t, std::function<void()>> scheduled_;
    std::vector<Pending> pending_;
    std::vector<std::string> violations_;
    std::vector<std::function<void()>> pollers_;
    bool polling_ = false;
    std::function<void()> beforeCancel_;
};

inline Machine& machine() {
    return Machine::instance();
}

// The simulated machine as a seam backend.
const win::Backend& backend();

// Upper-cases ASCII letters only, as Windows does for names it matches without regard to case.
std::string upper(std::string_view text);

// The export tables of the two libraries, before any test changes them. The
// HID and device-setup models add their functions through these hooks.
std::map<std::string, FARPROC> hidExports();
std::map<std::string, FARPROC> setupApiExports();

} // namespace sim
