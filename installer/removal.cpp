// Files in use that a removal leaves to the next restart, and what an installation takes back of them.
#include "plugin.h"
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>


// The end of a name that a removal gave a file in use, moved aside to go at the next restart.
const wchar_t* ASIDE = L".deleted";

static bool setAside(const wchar_t* path)
{
    size_t length = wcslen(path), end = wcslen(ASIDE);
    return length > end && !_wcsicmp(path + length - end, ASIDE);
}

// Deletes a file that the installation laid down, read-only or not, as NSIS's Delete does: a step of the
// run's, which the tests' build can fail. Leaves nothing: whether the file is gone is looked at after.
PLUGIN(deleteFile)
{
    wchar_t* path = popped(stack, room);
    DWORD attributes = path ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && !faulted(L"deleteFile")) {
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
        DeleteFileW(path);
    }
    free(path);
}

// A file in use that a removal could not delete: a running program is moved aside to a name of its
// own in its folder, and that name goes at the next restart, so that an installation made before
// then lays the file down again unharmed. A file held open cannot be moved: its own name waits for
// the restart, and clearPending takes that back. Leaves the line for the log.
PLUGIN(deleteAtRestart)
{
    wchar_t* path = popped(stack, room);
    wchar_t* aside = (wchar_t*)calloc(room + 32, sizeof(wchar_t));
    wchar_t* line = (wchar_t*)calloc(2 * room + 96, sizeof(wchar_t));
    if (!path || !aside || !line)
        return push(stack, L"A file in use could not be left to the next restart: out of memory");
    bool moved = false, taken = true;  // taken: the name tried is another file's
    for (DWORD tick = GetTickCount(), tries = 0; !moved && taken && tries < 10; tries++) {
        swprintf(aside, room + 32, L"%ls.%lu%ls", path, tick + tries, ASIDE);
        moved = MoveFileExW(path, aside, 0);
        taken = GetLastError() == ERROR_ALREADY_EXISTS;
    }
    const wchar_t* going = moved ? aside : path;
    if (faulted(L"deleteAtRestart") || !MoveFileExW(going, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
        swprintf(line, 2 * room + 96, L"In use, and could not be left to the next restart (error %lu): %ls",
                 GetLastError(), going);
    else if (moved)
        swprintf(line, 2 * room + 96, L"In use, so moved aside and deleted at the next restart: %ls, as %ls", path, aside);
    else
        swprintf(line, 2 * room + 96, L"In use, so deleted at the next restart: %ls", path);
    push(stack, line);
    free(path);
    free(aside);
    free(line);
}

// Takes out of PendingFileRenameOperations every deletion of the root or of anything below it, which
// an earlier removal left for a file in use: else the next restart would delete what this
// installation lays down. A file that removal moved aside still goes: nothing lays down its name.
// Leaves the line for the log and the result: "" when there were none, "0" when taken back, else the error.
PLUGIN(clearPending)
{
    const wchar_t* session = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    wchar_t* root = (wchar_t*)calloc(room + 8, sizeof(wchar_t));
    HKEY key;
    DWORD type, size = 0, cleared = 0;
    LONG status = ERROR_SUCCESS;
    if (!root || !pop(stack, root + 4, room))
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"Deletions left for the next restart could not be read");
    wcsncpy(root, L"\\??\\", 4);
    size_t length = wcslen(root);
    if (faulted(L"clearPending"))
        return failed(stack, GetLastError(), L"Deletions left for the next restart could not be read");
    if ((status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, session, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key)) != ERROR_SUCCESS)
        return failed(stack, status, L"Deletions left for the next restart could not be read");
    wchar_t *old = NULL, *kept = NULL, *end = NULL;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, &type, NULL, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && (old = (wchar_t*)calloc(size + 4, 1)) && (kept = (wchar_t*)calloc(size + 4, 1)) &&
        RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, &type, (BYTE*)old, &size) == ERROR_SUCCESS) {
        end = kept;
        // Pairs of entries: the path, then where it goes, empty for a deletion.
        for (wchar_t* from = old; *from; ) {
            wchar_t* to = from + wcslen(from) + 1;
            wchar_t* next = to + wcslen(to) + 1;
            bool below = !_wcsnicmp(from, root, length) && (!from[length] || from[length] == L'\\');
            if (below && !*to && !setAside(from))
                cleared++;
            else
                end = wcscpy(wcscpy(end, from) + wcslen(from) + 1, to) + wcslen(to) + 1;
            from = next;
        }
        *end++ = 0;
        if (cleared && end - kept > 1)
            status = RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, (BYTE*)kept,
                                    (DWORD)((end - kept) * sizeof(wchar_t)));
        else if (cleared)
            status = RegDeleteValueW(key, L"PendingFileRenameOperations");
    }
    RegCloseKey(key);
    free(old);
    free(kept);
    if (status != ERROR_SUCCESS)
        return failed(stack, status, L"Deletions left for the next restart under the root could not be taken back, "
                                     L"and would delete this installation's files");
    wchar_t line[160];
    swprintf(line, 160, L"Deletions left for the next restart under the root, taken back: %lu", cleared);
    result(stack, cleared ? L"0" : L"", cleared ? line : L"");
}
