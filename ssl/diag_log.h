// Diagnostics of the TLS library: every line goes to OutputDebugStringA and is appended to
// the log file named by the settings (ssllib32.log beside the DLL by default).
//
// Lines are rare (a failed start, a rejected certificate, the verification opt-out warning),
// so the file is opened for each line; a process-wide lock keeps lines whole when threads
// write at once. The file is rotated to NAME.1 past 1 MiB so a lab machine left with the
// opt-out on cannot fill its disk. A file that cannot be written loses only the file copy.
#pragma once
#include <string>

void DiagLine(const std::string& strLogFile, const char* fmt, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;
