// Where the TLS library finds its settings: environment variables first, then the [TLS]
// section of ssllib32.ini beside the DLL (or the file SSLLIB32_INI names). Read afresh at
// every SSL_StartUp, so a site can change them without restarting the point-of-sale program.
#pragma once
#include "ssl/trust_config.h"

// The folder of this DLL, ending in a backslash.
std::string DllFolder();

TrustSettings LoadTrustSettings();
