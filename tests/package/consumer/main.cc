// Opens the archive named on the command line and prints its entry count;
// with no argument, shows that a missing archive is reported as an error.
#include <iostream>

#include "quillstone_dat/quillstone_dat.h"

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/nonexistent/portal.dat";
  auto db = quillstone_dat::DatDatabase::open(path);
  if (!db) {
    std::cout << "error: " << db.error().debug() << "\n";
    return argc > 1 ? 1 : 0;
  }
  std::cout << db->files().size() << " entries\n";
  return 0;
}
