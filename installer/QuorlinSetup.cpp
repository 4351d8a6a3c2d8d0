// QuorlinSetup.dll: the installer's own NSIS plugin, for the steps that System::Call chains would make
// hard to read. Each function leaves on the stack the line for the installer's log, and under it the
// result: "" (nothing to do), "0" (done) or the error code.
//   QuorlinSetup::setJavaOptions   with /JAVA_OPTS=<options> on the command line, sets JAVA_OPTS in the
//                                  service's Environment value, keeping whatever else it holds; under
//                                  the result, the entry it replaced
//   QuorlinSetup::restoreJavaOptions  puts that entry back (a failed upgrade)
//   QuorlinSetup::setRecovery      restart the service 60 s after a failure, twice, then nothing; the
//                                  count reset after a day; also after a stop with an error code
//   QuorlinSetup::closeRoot ROOT   a first installation's root: takes it only where no standard user
//                                  can own, plant, link or swap anything in it or above it, then closes
//                                  it and all it holds like Program Files; "2" and why, else "0"
//   QuorlinSetup::prepareLogFolder, awaitRemoval, isMarked, clearPending ROOT: below
//   QuorlinSetup::deleteAtRestart PATH  a removal's file in use goes at the next restart (the line alone)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <stdio.h>
#include <tlhelp32.h>
#include <wchar.h>

// NSIS's stack of strings, as its plugin interface hands it over (Unicode installer).
struct stack_t {
    stack_t* next;
    wchar_t text[1];
};

const wchar_t* SERVICE_KEY = L"SYSTEM\\CurrentControlSet\\Services\\Quorlin";
const wchar_t* OPTION = L"/JAVA_OPTS=";
// Owned by Administrators, passed down to all below: the system and Administrators full control, Users
// read and run.
const wchar_t* CLOSED = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

static void push(stack_t** stack, const wchar_t* text)
{
    stack_t* item = (stack_t*)GlobalAlloc(GPTR, sizeof(stack_t) + wcslen(text) * sizeof(wchar_t));
    if (!item)
        return;
    wcscpy(item->text, text);
    item->next = *stack;
    *stack = item;
}

// Takes the top of the stack into text (room characters); false when the stack is empty.
static bool pop(stack_t** stack, wchar_t* text, int room)
{
    stack_t* top = *stack;
    if (!top)
        return false;
    wcsncpy(text, top->text, room - 1);
    *stack = top->next;
    GlobalFree(top);
    return true;
}

static void result(stack_t** stack, const wchar_t* code, const wchar_t* line)
{
    push(stack, code);
    push(stack, line);
}

static void failed(stack_t** stack, DWORD code, const wchar_t* what)
{
    wchar_t number[16], line[256];
    swprintf(number, 16, L"%lu", code);
    swprintf(line, 256, L"%ls: error %lu", what, code);
    result(stack, number, line);
}

// The options of /JAVA_OPTS=<options> on the installer's command line, quoted as a whole or after the
// equals sign, as the system splits a command line; null when not named.
static wchar_t* namedOptions()
{
    int count;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int index = 1; arguments && index < count; index++)
        if (!_wcsnicmp(arguments[index], OPTION, wcslen(OPTION)))
            return arguments[index] + wcslen(OPTION);
    return NULL;
}

// Rewrites the service's Environment (REG_MULTI_SZ) without its JAVA_OPTS entry, then with entry,
// unless null, after the others; deletes the value when nothing is left. previous receives the entry
// that it had, "" if none.
static LONG replaceOptions(const wchar_t* entry, wchar_t* previous, size_t room)
{
    HKEY key;
    DWORD type, size = 0;
    *previous = 0;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegQueryValueExW(key, L"Environment", NULL, &type, NULL, &size);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && type != REG_MULTI_SZ))
        size = 0, status = ERROR_SUCCESS;
    size_t length = size / sizeof(wchar_t) + (entry ? wcslen(entry) : 0) + 2;
    wchar_t *old = (wchar_t*)calloc(length, sizeof(wchar_t)), *made = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (status == ERROR_SUCCESS && (!old || !made))
        status = ERROR_NOT_ENOUGH_MEMORY;
    if (status == ERROR_SUCCESS && size)
        status = RegQueryValueExW(key, L"Environment", NULL, &type, (BYTE*)old, &size);
    wchar_t* end = made;
    for (wchar_t* at = old; status == ERROR_SUCCESS && *at && at < old + size / sizeof(wchar_t); at += wcslen(at) + 1)
        if (_wcsnicmp(at, L"JAVA_OPTS=", 10))
            end = wcscpy(end, at) + wcslen(at) + 1;
        else if (wcslen(at) < room)
            wcscpy(previous, at);
    if (status == ERROR_SUCCESS && entry)
        end = wcscpy(end, entry) + wcslen(entry) + 1;
    *end++ = 0;
    if (status == ERROR_SUCCESS)
        status = end - made > 1 ? RegSetValueExW(key, L"Environment", 0, REG_MULTI_SZ, (BYTE*)made,
                                                 (DWORD)((end - made) * sizeof(wchar_t)))
                                : RegDeleteValueW(key, L"Environment");
    if (status == ERROR_FILE_NOT_FOUND && end - made == 1)
        status = ERROR_SUCCESS;  // there was nothing to delete
    RegCloseKey(key);
    free(old);
    free(made);
    return status;
}

// Sets JAVA_OPTS=<options> of the command line; leaves under the result the entry it replaced ("" if
// none), for restoreJavaOptions.
extern "C" __declspec(dllexport) void setJavaOptions(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    const wchar_t* options = namedOptions();
    wchar_t* previous = (wchar_t*)calloc(room, sizeof(wchar_t));
    wchar_t* line = (wchar_t*)calloc(room + 96, sizeof(wchar_t));
    if (!previous || !line)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The Java options could not be set");
    swprintf(line, room + 96, L"JAVA_OPTS=%ls", options ? options : L"");
    LONG status = options ? replaceOptions(line, previous, room) : ERROR_SUCCESS;
    push(stack, previous);
    if (!options)
        result(stack, L"", L"No Java options named: the service's Environment stays as it is");
    else if (status != ERROR_SUCCESS)
        failed(stack, status, L"The Java options could not be set in the service's Environment");
    else {
        swprintf(line, room + 96, L"Java options set in the service's Environment: JAVA_OPTS=%ls", options);
        result(stack, L"0", line);
    }
    free(previous);
    free(line);
}

// Puts back the JAVA_OPTS entry taken from the stack ("": none), as before setJavaOptions.
extern "C" __declspec(dllexport) void restoreJavaOptions(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    wchar_t* entry = (wchar_t*)calloc(room, sizeof(wchar_t));
    wchar_t* previous = (wchar_t*)calloc(room, sizeof(wchar_t));
    if (!entry || !previous)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The previous Java options could not be put back");
    pop(stack, entry, room);
    LONG status = replaceOptions(*entry ? entry : NULL, previous, room);
    if (status != ERROR_SUCCESS)
        failed(stack, status, L"The previous Java options could not be put back");
    else
        result(stack, L"0", L"The service's previous Java options are back");
    free(entry);
    free(previous);
}

extern "C" __declspec(dllexport) void setRecovery(HWND, int, wchar_t*, stack_t** stack, void*)
{
    const wchar_t* what = L"Recovery: restart after 60 s, twice, then nothing, the count reset after a day, "
                          L"also after a stop with an error code";
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure = {86400, NULL, NULL, 3, actions};
    SERVICE_FAILURE_ACTIONS_FLAG nonCrash = {TRUE};
    // A restart action needs SERVICE_START on the service as well as the right to change it.
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Quorlin", SERVICE_CHANGE_CONFIG | SERVICE_START) : NULL;
    BOOL done = service && ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) &&
                ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash);
    DWORD code = GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (!done)
        return failed(stack, code, what);
    wchar_t line[256];
    swprintf(line, 256, L"%ls: done", what);
    result(stack, L"0", line);
}

// Whether sid may change what the system runs: the system, Administrators, TrustedInstaller, or the
// account that runs this installation.
static bool trusted(PSID sid)
{
    static PSID installer, self;
    static BYTE user[256];
    HANDLE token;
    DWORD size;
    if (!installer)
        ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer);
    if (!self && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, user, sizeof user, &size))
            self = ((TOKEN_USER*)user)->User.Sid;
        CloseHandle(token);
    }
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           (installer && EqualSid(sid, installer)) || (self && EqualSid(sid, self));
}

// Whether the owner of path is trusted, and, with rights, that no one else is granted any of them.
static bool ownedAndClosed(const wchar_t* path, DWORD rights)
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

static bool isLink(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

static void refuse(stack_t** stack, const wchar_t* path, const wchar_t* why)
{
    size_t length = wcslen(path) + wcslen(why) + 8;
    wchar_t* line = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (line)
        swprintf(line, length, why, path);
    result(stack, L"2", line ? line : why);
    free(line);
}

// The first parent of the root, up to the drive, that is a link or that others than the trusted may
// delete, rename or re-permission, or empty what it holds: null when there is none. A parent not
// there yet is fine: it is made closed.
static wchar_t* openParent(wchar_t* root, bool* link)
{
    const DWORD changes = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_WRITE | GENERIC_ALL;
    for (wchar_t* cut = wcsrchr(root, L'\\'); cut && cut > root + 2; cut = wcsrchr(root, L'\\')) {
        *cut = 0;
        DWORD attributes = GetFileAttributesW(root);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if ((*link = isLink(attributes)) || !ownedAndClosed(root, changes))
            return root;
    }
    wchar_t drive[4] = {root[0], L':', L'\\', 0};
    *link = false;
    return ownedAndClosed(drive, changes) ? NULL : wcscpy(root, drive);
}

// The first thing in folder, at any depth, that is a link or whose owner is not trusted; null if none.
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
        if ((*link = isLink(found.dwFileAttributes)) || !ownedAndClosed(path, 0) ||
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

// Gives path, opened without following a link, the closed owner and DACL; then what it holds.
static DWORD closeTree(const wchar_t* path, PSECURITY_DESCRIPTOR closed, wchar_t** failed)
{
    PSID owner;
    PACL dacl;
    BOOL present, defaulted;
    GetSecurityDescriptorOwner(closed, &owner, &defaulted);
    GetSecurityDescriptorDacl(closed, &present, &dacl, &defaulted);
    HANDLE file = CreateFileW(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS |
                              FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION information;
    DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError()
                 : !GetFileInformationByHandle(file, &information) ? GetLastError()
                 : isLink(information.dwFileAttributes) ? ERROR_CANT_ACCESS_FILE  // swapped for a link meanwhile
                 : SetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION, owner, NULL, dacl, NULL);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (code != ERROR_SUCCESS || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return code == ERROR_SUCCESS ? code : (*failed = _wcsdup(path), code);
    size_t length = wcslen(path) + MAX_PATH + 2;
    wchar_t* below = (wchar_t*)calloc(length, sizeof(wchar_t));
    WIN32_FIND_DATAW found;
    swprintf(below, length, L"%ls\\*", path);
    HANDLE search = FindFirstFileW(below, &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more && code == ERROR_SUCCESS; more = FindNextFileW(search, &found))
        if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) {
            swprintf(below, length, L"%ls\\%ls", path, found.cFileName);
            code = closeTree(below, closed, failed);
        }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    free(below);
    return code;
}

// Makes the root and any parent missing, closed from the start.
static DWORD makeClosed(wchar_t* root, PSECURITY_DESCRIPTOR closed)
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, closed, FALSE};
    for (wchar_t* at = wcschr(root + 3, L'\\'); at; at = wcschr(at + 1, L'\\')) {
        wchar_t kept = *at;
        *at = 0;
        BOOL made = CreateDirectoryW(root, &attributes) || GetLastError() == ERROR_ALREADY_EXISTS;
        *at = kept;
        if (!made)
            return GetLastError();
    }
    return CreateDirectoryW(root, &attributes) || GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS
                                                                                        : GetLastError();
}

extern "C" __declspec(dllexport) void closeRoot(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    wchar_t* root = (wchar_t*)calloc(room + 1, sizeof(wchar_t));
    wchar_t* parent = (wchar_t*)calloc(room + 1, sizeof(wchar_t));
    if (!root || !parent || !pop(stack, root, room))
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The root could not be checked");
    while (wcslen(root) > 3 && root[wcslen(root) - 1] == L'\\')
        root[wcslen(root) - 1] = 0;
    bool link;
    wcscpy(parent, root);
    if (openParent(parent, &link))
        return refuse(stack, parent, link ? L"The root's parent %ls is a link; install elsewhere: nothing was changed"
                                          : L"Others than the system and Administrators may delete, rename or "
                                            L"re-permission the root's parent %ls: give it to Administrators and "
                                            L"take those rights from everyone else, or install elsewhere; nothing "
                                            L"was changed");
    DWORD attributes = GetFileAttributesW(root);
    if (isLink(attributes))
        return refuse(stack, root, L"The root %ls is a link: nothing was changed");
    wchar_t* item = attributes == INVALID_FILE_ATTRIBUTES ? NULL
                    : !ownedAndClosed(root, 0) ? root : untrusted(root, &link);
    if (item && link)
        return refuse(stack, item, L"The root holds a link, %ls: it is left, nothing was changed");
    if (item)
        return refuse(stack, item, L"%ls belongs to someone other than the system, Administrators or this account: "
                                   L"remove it or give it to Administrators, then install again; nothing was changed");
    PSECURITY_DESCRIPTOR closed;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(CLOSED, SDDL_REVISION_1, &closed, NULL))
        return failed(stack, GetLastError(), L"The root could not be closed");
    wchar_t* failedAt = root;
    DWORD code = makeClosed(root, closed);
    if (code == ERROR_SUCCESS)
        code = closeTree(root, closed, &failedAt);
    LocalFree(closed);
    if (code != ERROR_SUCCESS) {
        wchar_t why[160];
        swprintf(why, 160, L"%%ls could not be closed: error %lu; nothing was installed", code);
        return refuse(stack, failedAt, why);
    }
    result(stack, L"0", L"The root is closed like Program Files: Administrators own it, Users may read and run");
}

// Renames the folder, or the link at its name, on a handle that follows no link: Wine's MoveFile
// would move a link's target instead. Where the handle shows no link although the name is one (Wine
// follows it all the same), nothing is moved.
static bool moveAside(const wchar_t* folder, const wchar_t* aside)
{
    HANDLE handle = CreateFileW(folder, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS |
                                FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    size_t length = wcslen(aside);
    FILE_RENAME_INFO* rename = (FILE_RENAME_INFO*)calloc(1, sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t));
    bool moved = rename && GetFileInformationByHandle(handle, &information) &&
                 isLink(information.dwFileAttributes) == isLink(GetFileAttributesW(folder));
    if (moved) {
        rename->FileNameLength = (DWORD)(length * sizeof(wchar_t));
        wcscpy(rename->FileName, aside);
        moved = SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                           sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t));
    }
    free(rename);
    CloseHandle(handle);
    return moved;
}

// The installer's log folder (ProgramData\Quorlin), where any user may make that name first: one that
// is a link or not the trusted accounts' is moved aside, one that others may write is closed, one not
// there is made closed. Leaves on the stack the folder to log in, and under it the line for the log:
// a name that cannot be moved aside gives way to a new folder beside it, so it never blocks a run.
extern "C" __declspec(dllexport) void prepareLogFolder(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    const DWORD changes = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD |
                          GENERIC_WRITE | GENERIC_ALL;
    wchar_t* folder = (wchar_t*)calloc(room + 32, sizeof(wchar_t));
    wchar_t* aside = (wchar_t*)calloc(room + 32, sizeof(wchar_t));
    wchar_t* line = (wchar_t*)calloc(2 * room + 96, sizeof(wchar_t));
    PSECURITY_DESCRIPTOR closed;
    if (!folder || !aside || !line || !pop(stack, folder, room) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(CLOSED, SDDL_REVISION_1, &closed, NULL))
        return;
    DWORD attributes = GetFileAttributesW(folder);
    bool trustedFolder = attributes != INVALID_FILE_ATTRIBUTES && !isLink(attributes) && ownedAndClosed(folder, 0);
    if (attributes != INVALID_FILE_ATTRIBUTES && !trustedFolder) {
        swprintf(aside, room + 32, L"%ls.%lu", folder, GetTickCount());
        bool moved = moveAside(folder, aside);
        swprintf(line, 2 * room + 96, moved ? L"%ls was a link or someone else's: moved aside to %ls"
                                            : L"%ls is a link or someone else's and cannot be moved: logging in %ls",
                 folder, aside);
        if (!moved)
            wcscpy(folder, aside);
    } else if (trustedFolder && !ownedAndClosed(folder, changes)) {
        wchar_t* failedAt = folder;
        DWORD code = closeTree(folder, closed, &failedAt);
        swprintf(line, 2 * room + 96, L"%ls was open to others: closed (%lu)", folder, code);
    }
    SECURITY_ATTRIBUTES made = {sizeof made, closed, FALSE};
    CreateDirectoryW(folder, &made);
    LocalFree(closed);
    push(stack, line);
    push(stack, folder);
    free(folder);
    free(aside);
    free(line);
}

// Whether the service is marked for deletion: a change that changes nothing is refused with 1072 then.
static bool marked(SC_HANDLE service)
{
    return !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL, NULL, NULL,
                                 NULL, NULL, NULL, NULL) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// Waits up to limit ms for every process that runs the program at path to end: the service's host
// reports that it stopped a moment before it ends, and until then its file can be neither deleted nor
// replaced.
static void awaitEnd(const wchar_t* path, DWORD limit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    const wchar_t* name = wcsrchr(path, L'\\') ? wcsrchr(path, L'\\') + 1 : path;
    DWORD end = GetTickCount() + limit;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name))
            continue;
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH, left = end - GetTickCount();
        if (process && QueryFullProcessImageNameW(process, 0, image, &size) && !_wcsicmp(image, path))
            WaitForSingleObject(process, (LONG)left > 0 ? left : 0);
        if (process)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
}

// Leaves the line and result of awaitRemoval, for the service alone.
static void awaitService(stack_t** stack)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    // Our own handle keeps a deleted service for a moment too, and a busy machine's Service Control
    // Manager takes its time: only a service still marked after 20 s is held by another program.
    int marks = 0;
    for (int step = 0; manager && step < 1200; step++, Sleep(500)) {  // a server may take long to save its work
        SC_HANDLE service = OpenServiceW(manager, L"Quorlin", SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
        if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            CloseServiceHandle(manager);
            return result(stack, L"0", L"The service Quorlin is gone");
        }
        SERVICE_STATUS_PROCESS status;
        DWORD size;
        bool held = service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof status, &size) &&
                    status.dwCurrentState == SERVICE_STOPPED && !status.dwProcessId && marked(service);
        if (service)
            CloseServiceHandle(service);
        marks = held ? marks + 1 : 0;
        if (marks == 40) {
            CloseServiceHandle(manager);
            return result(stack, L"1072", L"The service Quorlin has stopped and is marked for deletion, but another "
                                          L"program holds it open (the services console, a monitoring agent): its "
                                          L"name goes when that program lets go, at the latest at the next restart");
        }
    }
    if (manager)
        CloseServiceHandle(manager);
    result(stack, L"2", L"The service Quorlin is still there after 10 minutes");
}

// After Quorlin -remove, given the host's path: waits until the service is gone ("0"), or has stopped,
// its process ended, and is marked for deletion while another program holds it open ("1072": its name
// goes when that program lets go, at the latest at the next restart); "2" when neither came in 10
// minutes. Then waits up to 30 s more for the host's process to end.
extern "C" __declspec(dllexport) void awaitRemoval(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    wchar_t* host = (wchar_t*)calloc(room + 1, sizeof(wchar_t));
    if (!host || !pop(stack, host, room)) {
        free(host);
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The removal of the service could not be awaited");
    }
    awaitService(stack);
    awaitEnd(host, 30000);
    free(host);
}

// "1" when the service is marked for deletion, else "0".
extern "C" __declspec(dllexport) void isMarked(HWND, int, wchar_t*, stack_t** stack, void*)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Quorlin", SERVICE_CHANGE_CONFIG) : NULL;
    push(stack, service && marked(service) ? L"1" : L"0");
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
}

// The end of a name that a removal gave a file in use, moved aside to go at the next restart.
const wchar_t* ASIDE = L".deleted";

static bool setAside(const wchar_t* path)
{
    size_t length = wcslen(path), end = wcslen(ASIDE);
    return length > end && !_wcsicmp(path + length - end, ASIDE);
}

// A file in use that a removal could not delete: a running program is moved aside to a name of its
// own in its folder, and that name goes at the next restart, so that an installation made before
// then lays the file down again unharmed. A file held open cannot be moved: its own name waits for
// the restart, and clearPending takes that back. Leaves the line for the log.
extern "C" __declspec(dllexport) void deleteAtRestart(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    wchar_t* path = (wchar_t*)calloc(room + 1, sizeof(wchar_t));
    wchar_t* aside = (wchar_t*)calloc(room + 32, sizeof(wchar_t));
    wchar_t* line = (wchar_t*)calloc(2 * room + 96, sizeof(wchar_t));
    if (!path || !aside || !line || !pop(stack, path, room))
        return push(stack, L"A file in use could not be left to the next restart: out of memory");
    bool moved = false, taken = true;  // taken: the name tried is another file's
    for (DWORD tick = GetTickCount(), tries = 0; !moved && taken && tries < 10; tries++) {
        swprintf(aside, room + 32, L"%ls.%lu%ls", path, tick + tries, ASIDE);
        moved = MoveFileExW(path, aside, 0);
        taken = GetLastError() == ERROR_ALREADY_EXISTS;
    }
    const wchar_t* going = moved ? aside : path;
    if (!MoveFileExW(going, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
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
// Leaves on the stack the line for the log ("" when there were none).
extern "C" __declspec(dllexport) void clearPending(HWND, int room, wchar_t*, stack_t** stack, void*)
{
    const wchar_t* session = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    wchar_t* root = (wchar_t*)calloc(room + 8, sizeof(wchar_t));
    HKEY key;
    DWORD type, size = 0, cleared = 0;
    if (!root || !pop(stack, root + 4, room))
        return push(stack, L"");
    wcsncpy(root, L"\\??\\", 4);
    size_t length = wcslen(root);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, session, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return push(stack, L"");
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
            RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, (BYTE*)kept,
                           (DWORD)((end - kept) * sizeof(wchar_t)));
        else if (cleared)
            RegDeleteValueW(key, L"PendingFileRenameOperations");
    }
    RegCloseKey(key);
    free(old);
    free(kept);
    wchar_t line[160];
    swprintf(line, 160, L"Deletions left for the next restart under the root, taken back: %lu", cleared);
    push(stack, cleared ? line : L"");
}
