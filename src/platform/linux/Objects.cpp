#include "Objects.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace lnx {
namespace {
thread_local DWORD currentError = 0;
}

std::uint64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

DWORD lastError() {
    return currentError;
}

void setLastError(DWORD error) {
    currentError = error;
}

DWORD errorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EIO:
    case ENODEV:
    case ENXIO:
    case EPIPE:
    case ESHUTDOWN:
        return ERROR_DEVICE_NOT_CONNECTED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOTTY:
        return ERROR_INVALID_FUNCTION;
    default:
        return ERROR_GEN_FAILURE;
    }
}

File::~File() {
    if (fd >= 0) {
        // The lock goes with the last descriptor of the open file; the
        // explicit unlock only makes the order plain.
        (void)flock(fd, LOCK_UN);
        (void)::close(fd);
    }
}

HANDLE Handles::add(std::shared_ptr<Object> object) {
    std::uintptr_t id = next_;
    next_ += 4;
    objects_.emplace(id, std::move(object));
    return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<Object> Handles::find(HANDLE handle) const {
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
}

bool Handles::close(HANDLE handle) {
    return objects_.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

Handles& handles() {
    static Handles table;
    return table;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::size_t openHandles() {
    return handles().size();
}

} // namespace lnx
