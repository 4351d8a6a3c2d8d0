// The product's files: laid down from the run's staging folder, the previous version's copies kept
// for a fall-back and put back by it. Each copy is checked, and a file is replaced only by a whole one:
// it is copied beside its place first, so that a full disk leaves the file that was there.
// Why copies kept beside the log rather than the previous files renamed aside on the root's volume: the
// copies must outlive a run that dies, where the next run finds them (the log's folder, closed, on the
// system's drive, which a rename from another drive cannot reach), and a kept copy is whole before
// anything is replaced. A put-back that meets a full disk is named, fails the run, and leaves the
// copies for the next run, which puts them back first.
#include "plugin.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

// Copies from over to, through a whole copy beside it, made failing if that name is taken: whatever lies
// there (a link, in a root an operator left open) is deleted, never written through. 0, or the error.
static DWORD copyOver(const wchar_t* from, wchar_t* to)
{
    if (faulted(L"copy"))
        return GetLastError();
    size_t length = wcslen(to) + 8;
    wchar_t* beside = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (!beside)
        return ERROR_NOT_ENOUGH_MEMORY;
    swprintf(beside, length, L"%ls.new", to);
    makeParents(to);
    DeleteFileW(beside);
    DWORD code = CopyFileW(from, beside, TRUE) && MoveFileExW(beside, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
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

// Whether the two files hold the same bytes.
static bool same(const wchar_t* one, const wchar_t* other)
{
    HANDLE files[2] = {CreateFileW(one, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL),
                       CreateFileW(other, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL)};
    const DWORD size = 65536;
    char* blocks[2] = {(char*)malloc(size), (char*)malloc(size)};
    bool equal = files[0] != INVALID_HANDLE_VALUE && files[1] != INVALID_HANDLE_VALUE && blocks[0] && blocks[1];
    DWORD got[2] = {1, 1};
    while (equal && got[0] && ReadFile(files[0], blocks[0], size, &got[0], NULL) &&
           ReadFile(files[1], blocks[1], size, &got[1], NULL))
        equal = got[0] == got[1] && !memcmp(blocks[0], blocks[1], got[0]);
    for (HANDLE file : files)
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    free(blocks[0]);
    free(blocks[1]);
    return equal && !got[0];
}

// Given the folder of the previous version's copies, the root and a file under the root: puts the copy
// back where the file differs from it (a full disk may allow no copy of a file never replaced), or
// deletes the file where the previous version had none. Leaves "0" or the error, and the line.
PLUGIN(restoreFile)
{
    wchar_t *from, *to, line[MAX_PATH * 3] = L"";
    if (!paths(stack, room, &from, &to))
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The previous version's file could not be put back");
    bool kept = GetFileAttributesW(from) != INVALID_FILE_ATTRIBUTES;
    DWORD code = kept && same(from, to) ? ERROR_SUCCESS
                 : kept ? copyOver(from, to)
                 : !faulted(L"delete") && (DeleteFileW(to) || GetLastError() == ERROR_FILE_NOT_FOUND) ? ERROR_SUCCESS
                 : GetLastError();
    if (code != ERROR_SUCCESS) {
        swprintf(line, MAX_PATH * 3, L"The previous version's file could not be put back: %ls", to);
        failed(stack, code, line);
    } else
        result(stack, L"0", L"");
    free(from);
    free(to);
}
