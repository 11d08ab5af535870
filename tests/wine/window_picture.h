// Screen pictures for the tests and the demo that save what a person would see (Hangul, layout,
// icons, the open tray menu).
#pragma once
#include <windows.h>

#include <string>

// A picture with fewer distinct colours than this is taken as blank: a painted window (caption
// bar, frame, text, buttons) shows dozens, an empty stretch of desktop or an unpainted surface
// one or two.
constexpr int kMinPictureColours = 8;

// True while hWnd or one of its visible child windows still has a region waiting to be
// painted: a picture taken then would miss what is about to be drawn.
bool HasPendingPaint(HWND hWnd);

// Writes the screen area that hWnd covers now as a 24-bit .bmp file and counts the picture's
// distinct colours into *pnColours (when given). False if the file could not be written or the
// picture is blank (the file is written all the same, for a person to look at). The caller
// makes sure the window has painted.
bool WriteWindowAreaBmp(HWND hWnd, const std::wstring& strPath, int* pnColours = nullptr);
