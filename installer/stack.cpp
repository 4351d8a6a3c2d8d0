// NSIS's stack, the results that the plugin's functions leave on it, and the installer's command line.
#include "plugin.h"
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

void push(stack_t** stack, const wchar_t* text)
{
    stack_t* item = (stack_t*)GlobalAlloc(GPTR, sizeof(stack_t) + wcslen(text) * sizeof(wchar_t));
    if (!item)
        return;
    wcscpy(item->text, text);
    item->next = *stack;
    *stack = item;
}

bool pop(stack_t** stack, wchar_t* text, int room)
{
    stack_t* top = *stack;
    if (!top)
        return false;
    wcsncpy(text, top->text, room - 1);
    *stack = top->next;
    GlobalFree(top);
    return true;
}

wchar_t* popped(stack_t** stack, int room)
{
    wchar_t* text = (wchar_t*)calloc(room + 1, sizeof(wchar_t));
    if (text && pop(stack, text, room + 1))
        return text;
    free(text);
    return NULL;
}

void result(stack_t** stack, const wchar_t* code, const wchar_t* line)
{
    push(stack, code);
    push(stack, line);
}

void failed(stack_t** stack, DWORD code, const wchar_t* what)
{
    wchar_t number[16], line[1024], why[256] = L"";
    swprintf(number, 16, L"%lu", code);
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, why, 256, NULL);
    while (length && (why[length - 1] == L'\n' || why[length - 1] == L'\r' || why[length - 1] == L' '))
        why[--length] = 0;
    swprintf(line, 1024, length ? L"%ls: error %lu (%ls)" : L"%ls: error %lu", what, code, why);
    result(stack, number, line);
}

void refuse(stack_t** stack, const wchar_t* path, const wchar_t* why)
{
    size_t length = wcslen(path) + wcslen(why) + 8;
    wchar_t* line = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (line)
        swprintf(line, length, why, path);
    result(stack, L"2", line ? line : why);
    free(line);
}

wchar_t* named(const wchar_t* option)
{
    int count;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int index = 1; arguments && index < count; index++)
        if (!_wcsnicmp(arguments[index], option, wcslen(option)))
            return arguments[index] + wcslen(option);
    return NULL;
}

// The root that /D=<root>, last on the command line, names, where NSIS read only the start of a long
// command line (room characters: long Java options) and so lost it; else "", and NSIS's own stands.
PLUGIN(namedRoot)
{
    const wchar_t* line = GetCommandLineW();
    const wchar_t* root = wcsstr(line, L" /D=");
    for (const wchar_t* later = root; later; later = wcsstr(later + 1, L" /D="))
        root = later;
    push(stack, root && wcslen(line) >= (size_t)room ? root + 4 : L"");
}
