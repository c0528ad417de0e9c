// printer-probe: lists the local printers through both character widths of
// the spooler's two-call protocol, printing every figure along the way.

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "spooler.h"

// A buffer address takes as many hex digits as a pointer holds: eight on a
// 32-bit build, sixteen on a 64-bit one.
#if UINTPTR_MAX == 0xFFFFFFFFu
#define ADDRESS "0x%08" PRIXPTR
#else
#define ADDRESS "0x%016" PRIXPTR
#endif

void testFunc() {
  DWORD flags = PRINTER_ENUM_LOCAL;
  DWORD neededA = 0;
  DWORD returnedA = 0;
  DWORD neededW = 0;
  DWORD returnedW = 0;
  DWORD lastError = 0;
  LPBYTE buffera = nullptr;
  LPBYTE bufferw = nullptr;
  DWORD index = 0;

  if (EnumPrintersA(flags, nullptr, 4, nullptr, 0, &neededA, &returnedA)) {
    puts("EnumPrintersA(1) succeeded with NULL buffer. Exiting...");
    return;
  }
  lastError = GetLastError();
  if (lastError != ERROR_INSUFFICIENT_BUFFER) {
    printf("EnumPrintersA(1) failed with %d(0x%08X) which is different than %d. Exiting...\n", (int)lastError,
           (unsigned)lastError, (int)ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  printf("EnumPrintersA(1) needs a %d(0x%08X) bytes long buffer.\n", (int)neededA, (unsigned)neededA);

  if (EnumPrintersW(flags, nullptr, 4, nullptr, 0, &neededW, &returnedW)) {
    puts("EnumPrintersW(1) succeeded with NULL buffer. Exiting...");
    return;
  }
  lastError = GetLastError();
  if (lastError != ERROR_INSUFFICIENT_BUFFER) {
    printf("EnumPrintersW(1) failed with %d(0x%08X) which is different than %d. Exiting...\n", (int)lastError,
           (unsigned)lastError, (int)ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  printf("EnumPrintersW(1) needs a %d(0x%08X) bytes long buffer.\n", (int)neededW, (unsigned)neededW);

  // The fill calls write their byte counts back over the needed bytes, so the
  // sizes the buffers were obtained with are kept to bound the listings.
  const DWORD sizeA = neededA;
  const DWORD sizeW = neededW;

  buffera = (LPBYTE)calloc(1, sizeA);
  if (!buffera) {
    printf("calloc failed with %d(0x%08X). Exiting...\n", errno, (unsigned)errno);
    return;
  }
  printf("buffera[" ADDRESS ":" ADDRESS "]\n", (uintptr_t)buffera, (uintptr_t)buffera + (uintptr_t)sizeA - 1);

  bufferw = (LPBYTE)calloc(1, sizeW);
  if (!bufferw) {
    printf("calloc failed with %d(0x%08X). Exiting...\n", errno, (unsigned)errno);
    free(buffera);
    return;
  }
  printf("bufferw[" ADDRESS ":" ADDRESS "]\n", (uintptr_t)bufferw, (uintptr_t)bufferw + (uintptr_t)sizeW - 1);

  if (!EnumPrintersA(flags, nullptr, 4, buffera, neededA, &neededA, &returnedA)) {
    lastError = GetLastError();
    printf("EnumPrintersA(2) failed with %d(0x%08X). Exiting...\n", (int)lastError, (unsigned)lastError);
    free(buffera);
    free(bufferw);
    return;
  }
  const DWORD recordA = (DWORD)sizeof(PRINTER_INFO_4A);
  printf(
      "EnumPrintersA(2) copied %d bytes in the buffer out of which the first %d(0x%08X) represent %d structures of "
      "size %d\n",
      (int)neededA, (int)(returnedA * recordA), (unsigned)(returnedA * recordA), (int)returnedA, (int)recordA);

  if (!EnumPrintersW(flags, nullptr, 4, bufferw, neededW, &neededW, &returnedW)) {
    lastError = GetLastError();
    printf("EnumPrintersW(2) failed with %d(0x%08X). Exiting...\n", (int)lastError, (unsigned)lastError);
    free(buffera);
    free(bufferw);
    return;
  }
  const DWORD recordW = (DWORD)sizeof(PRINTER_INFO_4W);
  printf(
      "EnumPrintersW(2) copied %d bytes in the buffer out of which the first %d(0x%08X) represent %d structures of "
      "size %d\n",
      (int)neededW, (int)(returnedW * recordW), (unsigned)(returnedW * recordW), (int)returnedW, (int)recordW);

  // A spooler may claim more records than the buffer can hold; only those
  // lying wholly inside the block are read.
  const DWORD insideA = sizeA / recordA;
  puts("\nPrinting ASCII results:");
  for (index = 0; index < returnedA && index < insideA; ++index) {
    const char* name = ((PRINTER_INFO_4A*)buffera)[index].pPrinterName;
    printf("  Item %d\n    pPrinterName: [%s]\n", (int)index, name ? name : "NULL");
  }
  if (returnedA > insideA)
    printf("  Items %d to %d lie outside the buffer and were not read.\n", (int)insideA, (int)(returnedA - 1));

  const DWORD insideW = sizeW / recordW;
  puts("\nPrinting WIDE results:");
  for (index = 0; index < returnedW && index < insideW; ++index) {
    const wchar_t* name = ((PRINTER_INFO_4W*)bufferw)[index].pPrinterName;
    wprintfConsole(L"  Item %d\n    pPrinterName: [%ls]\n", (int)index, name ? name : L"NULL");
  }
  if (returnedW > insideW)
    printf("  Items %d to %d lie outside the buffer and were not read.\n", (int)insideW, (int)(returnedW - 1));

  free(buffera);
  free(bufferw);
}

int main() {
  testFunc();
  puts("\nPress a key to exit...");
  _getch();
  return 0;
}
