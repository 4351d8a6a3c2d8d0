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

// Where the arguments after the program's name begin: a quoted name ends at its closing quote.
static const wchar_t* arguments(const wchar_t* line)
{
    const wchar_t* end = *line == L'"' ? wcschr(line + 1, L'"') : wcspbrk(line, L" \t");
    return end ? end + 1 : line + wcslen(line);
}

// The root that /D=<root> names: the last that stands at the start of an argument outside quotes, as
// the system splits a command line (a quote after an odd number of backslashes is a quote of the text),
// and takes the rest of the line. Never one inside quoted Java options, however long the line: NSIS
// reads only its start (room characters) and would take one there. "" when none is named: the
// installed root, else the default.
PLUGIN(namedRoot)
{
    const wchar_t* root = NULL;
    bool quoted = false;
    size_t backslashes = 0;
    for (const wchar_t* at = arguments(GetCommandLineW()); *at; at++) {
        if (!quoted && (at[-1] == L' ' || at[-1] == L'\t') && !wcsncmp(at, L"/D=", 3))
            root = at + 3;
        if (*at == L'"' && backslashes % 2 == 0)
            quoted = !quoted;
        backslashes = *at == L'\\' ? backslashes + 1 : 0;
    }
    push(stack, root ? root : L"");
}
