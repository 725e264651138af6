// Files and folders: the program's own path, the current directory, folder
// creation, file existence and deletion, and the mapping of the system's
// Windows-style names onto native paths.
//
// Every function here may be called from any thread; the current directory
// is the process's, shared by all threads.
//
// Names. Every function that takes a name maps it with NativePath first:
//   - a drive name "C:\Program_TKV1" (letter in either case) is the folder
//     drive_c/Program_TKV1 under DataFolder(); other letters give drive_d,
//     drive_e, ... beside it; "C:" alone is that drive's folder, and "C:x"
//     counts as "C:\x";
//   - `\` is a separator like `/`, so "sub\file.txt" is "sub/file.txt";
//   - a relative name stays relative, so it is relative to the current
//     directory;
//   - a native absolute path ("/...") passes through unchanged.
// Names are case-sensitive, as the native file system is.
#pragma once

#include <string>

namespace platform {

// The folder for the program's own data: $XDG_DATA_HOME/tkv-setup, or
// ~/.local/share/tkv-setup when XDG_DATA_HOME is unset, empty or not
// absolute. Read from the environment at every call. No trailing `/`.
std::string DataFolder();
// The native form of a name (see above).
std::string NativePath(const std::string& name);

// The program's own path, native and absolute ("" if the system cannot
// tell it).
std::string GetModuleFileName();
// The folder of the program's own path, native, with a trailing `/`.
std::string ProgramFolder();

// The current directory, native and absolute, without a trailing `/`
// (except for "/" itself). "" if it cannot be read (it was removed).
std::string GetCurrentDirectory();
// Makes the folder the current directory; false if it does not exist or
// cannot be entered.
bool SetCurrentDirectory(const std::string& folder);

// Creates the folder together with any missing parent folders. True when the
// folder exists afterwards (also when it existed before).
bool ForceDirectories(const std::string& folder);
bool DirectoryExists(const std::string& folder);
// True for an existing file that is not a folder.
bool FileExists(const std::string& fileName);
// Deletes a file (never a folder); false if there was none or it could not
// be deleted.
bool DeleteFile(const std::string& fileName);

// The run-time input/output error number of a failed file call's errno:
// 3 "Path not found", 4 "Too many open files", 5 "File access denied",
// 101 "Disk is full", 150 "Disk is write-protected", 160 "Device write
// error". The numbers are those of the system's error texts.
int RunTimeError(int error);

}  // namespace platform
