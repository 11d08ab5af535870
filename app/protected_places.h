// Which settings files a standard user cannot have written, and what a setting that loosens
// card protection from any other file comes to.
//
// Why: the relay runs as whatever user starts the point-of-sale program, and ".\config.ini"
// is read from that program's current directory, which may be a folder that user writes.
// A setting that weakens protection (MaskCardNumbers=0) counts only from a config.ini in the
// install folder (pellarin.dll's own folder, which only an administrator can change);
// from anywhere else it is refused with one status line. Settings that only tighten are
// taken from anywhere.
#pragma once
#include <string>

#include "log/log_file_rules.h"

// True when strFile (a full path) lies directly in strFolder (a full path, with or without a
// trailing separator). Case-insensitive for ASCII letters, '/' and '\' alike, as Windows
// compares paths. Platform-free.
bool IsFileInFolder(const std::string& strFile, const std::string& strFolder);

// pellarin.dll's own folder, ending in a backslash; empty when it cannot be learnt.
std::string InstallFolder();

// True when pszIniPath (relative paths from the current directory) names a file in
// InstallFolder().
bool IsProtectedConfigFile(const char* pszIniPath);

// Leaves values as they are, or, when they turn card masking off and pszIniPath is not a
// protected file, turns it back on and answers the status line (code page 949) that says so;
// empty otherwise.
std::string RefuseUnprotectedUnmasking(LogIniValues& values, const char* pszIniPath);
