// Screen pictures for the tests and the demo: the window's screen area through a memory
// bitmap, written as a bottom-up 24-bit .bmp that any viewer (and ImageMagick's convert) reads.
// A window that was hidden again, or not yet painted, when its picture was taken leaves a
// one-colour picture that would pass for a screenshot; its colours are counted so that the
// caller learns of it.
#include "tests/wine/window_picture.h"

#include <unordered_set>
#include <vector>

namespace {

int CountColours(const std::vector<BYTE>& bits, int cx, int cy, DWORD cbStride)
{
    std::unordered_set<DWORD> colours;
    for (int y = 0; y < cy; ++y) {
        const BYTE* pRow = bits.data() + static_cast<size_t>(y) * cbStride;
        for (int x = 0; x < cx; ++x)
            colours.insert(pRow[3 * x] | (pRow[3 * x + 1] << 8) | (pRow[3 * x + 2] << 16));
    }
    return static_cast<int>(colours.size());
}

// A named CALLBACK: on i686 a lambda does not convert to the stdcall WNDENUMPROC.
BOOL CALLBACK ChildNeedsPaint(HWND hChild, LPARAM lParam)
{
    if (IsWindowVisible(hChild) && GetUpdateRect(hChild, nullptr, FALSE))
        *reinterpret_cast<bool*>(lParam) = true;
    return TRUE;
}

} // namespace

bool HasPendingPaint(HWND hWnd)
{
    bool bPending = GetUpdateRect(hWnd, nullptr, FALSE) != FALSE;
    EnumChildWindows(hWnd, ChildNeedsPaint, reinterpret_cast<LPARAM>(&bPending));
    return bPending;
}

bool WriteWindowAreaBmp(HWND hWnd, const std::wstring& strPath, int* pnColours)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, cx, cy);
    HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    BitBlt(hMem, 0, 0, cx, cy, hScreen, rc.left, rc.top, SRCCOPY);
    SelectObject(hMem, hOld);
    BITMAPINFOHEADER bih = {};
    bih.biSize = sizeof(bih);
    bih.biWidth = cx;
    bih.biHeight = cy;
    bih.biPlanes = 1;
    bih.biBitCount = 24;
    const DWORD cbStride = ((cx * 3 + 3) / 4) * 4;
    std::vector<BYTE> bits(cbStride * cy);
    const bool bRead = cx > 0 && cy > 0 &&
                       GetDIBits(hMem, hBitmap, 0, cy, bits.data(),
                                 reinterpret_cast<BITMAPINFO*>(&bih), DIB_RGB_COLORS) == cy;
    const int nColours = bRead ? CountColours(bits, cx, cy, cbStride) : 0;
    if (pnColours != nullptr)
        *pnColours = nColours;
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    BITMAPFILEHEADER bfh = {};
    bfh.bfType = 0x4D42;
    bfh.bfOffBits = sizeof(bfh) + sizeof(bih);
    bfh.bfSize = bfh.bfOffBits + static_cast<DWORD>(bits.size());
    HANDLE hFile = CreateFileW(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD dw = 0;
    WriteFile(hFile, &bfh, sizeof(bfh), &dw, nullptr);
    WriteFile(hFile, &bih, sizeof(bih), &dw, nullptr);
    WriteFile(hFile, bits.data(), static_cast<DWORD>(bits.size()), &dw, nullptr);
    CloseHandle(hFile);
    return nColours >= kMinPictureColours;
}
