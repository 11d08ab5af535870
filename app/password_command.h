// pellarin.exe's settings-password commands, for an administrator and for the installer:
//   --set-settings-password         the new password twice from the console (not echoed), or
//                                   once, one line, from standard input when that is a file or
//                                   a pipe (scripts);
//   --set-settings-password=TEXT    the rest of the command line is the password (the
//                                   installer's SETTINGSPASSWORD; no other program needs it);
//   --clear-settings-password       removes the stored one: the built-in password counts again.
// Messages go to standard output, or to the console the program was started from. Exit code
// 0 when done, 1 when nothing was stored (the two did not match, an empty or overlong
// password), 2 when Windows refused the write (administrator rights needed), 3 on another
// failure.
#pragma once

// True when the command line is one of these commands; it has then run, and *pnExitCode is
// the process's exit code.
bool RunSettingsPasswordCommand(int* pnExitCode);
