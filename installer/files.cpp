// The product's files: laid down from the run's staging folder, the previous version's copies kept
// for a fall-back and put back by it. Each copy is checked, and a file is replaced only by a whole one:
// it is copied beside its place first, so that a full disk leaves the file that was there.
#include "plugin.h"
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Makes the folders above path that are missing; they take their DACL from the folder they lie in.
static void makeParents(wchar_t* path)
{
    for (wchar_t* at = wcschr(path + 3, L'\\'); at; at = wcschr(at + 1, L'\\')) {
        *at = 0;
        CreateDirectoryW(path, NULL);
        *at = L'\\';
    }
}

// Copies from over to, through a whole copy beside it. 0, or the error.
static DWORD copyOver(const wchar_t* from, wchar_t* to)
{
    size_t length = wcslen(to) + 8;
    wchar_t* beside = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (!beside)
        return ERROR_NOT_ENOUGH_MEMORY;
    swprintf(beside, length, L"%ls.new", to);
    makeParents(to);
    DWORD code = CopyFileW(from, beside, FALSE) && MoveFileExW(beside, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                     ? ERROR_SUCCESS
                     : GetLastError();
    if (code != ERROR_SUCCESS)
        DeleteFileW(beside);
    free(beside);
    return code;
}

// Takes the source folder, the target folder and a file's path under both; the paths go to from and to.
static bool paths(stack_t** stack, int room, wchar_t** from, wchar_t** to)
{
    wchar_t* source = popped(stack, room);
    wchar_t* target = popped(stack, room);
    wchar_t* file = popped(stack, room);
    size_t length = 2 * room + 2;
    *from = (wchar_t*)calloc(length, sizeof(wchar_t));
    *to = (wchar_t*)calloc(length, sizeof(wchar_t));
    bool taken = source && target && file && *from && *to;
    if (taken) {
        swprintf(*from, length, L"%ls\\%ls", source, file);
        swprintf(*to, length, L"%ls\\%ls", target, file);
    }
    free(source);
    free(target);
    free(file);
    return taken;
}

// Leaves "" when from is not there, "0" when it was copied, else the error and the line that says why.
static void copied(stack_t** stack, int room, const wchar_t* what)
{
    wchar_t *from, *to, line[MAX_PATH * 3];
    if (!paths(stack, room, &from, &to))
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, what);
    DWORD code = GetFileAttributesW(from) == INVALID_FILE_ATTRIBUTES ? ERROR_FILE_NOT_FOUND : copyOver(from, to);
    if (code == ERROR_FILE_NOT_FOUND)
        result(stack, L"", L"");
    else if (code != ERROR_SUCCESS) {
        swprintf(line, MAX_PATH * 3, L"%ls: %ls", what, to);
        failed(stack, code, line);
    } else
        result(stack, L"0", L"");
    free(from);
    free(to);
}

// Given the root, the folder of the previous version's copies and a file under the root: keeps its copy.
PLUGIN(keepFile)
{
    copied(stack, room, L"The previous version's file could not be kept");
}

// Given the staging folder, the root and a file under both: lays it down, if the installer carries it.
PLUGIN(placeFile)
{
    copied(stack, room, L"A file could not be written");
}

// Given the folder of the previous version's copies, the root and a file under the root: puts the copy
// back, or deletes the file where the previous version had none. Leaves "0" or the error, and the line.
PLUGIN(restoreFile)
{
    wchar_t *from, *to, line[MAX_PATH * 3] = L"";
    if (!paths(stack, room, &from, &to))
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The previous version's file could not be put back");
    bool kept = GetFileAttributesW(from) != INVALID_FILE_ATTRIBUTES;
    DWORD code = kept ? copyOver(from, to) : DeleteFileW(to) || GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
    if (code != ERROR_SUCCESS) {
        swprintf(line, MAX_PATH * 3, L"The previous version's file could not be put back: %ls", to);
        failed(stack, code, line);
    } else
        result(stack, L"0", L"");
    free(from);
    free(to);
}
