// Error texts and the records the service writes to the Application event log.
#include "Quorlin.h"
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

// The system's text for code, else "error " and the code as a signed decimal; null if out of memory.
char* message(unsigned long code)
{
    char* text = NULL;
    // System texts may hold insertion sequences such as %1; they are shown as they stand.
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (char*)&text, 0, NULL))
        return text;
    char digits[32];
    _itoa((int)code, digits, 10);
    text = (char*)LocalAlloc(LPTR, strlen("error ") + strlen(digits) + 1);
    if (!text)
        return NULL;
    strcpy(text, "error ");
    return strcat(text, digits);
}

// Writes text as one record of the type and identifier (messages.mc) under the source name; failures to
// do so are not reported anywhere.
void reportAs(WORD type, DWORD id, const char* text)
{
    if (!text)
        return;
    HANDLE source = RegisterEventSourceA(NULL, name);
    if (!source)
        return;
    ReportEventA(source, type, 0, id, NULL, 1, 0, &text, NULL);
    DeregisterEventSource(source);
}

// Writes text as one error record of the service's failures, identifier 0.
void report(const char* text)
{
    reportAs(EVENTLOG_ERROR_TYPE, SERVICE_FAILED, text);
}

// The texts up to the null pointer, joined into a new heap text.
char* join(const char* first, ...)
{
    va_list texts;
    size_t length = 0;
    va_start(texts, first);
    for (const char* text = first; text; text = va_arg(texts, const char*))
        length += strlen(text);
    va_end(texts);
    char* joined = (char*)malloc(length + 1);
    if (!joined)
        throw (unsigned long)ERROR_NOT_ENOUGH_MEMORY;
    *joined = 0;
    va_start(texts, first);
    for (const char* text = first; text; text = va_arg(texts, const char*))
        strcat(joined, text);
    va_end(texts);
    return joined;
}
