// ssllib32.dll, loaded from pellarin.dll's own folder by its full path.
//
// Why not an import: a point-of-sale program that loads pellarin.dll by its full path would
// have Windows look for an imported ssllib32.dll in that program's folder, the system
// folders, the current directory and PATH, never beside pellarin.dll: without a copy there
// the relay would not load, and a copy planted in any of those places would see every
// payment in clear. So pellarin.dll defines the five SSL_ functions itself (ssl/ssllib32.h)
// and forwards them to the library loaded from its own folder, and only from there.
//
// LoadSslLibrary runs once on the user-interface thread during initialisation, before any
// connection; afterwards the entry points are only read, from any thread.
#pragma once
#include <string>
#include <vector>

// Loads ssllib32.dll from the folder of pellarin.dll. Empty on success (or when it was
// loaded before); otherwise the status line (code page 949) that says what is missing. While
// it is not loaded, SSL_StartUp answers 0 (a "#2" connect error) and the others fail.
std::string LoadSslLibrary();

// One status line (code page 949) per environment variable of this process that would loosen
// the TLS library's verification, which the library refuses (ssl/trust_config.h).
std::vector<std::string> RefusedTlsEnvironment();
