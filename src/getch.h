// _getch, as the Windows runtime offers it: waits for one key at the
// controlling terminal, without echo; returns the key, or -1 at once when
// there is no terminal to read.
#ifndef PRINTER_PROBE_GETCH_H_
#define PRINTER_PROBE_GETCH_H_

int _getch();

#endif  // PRINTER_PROBE_GETCH_H_
