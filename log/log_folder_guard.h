// Whether the relay may write its log files into a folder it did not make itself.
//
// Why: the log folder (by default %ProgramData%\Pellarin\log) is made by the installer with a
// protected DACL, but on a PC where it is missing any user could make it first, or put a
// junction there, and a relay started later by an administrator would write where that user
// points (or into a folder that user controls). So a folder that is a reparse point (junction
// or symbolic link), or whose owner is neither an administrator, the system nor the relay's
// own user, is refused, and the relay goes on without a file. A folder that does not exist
// yet is not refused: the relay makes it with its own user as the owner.
#pragma once
#include <string>

// False, with the status line (code page 949) in *pstrWhy, when strFolder must not be used.
bool LogFolderAcceptable(const std::string& strFolder, std::string* pstrWhy);

// True when a folder owned by pOwnerSid (a SID) may hold the log: an administrator, the
// system, or the user this process runs as.
bool LogFolderOwnerTrusted(void* pOwnerSid);
