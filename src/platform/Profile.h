// The Windows settings-file (profile) functions, done by us on the real file system.
//
// GetString and WriteString behave as GetPrivateProfileStringA and
// WritePrivateProfileStringA do on a file given by its path; the simulated
// machine answers the seam's two profile functions with them (a Windows build
// calls the real ones instead). What the station relies on, and what Windows
// (and Wine, which copies it) does with files written by hand:
//
// - A file is lines of "[section]" headers and "key=value" entries. Section and
//   key names are matched without regard to the case of ASCII letters; the first
//   matching section is the only one searched, and in it the first matching key
//   wins. Blanks (space, tab, CR, LF, VT, FF and the DOS end-of-file mark 0x1A)
//   around names, values and whole lines are not part of them. Lines end with
//   CR LF, LF or CR alone; the last line needs no end. A UTF-8 byte-order mark
//   at the start is skipped. Anything else (comments, stray text, binary bytes)
//   is kept as it is and never matches.
// - A value enclosed in a pair of the same quote (' or ") is returned without
//   them.
// - Nothing is cached: every call reads the file, and every write that changes
//   it replaces the whole file at once (a new file beside it, then renamed over
//   it), so a failed write leaves the old file as it was.
//
// Where we differ from Windows, on purpose:
// - A file over 64 KiB is no counters file: it is not read (the defaults are
//   given, with ERROR_FILE_TOO_LARGE, 223) and a write to it fails with that
//   error, leaving it untouched.
// - On Linux the file may sit in a directory that a group of operators shares
//   while the station runs as root. The path's last component, when it is a
//   symbolic link, is followed once, and only where no one but its owner (root
//   or the caller) may write its folder: the package's test.ini beside the
//   program, which links into /var/lib. Whatever the file's own folder then
//   holds under its name is never followed: a link, a FIFO, a device, a
//   directory or a file with a second (hard) link is refused with
//   ERROR_ACCESS_DENIED, and nothing outside that folder is read, created or
//   changed. A written file is left mode 0664 with its folder's group, whoever
//   wrote it, so that every operator of the group may write it next; a new
//   file left behind by a writer that died is removed by the next write.
//   Writers of one folder take turns (an exclusive lock on the folder from
//   their read to their rename), so two processes writing different keys never
//   undo each other's changes; a reader never waits.
// - A write that would take the file past 64 KiB fails with
//   ERROR_FILE_TOO_LARGE and leaves it as it was, so that it stays readable.
//
// Every file name should be a full path. A bare name is taken relative to the
// working directory (Windows would use its own directory).
#pragma once

#include "WinConvTypes.h"

namespace profile {

// GetPrivateProfileStringA. Copies the value of key in section into buffer (at
// most size - 1 bytes, then a zero) and returns the number of bytes copied before
// the zero, so a value that does not fit is cut to size - 1. When the file, the
// section or the key is missing, or the key has no '=', the default is copied
// instead (NULL counts as "", trailing spaces are dropped).
// A NULL key lists the section's keys (those with an '=', comments left out) and
// a NULL section lists the file's sections: each name ends with a zero and the
// list with a second one, the result counting all but that last zero; a list
// that does not fit is cut inside its last name, ends with two zeros and returns
// size - 2. An empty key list copies the default; an empty section list is "".
// Nothing is written when buffer is NULL or size is 0 (result 0).
// *lastError (when not NULL) receives the error GetLastError would give:
// ERROR_SUCCESS when a value or a list came from the file, ERROR_FILE_NOT_FOUND
// when the file or the key is missing, ERROR_PATH_NOT_FOUND when its directory
// is, ERROR_ACCESS_DENIED when the path is a directory or cannot be read.
DWORD GetString(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                LPCSTR fileName, DWORD* lastError);

// WritePrivateProfileStringA. Sets key in section to value (leading blanks
// dropped): an existing entry is rewritten as "key=value" in its place, keeping
// the spelling of its name; a new key goes after the section's last entry; a new
// section goes at the end of the file; the file is created by the first write.
// Lines written end with CR LF; every other line is kept byte for byte.
// A NULL value deletes the key, a NULL key deletes the section with all its lines
// (TRUE also when there was nothing to delete; a missing file stays missing).
// A NULL section fails with ERROR_FILE_NOT_FOUND, unless key and value are NULL
// too: that only asks to flush the cache, which there is none of (TRUE).
// FALSE, with *lastError set, when the file cannot be written: ERROR_ACCESS_DENIED
// for a directory, a read-only file or a directory that may not be written,
// ERROR_PATH_NOT_FOUND for a missing directory, ERROR_DISK_FULL (112) for a full
// disk. *lastError is ERROR_SUCCESS after a successful call.
BOOL WriteString(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName, DWORD* lastError);

#ifndef _WIN32
// One station per counters file. A station holds the folder of its counters
// file for as long as it runs; a second station on the same file (through any
// path to it, the package's link included) finds it held and must not start:
// both would drive the one evaluator and write their own counts over each
// other's. The hold stops nobody's reads or writes, this station's own
// included. Stations of files in different folders hold different folders.
class StationHold {
public:
    enum class Outcome {
        Held,          // this station holds the folder now
        HeldElsewhere, // another station runs on this file
        Unknown,       // no folder, or none that can be locked: the station runs as before
    };

    explicit StationHold(LPCSTR fileName);
    ~StationHold();
    StationHold(const StationHold&) = delete;
    StationHold& operator=(const StationHold&) = delete;

    Outcome outcome() const { return outcome_; }

private:
    int folder_ = -1;
    Outcome outcome_ = Outcome::Unknown;
};
#endif

} // namespace profile
