// Starting programs: WinExec and the splitting of a command line.
//
// Any thread may call these. A started program is detached: it runs in a
// session of its own, is not our child (nobody has to wait for it) and
// outlives us.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Show states. The program starts without a window of ours, so the state is
// accepted and not used.
constexpr std::uint32_t SW_HIDE = 0;
constexpr std::uint32_t SW_SHOWNORMAL = 1;
constexpr std::uint32_t SW_SHOWMINIMIZED = 2;
constexpr std::uint32_t SW_SHOWMAXIMIZED = 3;
constexpr std::uint32_t SW_SHOW = 5;

// WinExec's results below 32: what went wrong.
constexpr std::uint32_t ERROR_OUT_OF_RESOURCES = 0;  // no process could be made
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;    // no such program (or interpreter)
constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;    // a folder of the name is missing
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;     // the program may not be read or run
constexpr std::uint32_t ERROR_BAD_FORMAT = 11;       // not a program that runs here
// WinExec's result on success.
constexpr std::uint32_t WINEXEC_STARTED = 33;

// Starts the program named by the first word of the command line with the
// other words as its arguments; returns WINEXEC_STARTED (>= 32) once the
// program runs, an ERROR_ code above otherwise.
//
// The name is mapped like every file name (platform/Files.h) and looked up
// as given, then with ".exe" added (unless it ends in ".exe" already); a
// name without a folder is looked up in the current directory only. A
// native executable (ELF) or a "#!" script runs directly, after the owner's
// execute bit has been added to it (every file may be run on the original
// platform); a Windows executable ("MZ") runs through `wine` when it is on
// the PATH, else ERROR_BAD_FORMAT; anything else is ERROR_BAD_FORMAT. No
// shell is involved. The program inherits the current directory and the
// environment, reads from /dev/null, and writes to our output and error.
std::uint32_t WinExec(const std::string& commandLine, std::uint32_t showState);

// The words of a command line as the original platform's programs split
// it: the program name ends at white space unless quoted; in the arguments
// double quotes group, 2n backslashes before a quote are n backslashes and
// the quote groups, 2n+1 are n backslashes and a literal quote, other
// backslashes are literal.
std::vector<std::string> CommandLineToArgv(const std::string& commandLine);

}  // namespace platform
