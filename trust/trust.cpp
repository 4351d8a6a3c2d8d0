// Who may change what the system runs: one rule for the service host and the installer's plugin.
#include "trust.h"
#include <aclapi.h>
#include <sddl.h>
#include <wchar.h>

// The owner that what this process makes gets: the token's default owner. An elevated administrator's
// programs make what Administrators own, not what their user owns (whose unelevated programs could then
// change it). Read off an event made for the purpose; where the system gives it no owner (Wine, in a
// service), the token's user, which owns all that Wine makes.
static PSID makersOwner()
{
    static PSID owner;
    static BYTE user[256];
    static PSECURITY_DESCRIPTOR descriptor;
    HANDLE made = owner ? NULL : CreateEventW(NULL, TRUE, FALSE, NULL);
    if (made) {
        if (GetSecurityInfo(made, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL,
                            &descriptor) != ERROR_SUCCESS)
            owner = NULL;
        CloseHandle(made);
    }
    HANDLE token;
    DWORD size;
    if (!owner && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, user, sizeof user, &size))
            owner = ((TOKEN_USER*)user)->User.Sid;
        CloseHandle(token);
    }
    return owner;
}

bool trusted(PSID sid)
{
    static PSID installer;
    if (!installer && !ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                              &installer))
        return false;
    PSID maker = makersOwner();
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           EqualSid(sid, installer) || (maker && EqualSid(sid, maker));
}

// The trustee of an allow ACE of any kind; null for an ACE that grants nothing. Callback (conditional)
// and object ACEs grant on files too: an object ACE without a type GUID grants as a plain one does.
static PSID grantee(ACE_HEADER* ace)
{
    switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        return &((ACCESS_ALLOWED_ACE*)ace)->SidStart;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        ACCESS_ALLOWED_OBJECT_ACE* object = (ACCESS_ALLOWED_OBJECT_ACE*)ace;
        BYTE* sid = (BYTE*)&object->ObjectType;
        sid += object->Flags & ACE_OBJECT_TYPE_PRESENT ? sizeof(GUID) : 0;
        sid += object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT ? sizeof(GUID) : 0;
        return (PSID)sid;
    }
    default:
        return NULL;
    }
}

bool closedIn(PSID owner, PACL dacl, DWORD rights)
{
    bool closed = owner && trusted(owner) && (dacl || !rights);  // a null DACL grants everything
    for (WORD index = 0; closed && rights && index < dacl->AceCount; index++) {
        ACE_HEADER* ace;
        closed = GetAce(dacl, index, (void**)&ace);
        PSID sid = closed ? grantee(ace) : NULL;
        closed = closed && (!sid || (ace->AceFlags & INHERIT_ONLY_ACE) ||
                            !(((ACCESS_ALLOWED_ACE*)ace)->Mask & rights) || trusted(sid));
    }
    return closed;
}

// The verdict on an owner and DACL just read (status: the read's), whose descriptor it frees.
static bool judged(DWORD status, PSID* owner, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor, DWORD rights)
{
    if (status != ERROR_SUCCESS)
        return false;
    bool closed = closedIn(*owner, *dacl, rights);
    LocalFree(*descriptor);
    return closed;
}

bool closedTo(const wchar_t* path, DWORD rights)
{
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR descriptor;
    return judged(GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, NULL, &dacl, NULL, &descriptor),
                  &owner, &dacl, &descriptor, rights);
}

bool closedHandle(HANDLE file, DWORD rights)
{
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR descriptor;
    return judged(GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  NULL, &dacl, NULL, &descriptor),
                  &owner, &dacl, &descriptor, rights);
}

bool namedElsewhere(const BY_HANDLE_FILE_INFORMATION& information)
{
    return !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && information.nNumberOfLinks > 1;
}

bool isLink(DWORD attributes, DWORD tag)
{
    bool dataElsewhere = IsReparseTagMicrosoft(tag) && !IsReparseTagNameSurrogate(tag);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !dataElsewhere;
}

DWORD reparseTag(const wchar_t* path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(search);
    return found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? found.dwReserved0 : 0;
}

// Whether the item at name, if there, is a link or not closed to rights.
static bool unsafe(const wchar_t* name, DWORD rights, bool* link)
{
    DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    // A drive's top folder is never a link on Windows; Wine shows one mounted elsewhere as one.
    bool top = wcslen(name) == 3 && name[1] == L':' && name[2] == L'\\';
    *link = isLink(attributes, attributes & FILE_ATTRIBUTE_REPARSE_POINT ? reparseTag(name) : 0) && !top;
    return *link || !closedTo(name, rights);
}

wchar_t* canonical(const wchar_t* path)
{
    DWORD length = GetFullPathNameW(path, 0, NULL, NULL);
    wchar_t* full = length ? (wchar_t*)malloc(length * sizeof(wchar_t)) : NULL;
    if (full && GetFullPathNameW(path, length, full, NULL) < length)
        return full;
    free(full);
    return NULL;
}

wchar_t* changeable(const wchar_t* path, DWORD rights, bool* link)
{
    wchar_t* name = canonical(path);
    if (!name)
        return _wcsdup(path);  // what cannot be named fully is judged changeable
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
