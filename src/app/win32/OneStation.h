// One station per counters file on Windows. Two copies started in one folder
// would both drive the one evaluator (Wine even lets both open its COM port:
// every frame twice, good units failed) and each would write the counts it
// read at its start over the other's. So a station claims its counters file
// with a named mutex made from the file's path, as Windows compares paths; a
// second copy finds it taken, brings the running station's window to the
// front and ends, as single-instance Windows programs do.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The path as Windows compares it: the full path (relative parts, '/' and
// trailing dots and spaces resolved), the folder's short 8.3 names spelled
// out where the folder exists, upper case.
std::wstring comparablePath(const std::wstring& path);

class StationClaim {
public:
    // Claims the counters file at this path (UTF-8). An empty path (no
    // program path known) claims nothing and is never held elsewhere.
    explicit StationClaim(const std::string& countersPath);
    ~StationClaim();
    StationClaim(const StationClaim&) = delete;
    StationClaim& operator=(const StationClaim&) = delete;

    // Another station runs on this file, in this session or another one.
    bool heldElsewhere() const { return heldElsewhere_; }
    // Marks this station's window as the one of this file, for a second copy.
    void mark(HWND window) const;
    // Restores and brings to the front the window of the station that holds
    // the file, waiting a little for one that is still starting; false when
    // none is found (it runs in another session).
    bool bringHolderToFront() const;

private:
    HANDLE mutex_ = nullptr;
    std::uint64_t key_ = 0;
    bool heldElsewhere_ = false;
};
