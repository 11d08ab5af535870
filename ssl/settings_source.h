// Where the TLS library finds its settings: the [TLS] section of ssllib32.ini beside the DLL,
// and the environment for what may only tighten (trust_config.h). Read afresh at every
// SSL_StartUp, so a site can change them without restarting the point-of-sale program. The
// log file is ssllib32.log in the relay's log folder ([LOG] Dir of .\config.ini, by default
// %ProgramData%\Pellarin\log) unless the file names another.
#pragma once
#include "ssl/trust_config.h"

// The folder of this DLL, ending in a backslash.
std::string DllFolder();

TrustSettings LoadTrustSettings();
