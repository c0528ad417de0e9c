// Test support: the probe's report lines as the suites expect them, each
// written here once.
#ifndef PRINTER_PROBE_TESTS_REPORT_LINES_H_
#define PRINTER_PROBE_TESTS_REPORT_LINES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The end of every run: an empty line, then the prompt.
extern const char kPrompt[];
// The size of a level-4 record of a native build.
const uint32_t kNativeRecord = 3 * sizeof(void*);

// A figure in its two printed forms, "%d(0x%08X)".
std::string Both(uint32_t value);
// call is "EnumPrintersA" or "EnumPrintersW".
std::string Needs(const char* call, uint32_t bytes);
std::string QueryFailed(const char* call, uint32_t code);
std::string FillFailed(const char* call, uint32_t code);
std::string Copied(const char* call, uint32_t copied, uint32_t records, uint32_t recordSize = kNativeRecord);
std::string Item(size_t index, const std::string& name);
// Both listings of the same names, headings and all.
std::string Listings(const std::vector<std::string>& names);

bool EndsWith(const std::string& text, const std::string& end);
// How often piece occurs in text, overlaps included.
size_t Count(const std::string& text, const std::string& piece);

#endif  // PRINTER_PROBE_TESTS_REPORT_LINES_H_
