// The folder of the installer's log, which outlives a roll-back and an uninstall: Quorlin under the
// system's Logs folder, where no standard user can make a name first.
#include "plugin.h"
#include "trust.h"
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Whether the folder, made closed or found, is safe to log in: nobody but the trusted may change it
// or a folder above it. One an administrator left open is closed; anything else is not used.
static DWORD usable(wchar_t* folder)
{
    PSECURITY_DESCRIPTOR closed;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(CLOSED, SDDL_REVISION_1, &closed, NULL))
        return GetLastError();
    DWORD code = makeClosed(folder, closed);
    bool link;
    wchar_t *open = NULL, *failedAt = folder;
    if (code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS)
        code = (open = changeable(folder, WRITING, &link)) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    if (open && !link && !wcscmp(open, folder) && closedTo(folder, 0))
        code = closeTree(folder, closed, &failedAt);
    free(open);
    LocalFree(closed);
    return code;
}

// Given the folder, leaves on the stack the folder to log in ("" when there is none), and under it
// the line for the log ("" when all is well). A folder that cannot be used never blocks a run: its
// lines then go to the details alone.
PLUGIN(prepareLogFolder)
{
    wchar_t* folder = popped(stack, room);
    if (!folder)
        return result(stack, L"The installer's log folder could not be checked: out of memory", L"");
    wchar_t line[1024] = L"";
    DWORD code = usable(folder);
    if (code != ERROR_SUCCESS)
        swprintf(line, 1024, L"%ls is a link, someone else's or cannot be made (error %lu): this run's lines are "
                             L"not kept in a file", folder, code);
    result(stack, line, code == ERROR_SUCCESS ? folder : L"");
    free(folder);
}
