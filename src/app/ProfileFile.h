// The counters file: a Windows settings (profile) file of sections and
// key=value lines, read and written through the seam's profile functions.
//
// Nothing is cached here: every write goes to the file at once, and a write
// that the system refuses raises ProfileWriteError, which the window's error
// handler turns into an error box (the one exception the station raises).
#pragma once

#include "Utf16.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// "Unable to write to <full path>".
class ProfileWriteError : public std::runtime_error {
public:
    explicit ProfileWriteError(const std::string& path);
};

// "Unable to use <full path>: ..." when the file's path is too long for the
// system's profile functions (ProfileFile::reachable).
class ProfilePathError : public std::runtime_error {
public:
    explicit ProfilePathError(const std::string& path);
};

class ProfileFile {
public:
    // Opening reads and creates nothing; the first write creates the file. An
    // empty path names no file: reads give their default, writes are refused.
    explicit ProfileFile(std::string path);

    const std::string& path() const { return path_; }

    // False when the profile functions cannot be given the file at all: its
    // path is too long for this system and has no short form that is short
    // enough. Reads then give their default and writes are refused, without
    // asking the system (Wine's profile functions read and write a name made
    // of what lies on their stack when given a path that long).
    bool reachable() const { return reachable_; }

    // The key's text as a signed 32-bit integer. A missing file, section or
    // key gives defaultValue; text that is not a decimal number in range gives
    // defaultValue as well.
    std::int32_t readInteger(const char* section, const char* key, std::int32_t defaultValue) const;

    // Writes the value as decimal text. Throws ProfileWriteError when the file
    // cannot be written.
    void writeInteger(const char* section, const char* key, std::int32_t value);

private:
    std::string path_; // UTF-8, as the error boxes show it
    WideString name_;  // what the profile functions are given
    bool reachable_;
};

// Decimal text to a signed 32-bit integer: an optional sign and digits, nothing
// else, in range; defaultValue otherwise.
std::int32_t parseInteger(std::string_view text, std::int32_t defaultValue);

// The path of a file that lives beside the program (UTF-8): everything of the
// program's path up to and including its last '\' or '/', then fileName.
std::string pathBesideProgram(std::string_view programPath, std::string_view fileName);

// The program's own path as the system reports it (GetModuleFileNameW), in UTF-8.
std::string programPath();

// The station's counters file: "test.ini" beside the program. Empty when the
// program's own path is not known: a bare file name would land in the working
// directory (on Windows, the Windows directory), splitting the counts between
// two files.
std::string countersFilePath();
