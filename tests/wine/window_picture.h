// Screen pictures for the tests that save what a person would see (Hangul, layout, icons).
#pragma once
#include <windows.h>

#include <string>

// Writes the screen area that hWnd covers now as a 24-bit .bmp file. False if the file could
// not be written. The caller makes sure the window has painted.
bool WriteWindowAreaBmp(HWND hWnd, const std::wstring& strPath);
