// The facts summary.txt reports about this PC and this installation, read from Windows:
// versions and signers of the three binaries, the stored port, the system's COM ports, the
// event source, the Windows version, the time zone, and the effective settings. Nothing here
// changes anything; a fact that cannot be read says so in its value.
#pragma once
#include <string>

#include "diag/summary.h"

// Fills facts and settings of *pFacts (not strCreated or strHealth). strLogFolder is the
// folder the daily files go to, as the relay resolves it.
void GatherSummaryFacts(const std::string& strLogFolder, SummaryFacts* pFacts);

// The folder of the module (pellarin.dll or pellarin.exe) this code is linked into, with a
// trailing backslash.
std::wstring OwnModuleFolder();

// Code page 949 text of a UTF-16 string, and back.
std::string NarrowText(const std::wstring& strText);
std::wstring WideText(const std::string& strText);
