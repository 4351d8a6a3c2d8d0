// The installation root: a first installation takes it only where no standard user can own, plant,
// link or swap anything in it or above it, then closes it and all it holds like Program Files.
#include "plugin.h"
#include "trust.h"
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Whether the file at path has names elsewhere too (namedElsewhere), or cannot be asked.
static bool linkedElsewhere(const wchar_t* path)
{
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION information;
    bool linked = file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &information) ||
                  namedElsewhere(information);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return linked;
}

// The first thing in folder, at any depth, that is a link, a hard link, owned by someone not trusted,
// or open to others' writing (they may have changed an administrator's file already, and a handle
// they opened keeps working after the close); null if none.
static wchar_t* untrusted(const wchar_t* folder, bool* link)
{
    size_t length = wcslen(folder) + MAX_PATH + 2;
    wchar_t* path = (wchar_t*)calloc(length, sizeof(wchar_t));
    WIN32_FIND_DATAW found;
    swprintf(path, length, L"%ls\\*", folder);
    HANDLE search = FindFirstFileW(path, &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
            continue;
        swprintf(path, length, L"%ls\\%ls", folder, found.cFileName);
        wchar_t* below = NULL;
        if ((*link = isLink(found.dwFileAttributes, found.dwReserved0) || linkedElsewhere(path)) ||
            !closedTo(path, WRITING) ||
            ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (below = untrusted(path, link)))) {
            FindClose(search);
            return below ? below : path;
        }
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    free(path);
    return NULL;
}

DWORD closeTree(const wchar_t* path, PSECURITY_DESCRIPTOR closed, wchar_t** failedAt)
{
    HANDLE file = CreateFileW(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS |
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION information;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (file != INVALID_HANDLE_VALUE)
        GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag);
    // The descriptor goes on this entry alone: SetSecurityInfo would pass it down to all below before
    // they are checked, and through a hard link to the file's other names.
    DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError()
                 : !GetFileInformationByHandle(file, &information) ? GetLastError()
                 : isLink(information.dwFileAttributes, tag.ReparseTag) ? ERROR_CANT_ACCESS_FILE  // swapped for a link
                 : namedElsewhere(information) ? ERROR_CANT_ACCESS_FILE
                 : !closedHandle(file, 0) ? ERROR_ACCESS_DENIED  // put there since the check: never taken over
                 : !SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, closed)
                     ? GetLastError()
                     : ERROR_SUCCESS;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (code != ERROR_SUCCESS || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return code == ERROR_SUCCESS ? code : (*failedAt = _wcsdup(path), code);
    size_t length = wcslen(path) + MAX_PATH + 2;
    wchar_t* below = (wchar_t*)calloc(length, sizeof(wchar_t));
    WIN32_FIND_DATAW found;
    swprintf(below, length, L"%ls\\*", path);
    HANDLE search = FindFirstFileW(below, &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more && code == ERROR_SUCCESS; more = FindNextFileW(search, &found))
        if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) {
            swprintf(below, length, L"%ls\\%ls", path, found.cFileName);
            code = closeTree(below, closed, failedAt);
        }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    free(below);
    return code;
}

DWORD makeClosed(wchar_t* folder, PSECURITY_DESCRIPTOR closed)
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, closed, FALSE};
    for (wchar_t* at = wcschr(folder + 3, L'\\'); at; at = wcschr(at + 1, L'\\')) {
        wchar_t kept = *at;
        *at = 0;
        BOOL made = CreateDirectoryW(folder, &attributes) || GetLastError() == ERROR_ALREADY_EXISTS;
        *at = kept;
        if (!made)
            return GetLastError();
    }
    return CreateDirectoryW(folder, &attributes) ? ERROR_SUCCESS : GetLastError();
}

// Refuses the root, with why, when the host cannot name it exactly, when it or a folder above it is a
// link or others may change it, or when it holds a link or anything not the trusted accounts'. A folder not there yet is fine: it is made closed.
static bool refused(stack_t** stack, const wchar_t* root)
{
    if (!ansiExact(root)) {
        refuse(stack, root, L"The service host cannot name the root %ls exactly in this system's code page (a "
                            L"character would become a look-alike): install elsewhere; nothing was changed");
        return true;
    }
    bool link;
    wchar_t* open = changeable(root, 0, &link);
    bool above = open && wcscmp(open, root);
    if (!open && GetFileAttributesW(root) != INVALID_FILE_ATTRIBUTES)
        open = untrusted(root, &link);
    if (!open)
        return false;
    if (above)
        refuse(stack, open, link ? L"The root's parent %ls is a link; install elsewhere: nothing was changed"
                                 : L"Others than the system and Administrators may delete, rename or re-permission "
                                   L"the root's parent %ls: give it to Administrators and take those rights from "
                                   L"everyone else, or install elsewhere; nothing was changed");
    else if (link)
        refuse(stack, open, wcscmp(open, root) ? L"The root holds a link, %ls: it is left, nothing was changed"
                                               : L"The root %ls is a link: nothing was changed");
    else
        refuse(stack, open, L"%ls belongs to someone other than the system, Administrators or this account, or "
                            L"others may change it: remove it or give it to Administrators and close it, then "
                            L"install again; nothing was changed");
    free(open);
    return true;
}

// A first installation's root, checked, made and closed; "2" and why, else "0". It is checked again
// once made, so that a folder someone made meanwhile is never taken as ours.
PLUGIN(closeRoot)
{
    wchar_t* named = popped(stack, room);
    wchar_t* root = named ? canonical(named) : NULL;
    free(named);
    if (!root)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The root could not be checked");
    while (wcslen(root) > 3 && root[wcslen(root) - 1] == L'\\')
        root[wcslen(root) - 1] = 0;
    PSECURITY_DESCRIPTOR closed;
    if (refused(stack, root))
        return;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(CLOSED, SDDL_REVISION_1, &closed, NULL))
        return failed(stack, GetLastError(), L"The root could not be closed");
    wchar_t* failedAt = root;
    DWORD code = faulted(L"closeRoot") ? GetLastError() : makeClosed(root, closed);
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_SUCCESS) {
        if (refused(stack, root))
            return LocalFree(closed), (void)0;
        code = closeTree(root, closed, &failedAt);
    }
    LocalFree(closed);
    if (code != ERROR_SUCCESS) {
        wchar_t why[160];
        swprintf(why, 160, L"%%ls could not be closed: error %lu; nothing was installed", code);
        return refuse(stack, failedAt, why);
    }
    result(stack, L"0", L"The root is closed like Program Files: Administrators own it, Users may read and run");
}

// Given the folder of an earlier run's copies: "0" when it, the folders above it and all it holds are
// the trusted accounts' alone, no link among them; else "2" and why. What it holds is put back as the
// system: only such copies are.
PLUGIN(checkKept)
{
    wchar_t* folder = popped(stack, room);
    bool link;
    wchar_t* open = folder ? changeable(folder, WRITING, &link) : NULL;
    if (folder && !open)
        open = untrusted(folder, &link);
    if (!folder || open)
        refuse(stack, open ? open : L"", L"%ls is not the system's and Administrators' alone: the copies there are "
                                         L"not put back, and nothing was changed");
    else
        result(stack, L"0", L"");
    free(open);
    free(folder);
}

// Given a path and a security descriptor in SDDL, gives the path the descriptor's owner
// and protected DACL; leaves "0" or the error.
PLUGIN(protect)
{
    wchar_t* path = popped(stack, room);
    wchar_t* sddl = popped(stack, room);
    PSECURITY_DESCRIPTOR descriptor;
    PSID owner;
    PACL dacl;
    BOOL present, defaulted;
    DWORD code = !sddl || !path ? ERROR_NOT_ENOUGH_MEMORY
                 : !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, NULL)
                     ? GetLastError()
                     : ERROR_SUCCESS;
    if (code == ERROR_SUCCESS) {
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        code = SetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                     PROTECTED_DACL_SECURITY_INFORMATION, owner, NULL, dacl, NULL);
        LocalFree(descriptor);
    }
    wchar_t number[16];
    swprintf(number, 16, L"%lu", code);
    push(stack, number);
    free(sddl);
    free(path);
}
