// Writes a desktop entry from its template at build time, naming the program just built:
//   corvane-fill-desktop-entry <template> <entry> <program>
// Every "@EXEC@" of the template becomes the program as an Exec value starts it.
#include "brimvale/platform/DesktopEntry.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <template> <entry> <program>\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto entry = corvane::fillDesktopEntry(text, argv[3]);
  if (!entry) {
    std::fprintf(stderr, "a desktop entry cannot name the program %s\n", argv[3]);
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << *entry;
  out.close();
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
