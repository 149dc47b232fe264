// End-to-end test driver: starts the dialog program under test, looks at its
// controls and pixels and presses its buttons, as one script of commands.
//
// Usage:  qmdriver.exe SCRIPT          (UTF-8 file, one command a line, fields
//                                       separated by tabs, '#' starts a comment)
//         qmdriver.exe -e CMD [-e CMD]  (fields of each CMD separated by '|')
//
// Every command prints exactly one line "<n>\t<command>\t<result...>" where n
// counts the commands from 1; a failed command prints "error" as its first
// result field. Texts are printed as UTF-8 with \t, \n, \r and \\ escaped.
//
// Commands (ids are dialog control ids; timeouts in milliseconds):
//   start EXE CWD [ARG...]    start EXE in folder CWD with the arguments
//   attach TIMEOUT            take the program that someone else started (the
//                             launcher): wait for a top-level "Quillmarsh" window
//                             and open its process, as if "start" had made it
//   hostcall TAG FILE TIMEOUT print "<n>\thostcall\tcall\tTAG" at once, then wait
//                             until FILE exists: the harness does TAG on the host
//                             side (chattr, rm, ...) and then makes FILE
//   window TIMEOUT            wait for the program's top-level "Quillmarsh" window
//   ready TIMEOUT             wait until control 302 no longer reads "starting...";
//                             prints the milliseconds since start and the text
//   text ID | enabled ID | visible ID | check ID
//   pos                       trackbar 203 position
//   setpos N                  move trackbar 203 as a drag would end: TBM_SETPOS,
//                             then WM_HSCROLL TB_THUMBPOSITION and TB_ENDTRACK
//   key ID VK [COUNT]         post WM_KEYDOWN/WM_KEYUP to control ID (0: the
//                             dialog), then wait until the dialog has handled it
//   click ID                  post WM_COMMAND BN_CLICKED for button ID
//   bmclick ID                send BM_CLICK to button ID
//   close                     post WM_CLOSE to the dialog
//   msgbox TIMEOUT            find a message box of the program: caption, text
//   answer ID                 press button ID of that message box
//   pixels X Y W H FILE       client rectangle of the dialog into a binary PPM
//   sync                      wait until the dialog's queue has been worked off
//   steps N                   time N drag steps of the trackbar (alternating
//                             96 and 224, one WM_HSCROLL TB_THUMBTRACK each)
//   exit TIMEOUT              wait for the program to end: its exit code
//   clickexit ID TIMEOUT      post WM_COMMAND BN_CLICKED for button ID and wait
//                             for the program to end: its exit code and the
//                             milliseconds from the click to the end
//   module NAME               full path of the program's loaded module NAME
//                             (comctl32.dll: its Common Controls 6 copy when
//                             the program's manifest took effect)
//   sleep MS | kill
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kStatusTextId = 302;
const int kTrackbarId = 203;
const UINT kSendTimeoutMs = 5000;      // one cross-process message
const DWORD kPollMs = 10;              // between two looks at the program
const int kStartAttempts = 3;          // process starts tried when Wine fails one internally
const DWORD kStartRetryMs = 200;       // pause before another start
const int kSyncRoundTrips = 3;         // see Sync
const DWORD kPaintSettleMs = 150;      // lets a pending WM_PAINT reach the screen
const int kTextCapacity = 4096;        // characters of a control text
const DWORD kModuleCapacity = 1024;    // modules of the program looked at
const int kStepLow = 96;               // the two trackbar positions that "steps"
const int kStepHigh = 224;             //   alternates between

struct Driver {
    PROCESS_INFORMATION process;
    bool started;
    HWND dialog;
    HWND box;
    LARGE_INTEGER startTime;
    LARGE_INTEGER frequency;
};

Driver gDriver;
int gCommandIndex;                     // the number printed with the command's result

std::string Utf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string &text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n);
    return out;
}

std::string Escape(const std::wstring &text) {
    std::string in = Utf8(text), out;
    for (char c : in) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

double MillisecondsSinceStart() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - gDriver.startTime.QuadPart) * 1000.0 / (double)gDriver.frequency.QuadPart;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    return (double)(to.QuadPart - from.QuadPart) * 1000.0 / (double)gDriver.frequency.QuadPart;
}

// One argument of a command line, quoted so that CommandLineToArgvW gives it back.
std::wstring QuoteArgument(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') { backslashes++; continue; }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

bool ProcessEnded() {
    return !gDriver.started || WaitForSingleObject(gDriver.process.hProcess, 0) == WAIT_OBJECT_0;
}

bool BelongsToProgram(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return gDriver.started && pid == gDriver.process.dwProcessId;
}

HWND FindProgramWindow(const wchar_t *className) {
    HWND found = nullptr;
    while ((found = FindWindowExW(nullptr, found, className, nullptr)) != nullptr) {
        if (BelongsToProgram(found)) return found;
    }
    return nullptr;
}

bool ReadText(HWND window, std::wstring *text) {
    static wchar_t buffer[kTextCapacity];
    DWORD_PTR copied = 0;
    buffer[0] = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, kTextCapacity, (LPARAM)buffer, SMTO_NORMAL, kSendTimeoutMs, &copied))
        return false;
    buffer[kTextCapacity - 1] = 0;
    *text = buffer;
    return true;
}

// The dialog's thread takes a sent message ahead of the posted ones, but only
// when it next asks for a message: a few round trips with a pause between them
// make sure that what was posted before has been handled.
bool Sync() {
    DWORD_PTR ignored;
    for (int i = 0; i < kSyncRoundTrips; i++) {
        if (!SendMessageTimeoutW(gDriver.dialog, WM_NULL, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &ignored)) return false;
        Sleep(kPollMs);
    }
    return true;
}

HWND Control(int id) {
    return id == 0 ? gDriver.dialog : GetDlgItem(gDriver.dialog, id);
}

std::string Start(const std::vector<std::wstring> &f) {
    if (f.size() < 3) return "error usage";
    std::wstring commandLine = QuoteArgument(f[1]);
    for (size_t i = 3; i < f.size(); i++) commandLine += L" " + QuoteArgument(f[i]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    // Under a loaded machine Wine now and then fails a process start with
    // ERROR_INTERNAL_ERROR before the program runs at all; that says nothing
    // about the program, so the start is tried again a few times.
    BOOL created = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < kStartAttempts && !created; attempt++) {
        if (attempt > 0) Sleep(kStartRetryMs);
        QueryPerformanceCounter(&gDriver.startTime);
        created = CreateProcessW(f[1].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, f[2].c_str(),
                                 &startup, &gDriver.process);
        error = created ? 0 : GetLastError();
        if (!created && error != ERROR_INTERNAL_ERROR) break;
    }
    if (!created)
        return "error createprocess " + std::to_string(error);
    gDriver.started = true;
    gDriver.dialog = nullptr;
    return "ok\t" + std::to_string(gDriver.process.dwProcessId);
}

std::string WaitWindow(DWORD timeout) {
    DWORD begin = GetTickCount();
    for (;;) {
        // The template makes the dialog visible once all its controls exist.
        gDriver.dialog = FindProgramWindow(L"Quillmarsh");
        if (gDriver.dialog && IsWindowVisible(gDriver.dialog)) return "ok";
        if (ProcessEnded()) return "error ended";
        if (GetTickCount() - begin > timeout) return "error timeout";
        Sleep(kPollMs);
    }
}

std::string WaitReady(DWORD timeout) {
    if (!gDriver.dialog) return "error nowindow";
    DWORD begin = GetTickCount();
    std::wstring text;
    for (;;) {
        // The dialog window exists a moment before its controls do.
        HWND status = GetDlgItem(gDriver.dialog, kStatusTextId);
        if (status && ReadText(status, &text) && text != L"starting...") {
            char ms[32];
            snprintf(ms, sizeof ms, "%.1f", MillisecondsSinceStart());
            return std::string("ok\t") + ms + "\t" + Escape(text);
        }
        if (ProcessEnded()) return "error ended";
        if (GetTickCount() - begin > timeout) return "error timeout";
        Sleep(kPollMs);
    }
}

// A drag sends TB_THUMBTRACK for each step and, when it ends, TB_THUMBPOSITION
// and TB_ENDTRACK; the dialog re-renders on every one of them.
std::string SetPosition(int position, bool endDrag) {
    HWND bar = Control(kTrackbarId);
    DWORD_PTR ignored;
    if (!SendMessageTimeoutW(bar, TBM_SETPOS, TRUE, position, SMTO_NORMAL, kSendTimeoutMs, &ignored))
        return "error timeout";
    WPARAM codes[2] = {MAKEWPARAM(TB_THUMBPOSITION, position), MAKEWPARAM(TB_ENDTRACK, 0)};
    if (!endDrag) codes[0] = MAKEWPARAM(TB_THUMBTRACK, position);
    for (int i = 0; i < (endDrag ? 2 : 1); i++) {
        if (!SendMessageTimeoutW(gDriver.dialog, WM_HSCROLL, codes[i], (LPARAM)bar, SMTO_NORMAL, kSendTimeoutMs,
                                 &ignored))
            return "error timeout";
    }
    return "ok";
}

std::string Key(int id, UINT vk, int count) {
    HWND target = Control(id);
    if (!target) return "error nocontrol";
    UINT scan = MapVirtualKeyW(vk, 0);
    for (int i = 0; i < count; i++) {
        PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
        PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
        // The key may end the program (Escape): that is no failure of the driver.
        if (!Sync()) return ProcessEnded() ? "ok" : "error timeout";
    }
    return "ok";
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM out) {
    wchar_t className[64];
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") != 0) return TRUE;
    std::wstring text;
    if (ReadText(child, &text) && !text.empty()) {
        *(std::wstring *)out = text;
        return FALSE;
    }
    return TRUE;
}

std::string WaitMessageBox(DWORD timeout) {
    DWORD begin = GetTickCount();
    for (;;) {
        gDriver.box = FindProgramWindow(L"#32770");
        if (gDriver.box) break;
        if (ProcessEnded()) return "error ended";
        if (GetTickCount() - begin > timeout) return "error timeout";
        Sleep(kPollMs);
    }
    std::wstring caption, text;
    ReadText(gDriver.box, &caption);
    EnumChildWindows(gDriver.box, CollectStaticText, (LPARAM)&text);
    return "ok\t" + Escape(caption) + "\t" + Escape(text);
}

std::string Answer(int id) {
    if (!gDriver.box || !IsWindow(gDriver.box)) return "error nobox";
    HWND button = GetDlgItem(gDriver.box, id);
    PostMessageW(gDriver.box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    gDriver.box = nullptr;
    return "ok";
}

bool WritePpm(const std::wstring &path, const unsigned char *bgra, int width, int height) {
    FILE *out = _wfopen(path.c_str(), L"wb");
    if (!out) return false;
    fprintf(out, "P6\n%d %d\n255\n", width, height);
    std::vector<unsigned char> row(width * 3);
    for (int y = 0; y < height; y++) {
        const unsigned char *p = bgra + (size_t)y * width * 4;
        for (int x = 0; x < width; x++) {
            row[x * 3 + 0] = p[x * 4 + 2];
            row[x * 3 + 1] = p[x * 4 + 1];
            row[x * 3 + 2] = p[x * 4 + 0];
        }
        fwrite(row.data(), 1, row.size(), out);
    }
    return fclose(out) == 0;
}

// Reads back what is on the screen over the dialog's client area (a window
// DC of another process is not readable on every platform; the screen is).
std::string Pixels(int x, int y, int width, int height, const std::wstring &path) {
    if (width <= 0 || height <= 0) return "error size";
    Sync();
    Sleep(kPaintSettleMs);
    Sync();
    POINT origin = {x, y};
    ClientToScreen(gDriver.dialog, &origin);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, dib);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    bool written = copied && WritePpm(path, (const unsigned char *)bits, width, height);
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied) return "error bitblt";
    if (!written) return "error write";
    return "ok\t" + std::to_string(width) + "\t" + std::to_string(height);
}

std::string Steps(int count) {
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    for (int i = 0; i < count; i++) {
        std::string r = SetPosition(i % 2 ? kStepHigh : kStepLow, false);
        if (r != "ok") return r;
    }
    QueryPerformanceCounter(&to);
    char line[64];
    snprintf(line, sizeof line, "ok\t%d\t%.3f", count, Milliseconds(from, to));
    return line;
}

std::string WaitExit(DWORD timeout) {
    if (!gDriver.started) return "error notstarted";
    if (WaitForSingleObject(gDriver.process.hProcess, timeout) != WAIT_OBJECT_0) return "error timeout";
    DWORD code = 0;
    GetExitCodeProcess(gDriver.process.hProcess, &code);
    return "ok\t" + std::to_string(code);
}

// Timed inside Wine, so that neither Wine's start-up nor the host's view of
// the process counts: from posting the click to the process handle signalling.
std::string ClickAndWaitExit(int id, DWORD timeout) {
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    PostMessageW(gDriver.dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)Control(id));
    if (WaitForSingleObject(gDriver.process.hProcess, timeout) != WAIT_OBJECT_0) return "error timeout";
    QueryPerformanceCounter(&to);
    DWORD code = 0;
    GetExitCodeProcess(gDriver.process.hProcess, &code);
    char line[64];
    snprintf(line, sizeof line, "ok\t%lu\t%.3f", (unsigned long)code, Milliseconds(from, to));
    return line;
}

std::string Attach(DWORD timeout) {
    DWORD begin = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(L"Quillmarsh", nullptr);
        DWORD pid = 0;
        if (window) GetWindowThreadProcessId(window, &pid);
        if (pid) {
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                         pid);
            if (!process) return "error openprocess " + std::to_string(GetLastError());
            gDriver.process = PROCESS_INFORMATION{};
            gDriver.process.hProcess = process;
            gDriver.process.dwProcessId = pid;
            gDriver.started = true;
            gDriver.dialog = nullptr;
            QueryPerformanceCounter(&gDriver.startTime);
            return "ok\t" + std::to_string(pid);
        }
        if (GetTickCount() - begin > timeout) return "error timeout";
        Sleep(kPollMs);
    }
}

std::string HostCall(const std::wstring &tag, const std::wstring &doneFile, DWORD timeout) {
    printf("%d\thostcall\tcall\t%s\n", gCommandIndex, Utf8(tag).c_str());
    fflush(stdout);
    DWORD begin = GetTickCount();
    while (GetFileAttributesW(doneFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - begin > timeout) return "error timeout";
        Sleep(kPollMs);
    }
    return "ok";
}

std::string ModulePath(const std::wstring &name) {
    std::vector<HMODULE> modules(kModuleCapacity);
    DWORD bytes = 0;
    if (!EnumProcessModules(gDriver.process.hProcess, modules.data(), kModuleCapacity * sizeof(HMODULE), &bytes))
        return "error enummodules " + std::to_string(GetLastError());
    DWORD count = bytes / sizeof(HMODULE) < kModuleCapacity ? bytes / sizeof(HMODULE) : kModuleCapacity;
    for (DWORD i = 0; i < count; i++) {
        wchar_t path[MAX_PATH];
        if (!GetModuleFileNameExW(gDriver.process.hProcess, modules[i], path, MAX_PATH)) continue;
        const wchar_t *base = wcsrchr(path, L'\\');
        if (lstrcmpiW(base ? base + 1 : path, name.c_str()) == 0) return "ok\t" + Escape(path);
    }
    return "error nomodule";
}

std::string Run(const std::vector<std::wstring> &f) {
    const std::wstring &c = f[0];
    auto number = [&](size_t i) { return i < f.size() ? _wtoi(f[i].c_str()) : 0; };
    if (c == L"start") return Start(f);
    if (c == L"attach") return Attach(number(1));
    if (c == L"hostcall") return f.size() < 4 ? "error usage" : HostCall(f[1], f[2], number(3));
    if (c == L"sleep") { Sleep(number(1)); return "ok"; }
    if (c == L"exit") return WaitExit(number(1));
    if (c == L"kill") {
        if (gDriver.started && !ProcessEnded()) TerminateProcess(gDriver.process.hProcess, 99);
        return "ok";
    }
    if (c == L"window") return WaitWindow(number(1));
    if (c == L"msgbox") return WaitMessageBox(number(1));
    if (c == L"answer") return Answer(number(1));
    if (!gDriver.dialog) return "error nowindow";
    if (c == L"ready") return WaitReady(number(1));
    if (c == L"module") return f.size() < 2 ? "error usage" : ModulePath(f[1]);
    if (c == L"text") {
        std::wstring text;
        HWND control = Control(number(1));
        if (!control) return "error nocontrol";
        if (!ReadText(control, &text)) return "error gettext";
        return "ok\t" + Escape(text);
    }
    if (c == L"enabled" || c == L"visible") {
        HWND control = Control(number(1));
        if (!control) return "error nocontrol";
        BOOL on = c == L"enabled" ? IsWindowEnabled(control) : IsWindowVisible(control);
        return std::string("ok\t") + (on ? "1" : "0");
    }
    if (c == L"check" || c == L"pos") {
        HWND control = Control(c == L"pos" ? kTrackbarId : number(1));
        if (!control) return "error nocontrol";
        DWORD_PTR value = 0;
        if (!SendMessageTimeoutW(control, c == L"pos" ? TBM_GETPOS : BM_GETCHECK, 0, 0, SMTO_NORMAL,
                                 kSendTimeoutMs, &value))
            return "error timeout";
        return "ok\t" + std::to_string((long long)(LONG_PTR)value);
    }
    if (c == L"setpos") return SetPosition(number(1), true);
    if (c == L"key") return Key(number(1), number(2), f.size() > 3 ? number(3) : 1);
    if (c == L"click") {
        HWND button = Control(number(1));
        PostMessageW(gDriver.dialog, WM_COMMAND, MAKEWPARAM(number(1), BN_CLICKED), (LPARAM)button);
        return "ok";
    }
    if (c == L"bmclick") {
        DWORD_PTR ignored;
        if (!SendMessageTimeoutW(Control(number(1)), BM_CLICK, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &ignored) &&
            !ProcessEnded())
            return "error timeout";
        return "ok";
    }
    if (c == L"close") {
        PostMessageW(gDriver.dialog, WM_CLOSE, 0, 0);
        return "ok";
    }
    if (c == L"sync") return Sync() ? "ok" : "error timeout";
    if (c == L"pixels") {
        if (f.size() < 6) return "error usage";
        return Pixels(number(1), number(2), number(3), number(4), f[5]);
    }
    if (c == L"steps") return Steps(number(1));
    if (c == L"clickexit") return ClickAndWaitExit(number(1), number(2));
    return "error unknown";
}

std::vector<std::wstring> Split(const std::wstring &line, wchar_t separator) {
    std::vector<std::wstring> fields;
    size_t begin = 0;
    for (;;) {
        size_t end = line.find(separator, begin);
        fields.push_back(line.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin));
        if (end == std::wstring::npos) return fields;
        begin = end + 1;
    }
}

bool ReadScript(const std::wstring &path, std::vector<std::vector<std::wstring>> *commands) {
    FILE *in = _wfopen(path.c_str(), L"rb");
    if (!in) return false;
    std::string bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, n);
    fclose(in);
    std::wstring text = Wide(bytes);
    for (const std::wstring &raw : Split(text, L'\n')) {
        std::wstring line = raw;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.empty() || line[0] == L'#') continue;
        commands->push_back(Split(line, L'\t'));
    }
    return true;
}

}  // namespace

int main() {
    QueryPerformanceFrequency(&gDriver.frequency);
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::vector<std::wstring>> commands;
    if (argc == 2) {
        if (!ReadScript(argv[1], &commands)) {
            printf("0\tscript\terror cannot read\n");
            return 1;
        }
    } else if (argc >= 3 && argc % 2 == 1) {
        for (int i = 1; i + 1 < argc; i += 2) {
            if (lstrcmpW(argv[i], L"-e") != 0) {
                printf("0\tusage\terror\n");
                return 1;
            }
            commands.push_back(Split(argv[i + 1], L'|'));
        }
    } else {
        printf("usage: qmdriver SCRIPT | qmdriver -e CMD [-e CMD ...]\n");
        return 1;
    }
    int index = 0;
    for (const std::vector<std::wstring> &command : commands) {
        index++;
        gCommandIndex = index;
        std::string result = Run(command);
        printf("%d\t%s\t%s\n", index, Utf8(command[0]).c_str(), result.c_str());
        fflush(stdout);
    }
    // Never leave the program behind: a test that did not end it has failed anyway.
    if (gDriver.started && !ProcessEnded()) {
        TerminateProcess(gDriver.process.hProcess, 99);
        printf("%d\tleftover\tkilled\n", index + 1);
    }
    return 0;
}
