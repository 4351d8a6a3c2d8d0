// Who may change what the system runs: one rule for the service host and the installer's plugin.
#pragma once
#include <windows.h>

// Any change to a file or folder itself: its data, the entries a folder holds, its attributes, its
// DACL or owner, its deletion.
const DWORD WRITING = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD |
                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// What lets someone swap a folder's contents: delete, rename or re-permission it, or delete what it
// holds. Making new entries is not among them: any user may make folders in C:\ or ProgramData.
const DWORD REPLACING = DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD | GENERIC_WRITE | GENERIC_ALL;

// Whether sid is one of those that may change what the system runs: the system, Administrators,
// TrustedInstaller, or the owner of what this process makes (its token's default owner).
bool trusted(PSID sid);

// Whether the owner is trusted and the DACL grants no one else any of rights.
bool closedIn(PSID owner, PACL dacl, DWORD rights);
// Whether the owner of path is trusted and no one else is granted any of rights on it.
bool closedTo(const wchar_t* path, DWORD rights);
// The same for an open file.
bool closedHandle(HANDLE file, DWORD rights);
// Whether the file has names elsewhere too (hard links): its data and security are the other names'
// too, and any user may make one in an administrator's folder under C:\ to a file of the system's.
bool namedElsewhere(const BY_HANDLE_FILE_INFORMATION& information);

// Whether an item of these attributes and reparse tag is a link: a reparse point that names another
// place (a junction, a symbolic link: the tag's name-surrogate bit). One that keeps a file's data
// elsewhere (deduplicated, compressed, a cloud placeholder: Microsoft's tags without that bit) is the
// file itself. A tag not known (0; Wine gives none of Microsoft's) counts as a link.
bool isLink(DWORD attributes, DWORD tag = 0);
// The tag of the reparse point at path; 0 if none can be read.
DWORD reparseTag(const wchar_t* path);

// The full path as the system reads it, a new heap text: / as \, . and .. resolved, so that a walk up
// it at \ meets every folder that the system passes through; null if it cannot be formed.
wchar_t* canonical(const wchar_t* path);

// The first of path and the folders above it, up to the drive, that is a link or that anyone but the
// trusted owns or may change: path itself through rights, each folder above it through REPLACING. A
// name not there yet is passed over. Null when there is none, else a new heap copy of its name;
// *link tells which of the two it is.
wchar_t* changeable(const wchar_t* path, DWORD rights, bool* link);

// Whether the system's ANSI code page spells path exactly. It maps a character beyond it to a look-alike
// (C:\Zazólc for C:\Zażółć): the host, an ANSI program, would name and register that other path, which
// any user may make first.
bool ansiExact(const wchar_t* path);
