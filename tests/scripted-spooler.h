// Test-only: counts the probe's heap blocks so a test can tell that every
// path out of it released what it obtained. Force-included into the probe
// when it is built as the scripted test program; never in the product.
#ifndef PRINTER_PROBE_TESTS_SCRIPTED_SPOOLER_H_
#define PRINTER_PROBE_TESTS_SCRIPTED_SPOOLER_H_

// Every header the probe uses comes first, so that the names below reach
// only the probe's own calls.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "spooler.h"

void* CountedCalloc(size_t count, size_t size);
void CountedFree(void* block);

#define calloc CountedCalloc
#define free CountedFree

#endif  // PRINTER_PROBE_TESTS_SCRIPTED_SPOOLER_H_
