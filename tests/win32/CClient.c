/* A C program using the Win32 API as a serial-port program on Windows
 * would: it proves that the header and the library work from C. */
#include <string.h>

#include "tesmo/windows.h"

int c_client_configure_and_talk(char* answer, DWORD answerSize)
{
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) return 1;

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return 2;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(port, &dcb)) return 3;

    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 500};
    if (!SetCommTimeouts(port, &timeouts)) return 4;

    DWORD written = 0;
    if (!WriteFile(port, "*IDN?\n", 6, &written, NULL) || written != 6) return 5;
    DWORD read = 0;
    if (!ReadFile(port, answer, answerSize, &read, NULL)) return 6;
    answer[read < answerSize ? read : answerSize - 1] = '\0';

    if (!CloseHandle(port)) return 7;
    return 0;
}
