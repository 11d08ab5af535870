// winprobe: acts on the relay's windows from outside, as a user or the shell would.
//
// The end-to-end tests run pellarin.exe under Wine and need to see and drive it without any
// hook inside it. This console program runs in the same Wine prefix (so it shares the
// window station) and uses only what any other process may use: find top-level windows,
// read texts with WM_GETTEXT (Wine marshals it across processes), send or post messages,
// press message-box buttons, read the registry. Every answer is one UTF-8 JSON line on
// stdout; arguments come as UTF-8 (GetCommandLineW) or, in "repl" mode, as tab-separated
// lines on stdin, which spares the Wine start-up per command.
//
// Windows are told apart by the process that owns them, never by caption alone: --pid, or
// --image (the full path of the owner's program file, so a test that runs pellarin.exe from a
// folder of its own finds only that copy's windows). "procs" lists the prefix's processes
// with their program files and "kill" ends one by its id, so the harness can learn the id of
// what it started and end what a failed test left behind.
//
// "tray-shell" mode plays the notification area: Wine's Shell_NotifyIcon finds the first
// top-level window of class "Shell_TrayWnd" and sends it WM_COPYDATA (dwData = the NIM_
// code) with a fixed-layout icon record followed by the icon's mask and colour bits. We own
// such a window, answer TRUE and log each call with a hash of the bits, so a test can tell
// which picture the program handed to the shell.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/wine/window_picture.h"

namespace {

typedef std::map<std::wstring, std::wstring> Args;

std::string Utf8(const std::wstring& w)
{
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring Wide(const std::string& s)
{
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    return w;
}

// A JSON string literal of a wide text; control characters escaped as \u00XX.
std::string Json(const std::wstring& w)
{
    std::string in = Utf8(w), out = "\"";
    for (unsigned char c : in) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

void Emit(const std::string& line)
{
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string Fail(const char* error)
{
    return std::string("{\"ok\":false,\"error\":\"") + error + "\"}";
}

bool Has(const Args& a, const wchar_t* k)
{
    return a.count(k) != 0;
}
std::wstring Str(const Args& a, const wchar_t* k)
{
    auto it = a.find(k);
    return it == a.end() ? std::wstring() : it->second;
}
long long Num(const Args& a, const wchar_t* k, long long dflt)
{
    auto it = a.find(k);
    return it == a.end() ? dflt : wcstoll(it->second.c_str(), nullptr, 0);
}
HWND Hwnd(const Args& a)
{
    return (HWND)(INT_PTR)Num(a, L"hwnd", 0);
}

std::wstring ClassOf(HWND h)
{
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 255);
    return buf;
}

// Window text through WM_GETTEXT with a time-out, so a hung target cannot hang the tests.
bool TextOf(HWND h, std::wstring* out)
{
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len)) return false;
    std::vector<wchar_t> buf(len + 64);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), (LPARAM)buf.data(), SMTO_ABORTIFHUNG, 5000,
                             &got))
        return false;
    out->assign(buf.data(), got < buf.size() ? got : buf.size() - 1);
    return true;
}

// Caption as the window manager holds it: sends nothing, so a busy owner cannot stall us.
// (An edit control keeps its own text; TextOf reads that.)
std::wstring CaptionOf(HWND h)
{
    wchar_t buf[1024] = {};
    InternalGetWindowText(h, buf, 1023);
    return buf;
}

// The full Windows path of a process's program file, or empty when it cannot be read (the
// process has ended, or is not ours to open).
std::wstring ImageOf(DWORD pid)
{
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!p) return std::wstring();
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD n = MAX_PATH * 2 - 1;
    std::wstring out = QueryFullProcessImageNameW(p, 0, buf, &n) ? std::wstring(buf, n) : L"";
    CloseHandle(p);
    return out;
}

// Paths compare without regard to case or to the kind of slash (Wine hands out either).
bool SamePath(std::wstring a, std::wstring b)
{
    for (auto* s : {&a, &b})
        for (auto& c : *s)
            if (c == L'/') c = L'\\';
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

std::string Describe(HWND h)
{
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(h, &pid);
    std::wstring caption = CaptionOf(h);
    char head[160];
    snprintf(head, sizeof head, "\"hwnd\":%lld,\"pid\":%lu,\"tid\":%lu,\"visible\":%s,",
             (long long)(INT_PTR)h, pid, tid, IsWindowVisible(h) ? "true" : "false");
    return head + std::string("\"class\":") + Json(ClassOf(h)) + ",\"caption\":" + Json(caption) +
           ",\"image\":" + Json(ImageOf(pid));
}

struct Filter {
    const Args* a;
    std::vector<HWND> found;
};

bool Matches(HWND h, const Args& a)
{
    if (Has(a, L"pid")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if ((long long)pid != Num(a, L"pid", 0)) return false;
    }
    if (Has(a, L"class") && ClassOf(h) != Str(a, L"class")) return false;
    if (Has(a, L"caption") && CaptionOf(h) != Str(a, L"caption")) return false;
    if (Has(a, L"visible") && (IsWindowVisible(h) != 0) != (Num(a, L"visible", 1) != 0))
        return false;
    if (Has(a, L"image")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (!SamePath(ImageOf(pid), Str(a, L"image"))) return false;
    }
    return true;
}

BOOL CALLBACK Collect(HWND h, LPARAM p)
{
    Filter* f = (Filter*)p;
    if (Matches(h, *f->a)) f->found.push_back(h);
    return TRUE;
}

std::vector<HWND> TopLevel(const Args& a)
{
    Filter f{&a, {}};
    EnumWindows(Collect, (LPARAM)&f);
    return f.found;
}

// Polls with a bound for a condition the target reaches on its own time.
template <class F>
bool PollUntil(long long timeoutMs, F ready)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (ready()) return true;
        if ((long long)(GetTickCount() - start) >= timeoutMs) return false;
        Sleep(20);
    }
}

HWND Target(const Args& a)
{
    HWND h = Hwnd(a);
    if (Has(a, L"id")) h = GetDlgItem(h, (int)Num(a, L"id", 0));
    return h;
}

struct BoxInfo {
    std::wstring text;
    std::string buttons;
};

BOOL CALLBACK BoxChild(HWND h, LPARAM p)
{
    BoxInfo* b = (BoxInfo*)p;
    std::wstring cls = ClassOf(h), t = CaptionOf(h);
    if (_wcsicmp(cls.c_str(), L"Static") == 0 && !t.empty()) {
        if (!b->text.empty()) b->text += L"\n";
        b->text += t;
    } else if (_wcsicmp(cls.c_str(), L"Button") == 0 && IsWindowVisible(h)) {
        // Only the buttons the user sees: Wine's box holds every kind, the unused ones hidden.
        char head[48];
        snprintf(head, sizeof head, "%s{\"id\":%d,\"text\":", b->buttons.empty() ? "" : ",",
                 GetDlgCtrlID(h));
        b->buttons += head + Json(t) + "}";
    }
    return TRUE;
}

// --- commands ---------------------------------------------------------------------------

std::string CmdFind(const Args& a)
{
    HWND h = nullptr;
    if (!PollUntil(Num(a, L"timeout", 0), [&] {
            auto v = TopLevel(a);
            h = v.empty() ? nullptr : v.front();
            return h != nullptr;
        }))
        return Fail("timeout");
    return "{\"ok\":true," + Describe(h) + "}";
}

std::string CmdList(const Args& a)
{
    std::string out = "{\"ok\":true,\"windows\":[";
    bool first = true;
    for (HWND h : TopLevel(a)) {
        out += (first ? "{" : ",{") + Describe(h) + "}";
        first = false;
    }
    return out + "]}";
}

std::string CmdInfo(const Args& a)
{
    HWND h = Target(a);
    if (!IsWindow(h)) return "{\"ok\":true,\"exists\":false}";
    return "{\"ok\":true,\"exists\":true," + Describe(h) + "}";
}

// Waits until a window is visible, hidden or gone.
std::string CmdWait(const Args& a)
{
    HWND h = Target(a);
    std::wstring state = Str(a, L"state");
    bool ok = PollUntil(Num(a, L"timeout", 0), [&] {
        if (state == L"gone") return !IsWindow(h);
        if (state == L"hidden") return IsWindow(h) && !IsWindowVisible(h);
        return IsWindowVisible(h) != 0;
    });
    return ok ? "{\"ok\":true}" : Fail("timeout");
}

std::string CmdText(const Args& a)
{
    HWND h = Target(a);
    std::wstring t;
    if (!IsWindow(h)) return Fail("no window");
    if (!TextOf(h, &t)) return Fail("no answer");
    return "{\"ok\":true,\"text\":" + Json(t) + "}";
}

std::string CmdMessage(const Args& a, bool post)
{
    HWND h = Target(a);
    UINT msg = (UINT)Num(a, L"msg", 0);
    WPARAM w = (WPARAM)Num(a, L"wparam", 0);
    LPARAM l = (LPARAM)Num(a, L"lparam", 0);
    if (!IsWindow(h)) return Fail("no window");
    if (post) return PostMessageW(h, msg, w, l) ? "{\"ok\":true}" : Fail("post failed");
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG, (UINT)Num(a, L"timeout", 5000), &r))
        return Fail("no answer");
    return "{\"ok\":true,\"result\":" + std::to_string((long long)(LONG_PTR)r) + "}";
}

// WM_COMMAND from a menu: posted by default, since a command may open a modal box and a
// send would wait until someone closes it.
std::string CmdCommand(const Args& a)
{
    Args m = a;
    m[L"msg"] = std::to_wstring(WM_COMMAND);
    m[L"wparam"] = Str(a, L"cmd");
    m[L"lparam"] = L"0";
    return CmdMessage(m, !Has(a, L"send"));
}

// A message box: a dialog of class "#32770" with that caption, and optionally a text part.
std::string CmdBox(const Args& a)
{
    Args f = a;
    f[L"class"] = L"#32770";
    std::wstring part = Str(a, L"contains");
    HWND h = nullptr;
    BoxInfo info;
    bool ok = PollUntil(Num(a, L"timeout", 0), [&] {
        for (HWND c : TopLevel(f)) {
            BoxInfo b;
            EnumChildWindows(c, BoxChild, (LPARAM)&b);
            if (part.empty() || b.text.find(part) != std::wstring::npos) {
                h = c;
                info = b;
                return true;
            }
        }
        return false;
    });
    if (!ok) return Fail("timeout");
    return "{\"ok\":true," + Describe(h) + ",\"text\":" + Json(info.text) + ",\"buttons\":[" +
           info.buttons + "]}";
}

// Presses a dialog button the way a click does: BN_CLICKED from the button to its dialog.
std::string CmdPress(const Args& a)
{
    HWND box = Hwnd(a);
    int id = (int)Num(a, L"button", IDOK);
    HWND button = GetDlgItem(box, id);
    if (!IsWindow(box)) return Fail("no window");
    if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button))
        return Fail("post failed");
    return "{\"ok\":true}";
}

// The keyboard focus of the thread that owns hwnd: where typed keys go.
HWND FocusOf(HWND h)
{
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(h, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

std::string CmdFocus(const Args& a)
{
    HWND h = Hwnd(a);
    if (!IsWindow(h)) return Fail("no window");
    HWND f = FocusOf(h);
    if (!f) return "{\"ok\":true,\"focus\":false}";
    return "{\"ok\":true,\"focus\":true,\"id\":" + std::to_string(GetDlgCtrlID(f)) + "," +
           Describe(f) + "}";
}

// Types text as a keyboard would: one WM_CHAR per character, posted to the control that has
// the focus in hwnd's thread. With --id the control is clicked first (for a combo box, its
// edit field), which gives it the focus, and the characters go there. --select-all first
// selects the field's whole text (as a triple click does), so the typed text replaces it.
std::string CmdType(const Args& a)
{
    HWND h = Hwnd(a);
    if (!IsWindow(h)) return Fail("no window");
    HWND f = nullptr;
    if (Has(a, L"id")) {
        f = GetDlgItem(h, (int)Num(a, L"id", 0));
        if (f && _wcsicmp(ClassOf(f).c_str(), L"ComboBox") == 0) f = GetWindow(f, GW_CHILD);
        if (!IsWindow(f)) return Fail("no control");
        PostMessageW(f, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        PostMessageW(f, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    } else {
        f = FocusOf(h);
    }
    if (!f) return Fail("no focus");
    if (Has(a, L"select-all")) PostMessageW(f, EM_SETSEL, 0, -1);
    for (wchar_t c : Str(a, L"text"))
        if (!PostMessageW(f, WM_CHAR, c, 1)) return Fail("post failed");
    return "{\"ok\":true," + Describe(f) + "}";
}

// A key press (down and up) on the focused control of hwnd's thread: --vk 13 is Return,
// 27 Escape. The owner's message loop sees it as a person's key.
std::string CmdKey(const Args& a)
{
    HWND h = Hwnd(a);
    if (!IsWindow(h)) return Fail("no window");
    HWND f = FocusOf(h);
    if (!f) return Fail("no focus");
    WPARAM vk = (WPARAM)Num(a, L"vk", 0);
    UINT scan = MapVirtualKeyW((UINT)vk, 0);
    if (!PostMessageW(f, WM_KEYDOWN, vk, 1 | (scan << 16)) ||
        !PostMessageW(f, WM_KEYUP, vk, 1 | (scan << 16) | 0xC0000000u))
        return Fail("post failed");
    return "{\"ok\":true," + Describe(f) + "}";
}

// Clicks a push button with the mouse (BM_CLICK: button down and up on it), which also moves
// the focus to the button, as a real click does. Posted: the click may open a modal box.
std::string CmdClick(const Args& a)
{
    HWND button = GetDlgItem(Hwnd(a), (int)Num(a, L"button", IDOK));
    if (!IsWindow(button)) return Fail("no button");
    return PostMessageW(button, BM_CLICK, 0, 0) ? "{\"ok\":true}" : Fail("post failed");
}

// A registry value, read through the 32- or 64-bit view ("view" 32 or 64).
std::string CmdReg(const Args& a)
{
    std::wstring path = Str(a, L"key");
    HKEY root = HKEY_LOCAL_MACHINE;
    size_t cut = path.find(L'\\');
    std::wstring rootName = path.substr(0, cut);
    if (rootName == L"HKCU" || rootName == L"HKEY_CURRENT_USER") root = HKEY_CURRENT_USER;
    std::wstring sub = cut == std::wstring::npos ? L"" : path.substr(cut + 1);
    REGSAM view = Num(a, L"view", 32) == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    std::wstring name = Str(a, L"value");
    HKEY key;
    // --set TEXT stores a REG_SZ and --delete removes the value, to give a run a known start.
    if (Has(a, L"set") || Has(a, L"delete")) {
        if (RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return Fail("cannot create key");
        std::wstring text = Str(a, L"set");
        if (Has(a, L"set"))
            RegSetValueExW(key, name.c_str(), 0, REG_SZ, (const BYTE*)text.c_str(),
                           (DWORD)(text.size() + 1) * 2);
        else
            RegDeleteValueW(key, name.c_str());
        RegCloseKey(key);
    }
    if (RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return "{\"ok\":true,\"exists\":false}";
    DWORD type = 0, size = 0;
    LONG r = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data(size + 2);
    if (r == ERROR_SUCCESS)
        r = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return "{\"ok\":true,\"exists\":false}";
    std::string hex;
    for (DWORD i = 0; i < size; i++) {
        char b[3];
        snprintf(b, sizeof b, "%02x", data[i]);
        hex += b;
    }
    std::string out = "{\"ok\":true,\"exists\":true,\"type\":" + std::to_string(type) +
                      ",\"hex\":\"" + hex + "\"";
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        out += ",\"text\":" + Json(std::wstring((const wchar_t*)data.data(),
                                                wcsnlen((const wchar_t*)data.data(), size / 2)));
    return out + "}";
}

// Processes of the prefix, optionally only those of one program file name (--name, e.g.
// pellarin.exe) or one full path (--image).
std::string CmdProcs(const Args& a)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return Fail("no process snapshot");
    std::string out = "{\"ok\":true,\"procs\":[";
    bool first = true;
    PROCESSENTRY32W pe;
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32FirstW(snap, &pe); more; more = Process32NextW(snap, &pe)) {
        if (Has(a, L"name") && _wcsicmp(pe.szExeFile, Str(a, L"name").c_str()) != 0) continue;
        std::wstring image = ImageOf(pe.th32ProcessID);
        if (Has(a, L"image") && !SamePath(image, Str(a, L"image"))) continue;
        char head[96];
        snprintf(head, sizeof head, "%s{\"pid\":%lu,\"parent\":%lu,\"threads\":%lu,\"name\":",
                 first ? "" : ",", pe.th32ProcessID, pe.th32ParentProcessID, pe.cntThreads);
        out += head + Json(pe.szExeFile) + ",\"image\":" + Json(image) + "}";
        first = false;
    }
    CloseHandle(snap);
    return out + "]}";
}

// Ends a process by id and waits (--timeout ms, default 5000) until it has ended.
std::string CmdKill(const Args& a)
{
    // With --image, only a process of that program file: ids are reused, and the one the
    // caller saw may have ended and its id gone to another process.
    DWORD pid = (DWORD)Num(a, L"pid", 0);
    if (Has(a, L"image") && !SamePath(ImageOf(pid), Str(a, L"image")))
        return "{\"ok\":true,\"existed\":false}";
    HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!p) return "{\"ok\":true,\"existed\":false}";
    BOOL ended = WaitForSingleObject(p, 0) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(p, (UINT)Num(a, L"code", 1));
        ended = WaitForSingleObject(p, (DWORD)Num(a, L"timeout", 5000)) == WAIT_OBJECT_0;
    }
    CloseHandle(p);
    return ended ? "{\"ok\":true,\"existed\":true}" : Fail("still running");
}

// --- tray shell --------------------------------------------------------------------------

// Wine's own fixed-layout record for one notification-area call (same in 32- and 64-bit
// processes), followed in the copy by the mask bits and then the colour bits of the icon.
struct NotifyData {
    LONG hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    UINT uTimeout;
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    UINT width;
    UINT height;
    UINT planes;
    UINT bpp;
};
static_assert(sizeof(NotifyData) == 960, "Wine's notify record is 960 bytes");

unsigned long long Fnv1a(const BYTE* p, size_t n)
{
    unsigned long long h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

// Milliseconds the tray shell holds every call before it answers (a hung or slow shell); set
// by a "delay N" line on its standard input.
volatile LONG g_trayDelayMs = 0;

LRESULT CALLBACK TrayProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    if (msg != WM_COPYDATA) return DefWindowProcW(h, msg, w, l);
    if (LONG delay = g_trayDelayMs) {
        Emit("{\"ev\":\"held\",\"ms\":" + std::to_string(delay) + "}");
        Sleep((DWORD)delay);
    }
    const COPYDATASTRUCT* cds = (const COPYDATASTRUCT*)l;
    static const char* const ops[] = {"ADD", "MODIFY", "DELETE", "SETFOCUS", "SETVERSION"};
    if (cds->cbData < sizeof(NotifyData)) {
        Emit("{\"ev\":\"copydata\",\"size\":" + std::to_string(cds->cbData) + "}");
        return TRUE;
    }
    NotifyData nd;
    memcpy(&nd, cds->lpData, sizeof nd);
    std::string op = cds->dwData < 5 ? ops[cds->dwData] : std::to_string(cds->dwData);
    char head[256];
    snprintf(
        head, sizeof head,
        "{\"ev\":\"tray\",\"op\":\"%s\",\"t\":%lu,\"owner\":%ld,\"id\":%u,\"flags\":%u,\"msg\":%u",
        op.c_str(), GetTickCount(), nd.hWnd, nd.uID, nd.uFlags, nd.uCallbackMessage);
    std::string line = head;
    if (nd.uFlags & NIF_TIP)
        line += ",\"tip\":" + Json(std::wstring(nd.szTip, wcsnlen(nd.szTip, 128)));
    size_t bits = cds->cbData - sizeof nd;
    if ((nd.uFlags & NIF_ICON) && bits > 0) {
        char icon[128];
        snprintf(icon, sizeof icon,
                 ",\"icon\":\"%016llx\",\"w\":%u,\"h\":%u,\"bpp\":%u,\"bits\":%u",
                 Fnv1a((const BYTE*)cds->lpData + sizeof nd, bits), nd.width, nd.height, nd.bpp,
                 (unsigned)bits);
        line += icon;
    }
    Emit(line + "}");
    return TRUE;
}

// Ends the tray shell when its standard input closes, so the harness needs no kill; a line
// "delay N" makes it hold every later call N ms before answering.
DWORD WINAPI WatchStdin(LPVOID thread)
{
    char buf[256];
    DWORD got;
    std::string line;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got > 0) {
        line.append(buf, got);
        for (size_t nl; (nl = line.find('\n')) != std::string::npos; line.erase(0, nl + 1)) {
            if (line.compare(0, 6, "delay ") == 0)
                InterlockedExchange(&g_trayDelayMs, atol(line.c_str() + 6));
        }
    }
    PostThreadMessageW((DWORD)(DWORD_PTR)thread, WM_QUIT, 0, 0);
    return 0;
}

int RunTrayShell(const Args& a)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = TrayProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Shell_TrayWnd";
    if (!RegisterClassW(&wc)) {
        Emit(Fail("register failed"));
        return 1;
    }
    HWND tray = CreateWindowExW(WS_EX_TOOLWINDOW, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0, 0, 0,
                                nullptr, nullptr, wc.hInstance, nullptr);
    if (!tray) {
        Emit(Fail("create failed"));
        return 1;
    }
    // Wine's shell side takes the first window of the class in Z order; say whether that is us.
    bool first = FindWindowW(L"Shell_TrayWnd", nullptr) == tray;
    Emit("{\"ev\":\"ready\",\"hwnd\":" + std::to_string((long long)(INT_PTR)tray) +
         ",\"first\":" + (first ? "true" : "false") + "}");
    if (Has(a, L"announce"))
        PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    CreateThread(nullptr, 0, WatchStdin, (LPVOID)(DWORD_PTR)GetCurrentThreadId(), 0, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(tray);
    Emit("{\"ev\":\"stopped\"}");
    return 0;
}

// The hash the tray shell would log for an icon resource of a module: the mask bits then the
// colour bits, sized as Wine's shell side sizes them. Computed from the resource itself, so a
// test's expected picture does not come from the program under test.
std::string IconEntry(HICON icon, int id, int size)
{
    ICONINFO ii;
    if (!icon || !GetIconInfo(icon, &ii)) return "";
    BITMAP mask = {}, colour = {};
    GetObjectW(ii.hbmMask, sizeof mask, &mask);
    if (ii.hbmColor) GetObjectW(ii.hbmColor, sizeof colour, &colour);
    LONG maskBytes =
        (mask.bmPlanes * mask.bmWidth * mask.bmHeight * mask.bmBitsPixel + 15) / 16 * 2;
    LONG colourBytes =
        ii.hbmColor
            ? (colour.bmPlanes * colour.bmWidth * colour.bmHeight * colour.bmBitsPixel + 15) / 16 *
                  2
            : 0;
    std::vector<BYTE> bits(maskBytes + colourBytes);
    GetBitmapBits(ii.hbmMask, maskBytes, bits.data());
    if (ii.hbmColor) GetBitmapBits(ii.hbmColor, colourBytes, bits.data() + maskBytes);
    DeleteObject(ii.hbmMask);
    if (ii.hbmColor) DeleteObject(ii.hbmColor);
    char out[160];
    snprintf(out, sizeof out, "{\"id\":%d,\"size\":%d,\"icon\":\"%016llx\",\"w\":%ld,\"bits\":%u}",
             id, size, Fnv1a(bits.data(), bits.size()), ii.hbmColor ? colour.bmWidth : mask.bmWidth,
             (unsigned)bits.size());
    return out;
}

std::string CmdIconHash(const Args& a)
{
    HMODULE mod = LoadLibraryExW(Str(a, L"module").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!mod) return Fail("cannot load module");
    std::string list;
    std::wstring ids = Str(a, L"ids") + L",";
    for (size_t start = 0, comma; (comma = ids.find(L',', start)) != std::wstring::npos;
         start = comma + 1) {
        int id = _wtoi(ids.substr(start, comma - start).c_str());
        if (id <= 0) continue;
        // Size 0: what LoadIcon gives (the system's icon size), as the relay loads its pictures.
        for (int size : {0, 16, 32}) {
            HICON icon =
                size ? (HICON)LoadImageW(mod, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0)
                     : LoadIconW(mod, MAKEINTRESOURCEW(id));
            std::string e = IconEntry(icon, id, size);
            if (size && icon) DestroyIcon(icon);
            if (!e.empty()) list += (list.empty() ? "" : ",") + e;
        }
    }
    FreeLibrary(mod);
    return "{\"ok\":true,\"icons\":[" + list + "]}";
}

// The handles a process holds, counted in the system's handle list (class 16 of
// NtQuerySystemInformation): Wine 8 answers GetProcessHandleCount for another process with 0
// or ~0.
// -1 when the list cannot be had.
long long HandlesInSystemList(DWORD pid)
{
    struct Entry {
        ULONG pid;
        BYTE type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    typedef LONG(WINAPI * Query)(ULONG, PVOID, ULONG, PULONG);
    Query query = (Query)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                               "NtQuerySystemInformation");
    if (!query) return -1;
    std::vector<BYTE> buf(1 << 16);
    for (;;) {
        ULONG need = 0;
        LONG status = query(16, buf.data(), (ULONG)buf.size(), &need);
        if (status == (LONG)0xC0000004L) {  // STATUS_INFO_LENGTH_MISMATCH: a bigger buffer
            buf.resize(buf.size() * 2);
            if (buf.size() > (64u << 20)) return -1;
            continue;
        }
        if (status < 0) return -1;
        break;
    }
    ULONG n = *(ULONG*)buf.data();
    const Entry* e = (const Entry*)(buf.data() + sizeof(void*));  // the count, padded
    long long mine = 0;
    for (ULONG i = 0; i < n; i++)
        if (e[i].pid == pid) mine++;
    return mine;
}

// The memory and handles of another process as the system counts it, read from outside (the
// benchmark's working set, and the fault suite's check that a scenario leaves nothing behind):
// the handle count, the working set, the private bytes, and the GDI and USER object counts
// when the system answers them (-1 when it does not).
std::string CmdMemory(const Args& a)
{
    HANDLE proc = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                              (DWORD)_wtoi(Str(a, L"pid").c_str()));
    if (!proc) return Fail("cannot open process");
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    BOOL ok = GetProcessMemoryInfo(proc, &pmc, sizeof pmc);
    long long handleCount = HandlesInSystemList((DWORD)_wtoi(Str(a, L"pid").c_str()));
    DWORD handles = 0;
    if (handleCount < 0 && GetProcessHandleCount(proc, &handles)) handleCount = handles;
    DWORD gdi = GetGuiResources(proc, GR_GDIOBJECTS);
    long long gdiCount = gdi ? (long long)gdi : -1;  // a window's process has some: 0 is no answer
    DWORD user = GetGuiResources(proc, GR_USEROBJECTS);
    long long userCount = user ? (long long)user : -1;
    CloseHandle(proc);
    if (!ok) return Fail("no memory counters");
    char out[320];
    snprintf(out, sizeof out,
             "{\"ok\":true,\"working_set\":%llu,\"peak_working_set\":%llu,\"private\":%llu,"
             "\"handles\":%lld,\"gdi\":%lld,\"user\":%lld}",
             (unsigned long long)pmc.WorkingSetSize, (unsigned long long)pmc.PeakWorkingSetSize,
             (unsigned long long)pmc.PagefileUsage, handleCount, gdiCount,
             userCount);
    return out;
}

// How long a window's thread takes to answer a sent message: WM_NULL with --timeout ms
// (default 1000), without SMTO_ABORTIFHUNG so a busy thread is waited for rather than judged
// hung. Answers the milliseconds it took and whether the answer came.
std::string CmdPing(const Args& a)
{
    HWND h = Hwnd(a);
    if (!IsWindow(h)) return Fail("no window");
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    DWORD_PTR r = 0;
    BOOL answered = SendMessageTimeoutW(h, WM_NULL, 0, 0, SMTO_NORMAL,
                                        (UINT)Num(a, L"timeout", 1000), &r) != 0;
    QueryPerformanceCounter(&end);
    char out[96];
    snprintf(out, sizeof out, "{\"ok\":true,\"answered\":%s,\"ms\":%.1f}",
             answered ? "true" : "false",
             (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)freq.QuadPart);
    return out;
}

// "read-file": the whole of a file (--path, a Windows path) as hex, opened the way a reader
// such as Notepad or a log collector opens a file another program is writing: read access,
// sharing read and write. Fails when the writer's sharing does not allow that.
std::string CmdReadFile(const Args& a)
{
    HANDLE f = CreateFileW(Str(a, L"path").c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        char err[64];
        snprintf(err, sizeof err, "open failed: %lu", GetLastError());
        return Fail(err);
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            hex.push_back(digits[(unsigned char)buf[i] >> 4]);
            hex.push_back(digits[(unsigned char)buf[i] & 15]);
        }
    }
    CloseHandle(f);
    return "{\"ok\":true,\"hex\":\"" + hex + "\"}";
}

// "mutex": takes (--hold 1) or lets go of (--hold 0) the named mutex --name, as another
// process holding it would; held by the repl's thread until let go.
std::string CmdMutex(const Args& a)
{
    static std::map<std::wstring, HANDLE> held;
    const std::wstring name = Str(a, L"name");
    if (Num(a, L"hold", 1) == 0) {
        auto it = held.find(name);
        if (it == held.end()) return Fail("not held");
        ReleaseMutex(it->second);
        CloseHandle(it->second);
        held.erase(it);
        return "{\"ok\":true}";
    }
    HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
    if (h == nullptr) return Fail("cannot create");
    const DWORD wait = WaitForSingleObject(h, 0);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        CloseHandle(h);
        return Fail("held by another");
    }
    held[name] = h;
    return "{\"ok\":true}";
}

// --- screen pictures --------------------------------------------------------------------

// "shot": the screen area of a window as a .bmp file (--path, a Windows path), once the
// window and its controls have painted what they were asked to (bounded by --timeout ms).
// Answers the picture's size and its count of distinct colours; "ok" is false for a blank
// picture (see window_picture.h), so a window hidden or unpainted at the time is noticed.
std::string CmdShot(const Args& a)
{
    HWND h = Target(a);
    if (!IsWindow(h)) return Fail("no window");
    bool painted = PollUntil(Num(a, L"timeout", 2000), [&] { return !HasPendingPaint(h); });
    RECT rc = {};
    GetWindowRect(h, &rc);
    int colours = 0;
    bool good = WriteWindowAreaBmp(h, Str(a, L"path"), &colours);
    return std::string("{\"ok\":") + (good ? "true" : "false") +
           ",\"painted\":" + (painted ? "true" : "false") +
           ",\"width\":" + std::to_string(rc.right - rc.left) +
           ",\"height\":" + std::to_string(rc.bottom - rc.top) +
           ",\"colours\":" + std::to_string(colours) + "}";
}

// --- dispatch ----------------------------------------------------------------------------

bool Parse(const std::vector<std::wstring>& words, std::wstring* cmd, Args* args)
{
    if (words.empty()) return false;
    *cmd = words[0];
    for (size_t i = 1; i < words.size(); i++) {
        if (words[i].compare(0, 2, L"--") != 0) return false;
        std::wstring key = words[i].substr(2);
        bool flag = i + 1 >= words.size() || words[i + 1].compare(0, 2, L"--") == 0;
        (*args)[key] = flag ? L"1" : words[++i];
    }
    return true;
}

std::string Run(const std::wstring& cmd, const Args& a)
{
    if (cmd == L"find") return CmdFind(a);
    if (cmd == L"list") return CmdList(a);
    if (cmd == L"info") return CmdInfo(a);
    if (cmd == L"wait") return CmdWait(a);
    if (cmd == L"text") return CmdText(a);
    if (cmd == L"send") return CmdMessage(a, false);
    if (cmd == L"post") return CmdMessage(a, true);
    if (cmd == L"command") return CmdCommand(a);
    if (cmd == L"box") return CmdBox(a);
    if (cmd == L"press") return CmdPress(a);
    if (cmd == L"focus") return CmdFocus(a);
    if (cmd == L"type") return CmdType(a);
    if (cmd == L"key") return CmdKey(a);
    if (cmd == L"click") return CmdClick(a);
    if (cmd == L"reg") return CmdReg(a);
    if (cmd == L"icon-hash") return CmdIconHash(a);
    if (cmd == L"procs") return CmdProcs(a);
    if (cmd == L"kill") return CmdKill(a);
    if (cmd == L"self") return "{\"ok\":true,\"pid\":" + std::to_string(GetCurrentProcessId()) + "}";
    if (cmd == L"memory") return CmdMemory(a);
    if (cmd == L"shot") return CmdShot(a);
    if (cmd == L"ping") return CmdPing(a);
    if (cmd == L"read-file") return CmdReadFile(a);
    if (cmd == L"mutex") return CmdMutex(a);
    if (cmd == L"now") return "{\"ok\":true,\"tick\":" + std::to_string(GetTickCount()) + "}";
    return Fail("unknown command");
}

// One command per stdin line, words separated by tabs; one JSON line answers each.
int RunRepl()
{
    std::string line;
    int c;
    while ((c = fgetc(stdin)) != EOF) {
        if (c != '\n') {
            if (c != '\r') line += (char)c;
            continue;
        }
        std::vector<std::wstring> words;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            words.push_back(Wide(line.substr(start, tab - start)));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        line.clear();
        std::wstring cmd;
        Args a;
        Emit(Parse(words, &cmd, &a) ? Run(cmd, a) : Fail("bad command line"));
    }
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> words(argv + 1, argv + argc);
    LocalFree(argv);
    std::wstring cmd;
    Args a;
    if (!Parse(words, &cmd, &a)) {
        Emit(Fail("usage: winprobe COMMAND [--key value]... | repl | tray-shell [--announce]"));
        return 2;
    }
    if (cmd == L"repl") return RunRepl();
    if (cmd == L"tray-shell") return RunTrayShell(a);
    std::string out = Run(cmd, a);
    Emit(out);
    return out.compare(0, 11, "{\"ok\":true") == 0 ? 0 : 1;
}
