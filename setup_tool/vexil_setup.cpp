// vexil_setup: writes the Java home of the JRE 1.5 as one line of reg_values.properties in the current
// directory. A missing JRE key leaves the file empty (exit code 0); any other failure is shown in an
// "Install Error" message box (exit code 1).
// stdio.h comes first, before any C++ runtime header can switch stdio to mingw's larger replacement.
#include <stdio.h>
#include <windows.h>
#include <stdarg.h>
#include <string.h>
#include <new>
#include <stdlib.h>

// Linked statically, the C++ runtime's default terminate handler brings its name demangler along
// (about 75 KB) to print a text that no one of an installer would read.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}

// One registry value on its way between the registry and the tool.
struct REGVALUE {
    HKEY hkey;             // the open key that holds the value
    char* valueName;       // the value's name
    unsigned char* data;   // size bytes of data, followed by a NUL; null: no data
    unsigned long type;    // registry type of the data
    unsigned long size;    // number of data bytes
};

// The system's text for a code, or null when it has none.
char* message(unsigned long code)
{
    char* text = NULL;
    // System texts may hold insertion sequences such as %1; they are shown as they stand.
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                   code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (char*)&text, 0, NULL);
    return text;
}

// Shows text in the Install Error box, and first on standard error: in a silent installation nobody
// sees the box, while the installer's log keeps what its programs print. user32 is loaded from the
// system folder for the box alone: loading it at every start would cost more than all else the tool does.
void error(char* text)
{
    fprintf(stderr, "Install Error: %s\n", text);
    typedef int(WINAPI * Box)(HWND, const char*, const char*, UINT);
    HMODULE user32 = LoadLibraryExA("user32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    Box box = user32 ? (Box)(void*)GetProcAddress(user32, "MessageBoxA") : NULL;
    if (box)
        box(NULL, text, "Install Error", MB_OK);
}

// The texts up to the first null pointer, joined into a new text.
char* makeString(const char* first, ...)
{
    va_list texts;
    size_t length = 0;
    va_start(texts, first);
    for (const char* text = first; text; text = va_arg(texts, const char*))
        length += strlen(text);
    va_end(texts);
    char* joined = new char[length + 1];
    *joined = 0;
    va_start(texts, first);
    for (const char* text = first; text; text = va_arg(texts, const char*))
        strcat(joined, text);
    va_end(texts);
    return joined;
}

// Reads a prepared record's value; expectedType 0 takes any type, a nonzero mandatory flag makes a
// missing value a failure. Returns the status of the first query.
long getRegValue(REGVALUE& value, unsigned long expectedType, int mandatory)
{
    long status = RegQueryValueExA(value.hkey, value.valueName, NULL, &value.type, NULL, &value.size);
    if (status != ERROR_SUCCESS) {
        value.data = NULL;
        if (mandatory)
            throw makeString("Failed to query name ", value.valueName, ". ", message(status), NULL);
        return status;
    }
    if (expectedType && value.type != expectedType)
        throw makeString("Type of value ", value.valueName, " is wrong", NULL);
    // Text data need not end in a NUL in the registry; the zeroed extra byte always ends it here.
    value.data = new unsigned char[value.size + 1]();
    status = RegQueryValueExA(value.hkey, value.valueName, NULL, NULL, value.data, &value.size);
    if (status != ERROR_SUCCESS)
        throw makeString("Failed to query value ", value.valueName, ". ", message(status), NULL);
    return status;
}

void setRegValue(HKEY__* hkey, char const* valueName, unsigned long type, unsigned char const* data, unsigned long size)
{
    long status = RegSetValueExA(hkey, valueName, 0, type, data, size);
    if (status != ERROR_SUCCESS)
        throw makeString("Failed to set value ", valueName, ". ", message(status), NULL);
}

void setRegValue(REGVALUE& value)
{
    if (value.data)
        setRegValue(value.hkey, value.valueName, value.type, value.data, value.size);
}

// Copies every value of source into destination; all are read before the first is written.
void copyValues(HKEY__* source, HKEY__* destination)
{
    DWORD count, longestName, longestData;
    long status = RegQueryInfoKeyA(source, NULL, NULL, NULL, NULL, NULL, NULL, &count, &longestName, &longestData,
                                   NULL, NULL);
    if (status != ERROR_SUCCESS)
        throw makeString("Failed to query key info. ", message(status), NULL);
    REGVALUE* values = new REGVALUE[count];
    for (DWORD index = 0; index < count; index++) {
        REGVALUE& value = values[index];
        value.hkey = destination;
        value.valueName = new char[longestName + 1];
        value.data = new unsigned char[longestData + 1]();
        value.size = longestData;
        DWORD capacity = longestName + 1;
        status = RegEnumValueA(source, index, value.valueName, &capacity, NULL, &value.type, value.data, &value.size);
        if (status != ERROR_SUCCESS)
            throw makeString("Failed to enumerate value. ", message(status), NULL);
    }
    for (DWORD index = 0; index < count; index++)
        setRegValue(values[index]);
}

// The letter that escapes a character which would end the line in a properties file, else 0.
static char escapeOf(wchar_t c)
{
    switch (c) {
    case '\r': return 'r';
    case '\n': return 'n';
    case '\t': return 't';
    case '\f': return 'f';
    }
    return 0;
}

// Writes text so that a properties reader reads it back unchanged, and on one line. A properties
// reader takes each byte for a Latin-1 character, so everything beyond ASCII goes out as \uXXXX
// escapes of its UTF-16 code units: that way no code page stands between the writer and the reader.
static void encode(_iobuf* file, const wchar_t* text)
{
    for (; *text; text++) {
        if (*text >= 0x80) {
            fprintf(file, "\\u%04X", (unsigned)*text);
            continue;
        }
        char escape = escapeOf(*text);
        if (escape || *text == ' ' || *text == '\\')
            fputc('\\', file);
        fputc(escape ? escape : *text, file);
    }
}

// The text in UTF-16, read in the code page of the registry's ANSI interface; a double-byte
// character is one character, though its second byte may look like a backslash.
static wchar_t* widen(const char* text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    wchar_t* wide = new wchar_t[length + 1]();
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, length);
    return wide;
}

void encode(_iobuf* file, char* text)
{
    encode(file, widen(text));
}

// The value's text as the registry holds it. Its ANSI data spells only what the machine's code page
// can, and turns the rest into question marks or look-alikes without a word: a Java home is a path
// that must come out exact. The extra NUL ends text stored without one.
static wchar_t* wideText(REGVALUE& value)
{
    wchar_t* name = widen(value.valueName);
    DWORD size = 0;
    long status = RegQueryValueExW(value.hkey, name, NULL, NULL, NULL, &size);
    if (status == ERROR_SUCCESS) {
        wchar_t* text = new wchar_t[size / 2 + 2]();
        status = RegQueryValueExW(value.hkey, name, NULL, NULL, (BYTE*)text, &size);
        if (status == ERROR_SUCCESS)
            return text;
    }
    throw makeString("Failed to query value ", value.valueName, ". ", message(status), NULL);
}

// Writes one line "key_name=data" for each value name up to the null pointer. A key that cannot be
// opened writes nothing.
void saveValues(_iobuf* file, char* keyPath, char* valueName, ...)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    va_list names;
    va_start(names, valueName);
    for (char* name = valueName; name; name = va_arg(names, char*)) {
        REGVALUE value = {};
        value.hkey = key;
        value.valueName = name;
        getRegValue(value, REG_SZ, 1);
        encode(file, keyPath);
        fputc('_', file);
        encode(file, name);
        fputc('=', file);
        encode(file, wideText(value));
        fputc('\n', file);
    }
    va_end(names);
}

int main()
{
    try {
        FILE* file = fopen("reg_values.properties", "wt");
        if (!file)
            throw makeString("Failed to create reg_values.properties. ", message(GetLastError()), NULL);
        saveValues(file, (char*)"Software\\JavaSoft\\Java Runtime Environment\\1.5", (char*)"JavaHome", NULL);
        if (fclose(file))
            throw makeString("Failed to write reg_values.properties. ", message(GetLastError()), NULL);
        return 0;
    } catch (char* text) {
        error(text);
        return 1;
    } catch (std::bad_alloc&) {
        error((char*)"Out of memory");
        return 1;
    }
}
