// Who may change what the system runs: one rule for the service host and the installer's plugin.
#include "trust.h"
#include <aclapi.h>
#include <sddl.h>
#include <wchar.h>

bool trusted(PSID sid)
{
    static PSID installer, self;
    static BYTE user[256];
    if (!installer && !ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                              &installer))
        return false;
    HANDLE token;
    DWORD size;
    if (!self && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, user, sizeof user, &size))
            self = ((TOKEN_USER*)user)->User.Sid;
        CloseHandle(token);
    }
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           EqualSid(sid, installer) || (self && EqualSid(sid, self));
}

bool closedTo(const wchar_t* path, DWORD rights)
{
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR descriptor;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              NULL, &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return false;
    bool closed = owner && trusted(owner) && (dacl || !rights);  // a null DACL grants everything
    for (WORD index = 0; closed && rights && index < dacl->AceCount; index++) {
        ACCESS_ALLOWED_ACE* ace;
        closed = GetAce(dacl, index, (void**)&ace) &&
                 (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) ||
                  !(ace->Mask & rights) || trusted(&ace->SidStart));
    }
    LocalFree(descriptor);
    return closed;
}

bool isLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Whether the item at name, if there, is a link or not closed to rights.
static bool unsafe(const wchar_t* name, DWORD rights, bool* link)
{
    DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    // A drive's top folder is never a link on Windows; Wine shows one mounted elsewhere as one.
    bool top = wcslen(name) == 3 && name[1] == L':' && name[2] == L'\\';
    *link = isLink(attributes) && !top;
    return *link || !closedTo(name, rights);
}

wchar_t* changeable(const wchar_t* path, DWORD rights, bool* link)
{
    wchar_t* name = _wcsdup(path);
    if (!name)
        return NULL;
    *link = false;
    if (unsafe(name, rights, link))
        return name;
    // A drive's top folder keeps its backslash: "C:" alone names the drive's current folder.
    for (wchar_t* cut = wcsrchr(name, L'\\'); cut && cut >= name + 2; cut = wcsrchr(name, L'\\')) {
        cut[cut == name + 2 ? 1 : 0] = 0;
        if (unsafe(name, REPLACING, link))
            return name;
        if (cut == name + 2)
            break;
    }
    free(name);
    return NULL;
}

bool ansiExact(const wchar_t* path)
{
    if (GetACP() == CP_UTF8)
        return true;
    BOOL lossy = FALSE;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path, -1, NULL, 0, NULL, &lossy) && !lossy;
}
