// The settings store against the platform: the stored port in the registry (config.ini is
// read by config_ini.*). ANSI functions throughout, so the key path's Hangul travels as code
// page 949 bytes. Nothing here reports an error to the user; every failure is a result.
// Runs on the user-interface thread.
#pragma once
#include <windows.h>

#include <string>

// Reads "COM Port" (at most SETTINGS_PORT_READ_LIMIT bytes, type not checked) into strPort. 1
// on success; 0 when the key cannot be opened for reading, or the value is missing, longer
// than that, or holds a name longer than SETTINGS_PORT_MAX_CHARS (strPort is then unchanged).
int ReadStoredPort(std::string& strPort);

// Creates or opens the key and writes "COM Port" and "Version" (PortValuesToStore). 1 when
// "Version" was written, 0 otherwise; *plError (when given) takes the registry's answer
// (ERROR_ACCESS_DENIED for a standard user).
int WriteStoredPort(const char* pszPort, LONG* plError = nullptr);
