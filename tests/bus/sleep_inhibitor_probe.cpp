// Drives one SleepInhibitor for a test that watches the bus: takes it for the
// who and why given, says what came of it, and releases it when told.
//   sleep_inhibitor_probe WHO WHY
// Prints "taken" or "problem: TEXT" (with whether it is held), then waits for
// a line on stdin, releases, prints "released" and waits for the end of
// stdin before it exits.
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/posix_inhibit.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: sleep_inhibitor_probe WHO WHY\n");
    return 2;
  }
  odf::posix::SleepInhibitor inhibitor;
  std::string problem;
  const bool taken = inhibitor.Take(argv[1], argv[2], problem);
  std::cout << (taken ? "taken" : "problem: " + problem) << " held=" << inhibitor.Held() << std::endl;
  std::string line;
  std::getline(std::cin, line);
  inhibitor.Release();
  std::cout << "released held=" << inhibitor.Held() << std::endl;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
