#include "report-lines.h"

#include <cstdio>

const char kPrompt[] = "\nPress a key to exit...\n";

std::string Both(uint32_t value) {
  char text[32];
  snprintf(text, sizeof text, "%d(0x%08X)", static_cast<int>(value), value);
  return text;
}

std::string Needs(const char* call, uint32_t bytes) {
  return std::string(call) + "(1) needs a " + Both(bytes) + " bytes long buffer.\n";
}

std::string QueryFailed(const char* call, uint32_t code) {
  return std::string(call) + "(1) failed with " + Both(code) + " which is different than 122. Exiting...\n";
}

std::string FillFailed(const char* call, uint32_t code) {
  return std::string(call) + "(2) failed with " + Both(code) + ". Exiting...\n";
}

std::string Copied(const char* call, uint32_t copied, uint32_t records, uint32_t recordSize) {
  return std::string(call) + "(2) copied " + std::to_string(copied) + " bytes in the buffer out of which the first " +
         Both(records * recordSize) + " represent " + std::to_string(records) + " structures of size " +
         std::to_string(recordSize) + "\n";
}

std::string Item(size_t index, const std::string& name) {
  return "  Item " + std::to_string(index) + "\n    pPrinterName: [" + name + "]\n";
}

std::string Listings(const std::vector<std::string>& names) {
  std::string items;
  for (size_t i = 0; i < names.size(); ++i) items += Item(i, names[i]);
  return "\nPrinting ASCII results:\n" + items + "\nPrinting WIDE results:\n" + items;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}
