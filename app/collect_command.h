// pellarin.exe --collect [FOLDER]: writes the diagnostics bundle (default: the current
// user's desktop) without starting the relay, says where it went and ends.
#pragma once

// True when the command line holds --collect; then the bundle has been written (or not) and
// *pnExitCode is the process's exit code: 0 written, 2 the folder cannot be written, 3 another
// bundle is being written, 4 writing failed midway.
bool RunCollectCommand(int* pnExitCode);
